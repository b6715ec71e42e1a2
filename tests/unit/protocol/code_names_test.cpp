#include "protocol/CodeNames.h"

#include <gtest/gtest.h>

namespace qmb {
namespace {

TEST(CodeNames, NamesAsTheWindowShowsThem) {
  EXPECT_EQ(FunctionName(4), "Read input Registers");
  EXPECT_EQ(FunctionName(18), "Program 884/M84");
  EXPECT_EQ(FunctionName(24), "Read FIFO Queue");
  EXPECT_EQ(FunctionName(0), "");
  EXPECT_EQ(FunctionName(25), "");
  EXPECT_EQ(ExceptionName(8), "Memory Parity Error");
  EXPECT_EQ(ExceptionName(9), "");
  EXPECT_EQ(ExceptionName(-1), "");
}

}  // namespace
}  // namespace qmb
