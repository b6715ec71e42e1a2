// Our frames against an independent implementation: pymodbus frames the same requests and
// replies (tests/integration/protocol_vectors.py, run now, not stored), and we compare requests
// byte for byte and take its replies through CheckReply and DecodePointValue.
//
// Usage: qmb_protocol_vectors_test <path of protocol_vectors.py> [gtest flags]
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ScriptOutput.h"
#include "protocol/FrameCodec.h"
#include "protocol/PointAddress.h"

namespace qmb {
namespace {

std::string g_scriptPath;

struct Vector {
  std::string line;
  std::vector<std::string> fields;
};

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// Runs the generator; the test fails when it cannot run or pymodbus is missing.
bool RunGenerator(std::vector<Vector>& vectors, std::string& problem) {
  std::vector<std::string> lines;
  if (!test::ScriptOutput(g_scriptPath, lines, problem)) return false;
  for (const std::string& line : lines) {
    Vector vector{line, {}};
    std::istringstream words(line);
    for (std::string word; words >> word;) vector.fields.push_back(word);
    if (!vector.fields.empty()) vectors.push_back(vector);
  }
  return true;
}

class ProtocolVectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vectors_ = new std::vector<Vector>;
    if (!RunGenerator(*vectors_, problem_)) vectors_->clear();
  }
  static void TearDownTestSuite() {
    delete vectors_;
    vectors_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(problem_.empty()) << problem_; }

  std::vector<const Vector*> Select(const std::string& type) const {
    std::vector<const Vector*> selected;
    for (const Vector& vector : *vectors_)
      if (vector.fields[0] == type) selected.push_back(&vector);
    return selected;
  }

  // Loads a reply as the serial line would deliver it and checks it against the read request
  // for the address.
  bool CheckAgainstRead(SerialFraming framing, const std::string& address,
                        const std::string& frame) {
    const auto point = ParsePointAddress(address, false);
    const auto request = point ? ReadRequest(*point) : std::nullopt;
    EXPECT_TRUE(request);
    if (!request) return false;
    const FramingEntry& entry = FramingFor(framing);
    const ReplyCheck check = entry.Check(*request, entry.Decode(*request, frame));
    reply = check.Reply;
    return check.Accepted;
  }

  static std::vector<Vector>* vectors_;
  static std::string problem_;
  ReplyBlock reply;  // of the last check
};

std::vector<Vector>* ProtocolVectors::vectors_ = nullptr;
std::string ProtocolVectors::problem_;

SerialFraming FramingOf(const std::string& name) {
  return name == "RTU" ? SerialFraming::RTU : SerialFraming::ASCII;
}

TEST_F(ProtocolVectors, RequestsMatchByteForByte) {
  std::map<std::string, int> functionsSeen;
  for (const Vector* vector : Select("request")) {
    ASSERT_EQ(vector->fields.size(), 5u) << vector->line;
    SCOPED_TRACE(vector->line);
    const SerialFraming framing = FramingOf(vector->fields[1]);
    const std::string& address = vector->fields[2];
    const std::string& value = vector->fields[3];
    const std::string expected = FromHex(vector->fields[4]);

    const auto point = ParsePointAddress(address, false);
    ASSERT_TRUE(point);
    const auto request = value == "-" ? ReadRequest(*point)
                                      : WriteRequest(*point, ParseWriteValue(value).value_or(-1));
    ASSERT_TRUE(request);
    EXPECT_EQ(FramingFor(framing).Frame(*request), expected);
    ++functionsSeen[vector->fields[1] + " " + std::to_string(request->Function())];
  }
  // Functions 1 to 6 in both framings, or the generator did not do its job.
  for (const char* framing : {"ASCII", "RTU"})
    for (int function = 1; function <= 6; ++function)
      EXPECT_GT(functionsSeen[std::string(framing) + " " + std::to_string(function)], 0)
          << framing << " function " << function;
}

TEST_F(ProtocolVectors, RepliesPassTheCheckAndDecode) {
  std::map<std::string, int> outcomesSeen;
  for (const Vector* vector : Select("reply")) {
    ASSERT_EQ(vector->fields.size(), 7u) << vector->line;
    SCOPED_TRACE(vector->line);
    const SerialFraming framing = FramingOf(vector->fields[1]);
    const std::string& address = vector->fields[2];
    const std::string frame = FromHex(vector->fields[3]);
    const std::string& outcome = vector->fields[4];
    const int exceptionCode = std::stoi(vector->fields[5]);
    const std::string& value = vector->fields[6];
    const auto point = ParsePointAddress(address, false);
    ASSERT_TRUE(point);
    ++outcomesSeen[outcome + " " + std::string(KindWord(point->PointKind))];

    const bool accepted = CheckAgainstRead(framing, address, frame);
    if (outcome == "data") {
      EXPECT_TRUE(accepted);
      EXPECT_EQ(reply.ErrorCode, 0);
      EXPECT_EQ(reply.Address, point->Slave);
      EXPECT_EQ(reply.Function, static_cast<int>(point->PointKind));
      EXPECT_EQ(DecodePointValue(reply, address, false), value);

      // The same reply with one data byte changed must fail its checksum.
      std::string corrupted = frame;
      if (framing == SerialFraming::RTU) {
        corrupted[3] = static_cast<char>(corrupted[3] ^ 0x10);
      } else {
        corrupted[7] = corrupted[7] == '5' ? '6' : '5';
      }
      EXPECT_FALSE(CheckAgainstRead(framing, address, corrupted));
      EXPECT_EQ(reply.ErrorCode, 255);
    } else if (outcome == "exception") {
      EXPECT_TRUE(accepted);
      EXPECT_EQ(reply.ErrorCode, exceptionCode);
      EXPECT_EQ(reply.Function, static_cast<int>(point->PointKind));
      EXPECT_EQ(DecodePointValue(reply, address, false), "");
    } else {
      ASSERT_EQ(outcome, "foreign");
      EXPECT_FALSE(accepted);
      EXPECT_EQ(reply.ErrorCode, 0);
      EXPECT_EQ(reply.Address, 0);
    }
  }
  for (const char* outcome : {"data", "exception", "foreign"})
    for (const char* kind : {"OUT", "IN", "HREG", "IREG"})
      EXPECT_GT(outcomesSeen[std::string(outcome) + " " + kind], 0) << outcome << " " << kind;
}

}  // namespace
}  // namespace qmb

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <protocol_vectors.py> [gtest flags]\n", argv[0]);
    return 2;
  }
  qmb::g_scriptPath = argv[1];
  return RUN_ALL_TESTS();
}
