// The Command and Response boxes of the site window, as the engine fills them.
#include "engine/WindowBoxes.h"

#include <gtest/gtest.h>

namespace qmb {
namespace {

ModbusRequest Command(std::initializer_list<int> bytes) {
  ModbusRequest command;
  for (int b : bytes) command.Bytes += static_cast<char>(b);
  return command;
}

TEST(WindowBoxes, ShowCommandShowsTheRequestAndResetsTheResponse) {
  SiteWindowModel window;
  int changes = 0;
  window.OnChanged = [&] { ++changes; };
  window.ReplyFuncLabelLbl = "Error:";
  window.ReplyFuncLabelIsError = true;

  ShowCommand(window, Command({0x01, 0x03, 0x00, 0x63, 0x00, 0x01}));
  EXPECT_EQ(window.CmdAddLbl, "1");
  EXPECT_EQ(window.CmdFuncLbl, "3 (Read Holding Registers)");
  EXPECT_EQ(window.CmdDataLbl, "[00] [63] [00] [01] ");
  EXPECT_EQ(window.ReplyAddLbl, "");
  EXPECT_EQ(window.ReplyFuncLabelLbl, "Function:");
  EXPECT_FALSE(window.ReplyFuncLabelIsError);
  EXPECT_EQ(window.ReplyFuncLbl, "");
  EXPECT_EQ(window.ReplyDataLbl, "");
  EXPECT_EQ(changes, 1);

  ShowCommand(window, Command({0xFF, 0x00}));
  EXPECT_EQ(window.CmdAddLbl, "255");
  EXPECT_EQ(window.CmdFuncLbl, "0");
  EXPECT_EQ(window.CmdDataLbl, "");
  ShowCommand(window, Command({0x01, 25}));
  EXPECT_EQ(window.CmdFuncLbl, "25");
  EXPECT_EQ(window.CmdDataLbl, "");
}

TEST(WindowBoxes, ShowReplyCaptionsAndErrorTexts) {
  SiteWindowModel window;
  ReplyBlock reply;
  reply.Address = 1;
  reply.Function = 3;
  reply.ErrorCode = 2;
  ShowReply(window, reply);
  EXPECT_EQ(window.ReplyAddLbl, "1");
  EXPECT_EQ(window.ReplyFuncLabelLbl, "Error:");
  EXPECT_TRUE(window.ReplyFuncLabelIsError);
  EXPECT_EQ(window.ReplyFuncLbl, "2 (Illegal Data Address)");
  EXPECT_EQ(window.ReplyDataLbl, "");

  const std::pair<int32_t, const char*> texts[] = {
      {6, "6 (Slave Device Busy)"}, {7, "7"}, {8, "8"}, {255, "255 (Checksum/Unknown Error)"}};
  for (const auto& [code, text] : texts) {
    reply.ErrorCode = code;
    ShowReply(window, reply);
    EXPECT_EQ(window.ReplyFuncLbl, text);
  }

  reply = ReplyBlock{};  // a foreign slave's reply leaves the block cleared
  ShowReply(window, reply);
  EXPECT_EQ(window.ReplyAddLbl, "0");
  EXPECT_EQ(window.ReplyFuncLabelLbl, "Function:");
  EXPECT_FALSE(window.ReplyFuncLabelIsError);
  EXPECT_EQ(window.ReplyFuncLbl, "0");
  EXPECT_EQ(window.ReplyDataLbl, "");

  reply.Function = 1;
  reply.Data[0] = 0x01;
  reply.Data[1] = 0x0A;
  reply.DataLength = 2;
  ShowReply(window, reply);
  EXPECT_EQ(window.ReplyFuncLbl, "1");
  EXPECT_EQ(window.ReplyDataLbl, "[01] [0A] ");
}

}  // namespace
}  // namespace qmb
