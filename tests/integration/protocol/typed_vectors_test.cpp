// Typed values against an independent implementation: pymodbus's payload builder lays out each
// type in each order (typed_vectors.py, run now, not stored); our codec must read every vector
// back to the same value and write the value back to the same registers.
//
// Usage: qmb_typed_vectors_test <path of typed_vectors.py> [gtest flags]
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <sstream>

#include "ScriptOutput.h"
#include "protocol/TypedValue.h"

namespace qmb {
namespace {

std::string g_scriptPath;

ValueType TypeOf(const std::string& word) {
  for (int32_t i = 0; i < kValueTypeCount; ++i)
    if (word == TypeWordOf(static_cast<ValueType>(i))) return static_cast<ValueType>(i);
  ADD_FAILURE() << "unknown type " << word;
  return ValueType::Word;
}

// The IEEE bits of our decoded text, read back at the type's width.
uint64_t FloatBits(const std::string& text, int32_t bits) {
  const double value = text == "NaN"         ? std::nan("")
                       : text == "Infinity"  ? INFINITY
                       : text == "-Infinity" ? -INFINITY
                                             : std::strtod(text.c_str(), nullptr);
  return bits == 32 ? std::bit_cast<uint32_t>(static_cast<float>(value))
                    : std::bit_cast<uint64_t>(value);
}

TEST(TypedVectorsTest, EveryTypeAndOrderReadsAndWritesAsPymodbusLaysItOut) {
  std::vector<std::string> lines;
  std::string problem;
  ASSERT_TRUE(test::ScriptOutput(g_scriptPath, lines, problem)) << problem;
  ASSERT_GE(lines.size(), 150u);
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    std::istringstream fields(line);
    std::string type, order, value;
    int32_t bits = 0;
    fields >> type >> order >> bits >> value;
    std::vector<uint16_t> registers;
    for (std::string word; fields >> word;)
      registers.push_back(static_cast<uint16_t>(std::stoul(word, nullptr, 16)));
    const TypedLayout layout{TypeOf(type), 0, bits, *ParseOrderWord(order)};
    ASSERT_EQ(TypedLayoutError(layout), "");
    ASSERT_EQ(RegisterCount(layout), static_cast<int32_t>(registers.size()));

    const std::string decoded = DecodeTypedValue(layout, registers);
    std::string written = value;
    if (type == "FLOAT" || type == "DOUBLE") {
      const uint64_t expected = std::stoull(value, nullptr, 16);
      // A NaN's payload is the device's business; any NaN reads as "NaN".
      if (decoded == "NaN") {
        EXPECT_TRUE(bits == 32 ? std::isnan(std::bit_cast<float>(static_cast<uint32_t>(expected)))
                               : std::isnan(std::bit_cast<double>(expected)));
      } else {
        EXPECT_EQ(FloatBits(decoded, bits), expected) << decoded;
      }
      written = decoded;
    } else if (type == "STRING") {
      std::string characters;
      for (size_t i = 0; value != "-" && i + 1 < value.size(); i += 2)
        characters += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
      EXPECT_EQ(decoded, characters.substr(0, characters.find('\0')));
      if (characters.find('\0') != std::string::npos) continue;  // what follows a NUL is lost
      written = characters;
    } else {
      EXPECT_EQ(decoded, value);
    }
    const EncodedValue encoded = EncodeTypedValue(layout, written, '.');
    EXPECT_EQ(encoded.error, "");
    EXPECT_EQ(encoded.registers, registers) << written;
  }
}

}  // namespace
}  // namespace qmb

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <typed_vectors.py> [gtest flags]\n", argv[0]);
    return 2;
  }
  qmb::g_scriptPath = argv[1];
  return RUN_ALL_TESTS();
}
