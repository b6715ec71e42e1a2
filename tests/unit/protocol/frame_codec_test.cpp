#include "protocol/FrameCodec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qmb {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

uint16_t BitwiseCRC(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = ((crc ^ byte) & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
      byte >>= 1;
    }
  }
  return crc;
}

class FrameCodecTest : public ::testing::Test {
 protected:
  void SetReceived(const std::string& bytes) {
    codec.Receive.Clear();
    for (char c : bytes) codec.Receive.Store(static_cast<uint8_t>(c));
  }
  // A reply as the serial line delivers it: RTU bytes with their CRC appended.
  void SetRTUReply(std::string bytes) {
    const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    bytes += static_cast<char>(crc & 0xFF);
    bytes += static_cast<char>(crc >> 8);
    SetReceived(bytes);
  }

  // Checks as the engine does: keeps the reply block and whether the window is to show it.
  bool Check(SerialFraming framing) { return Keep(codec.CheckReply(framing)); }
  bool Keep(const ReplyCheck& check) {
    reply = check.Reply;
    shown = check.Shown;
    return check.Accepted;
  }

  FrameCodec codec{1234};
  ReplyBlock reply;
  bool shown = false;
};

TEST(HexAndChecksums, HexTextRules) {
  EXPECT_EQ(ByteToHex(10), "0A");
  EXPECT_EQ(ByteToHex(255), "FF");
  EXPECT_EQ(WordToHex(99), "0063");
  EXPECT_EQ(WordToHex(0xBEEF), "BEEF");

  EXPECT_EQ(HexToBytes("0103FF7"), Bytes({0x01, 0x03, 0xFF}));  // odd tail ignored
  // Lower case and other characters count as -1: wrong bytes, never an error.
  EXPECT_EQ(HexToBytes("ff"), Bytes({0xEF}));
  EXPECT_EQ(HexToBytes("0 "), Bytes({0xFF}));
  EXPECT_EQ(HexToBytes(" 0"), Bytes({0xF0}));

  uint8_t out[2] = {0, 0};
  EXPECT_EQ(HexToBytes("112233", out, 2), 2u);
  EXPECT_EQ(out[1], 0x22);
}

TEST(HexAndChecksums, LRCAndCRCValues) {
  const uint8_t request[] = {0x01, 0x03, 0x00, 0x63, 0x00, 0x01};
  EXPECT_EQ(CalcLRC(request, 6), 0x98);
  EXPECT_EQ(CalcLRC(request, 0), 0);
  EXPECT_EQ(CalcLRC(request, -3), 0);
  EXPECT_EQ(CalcCRC(request, 6), 0x1474);  // sent 74 14

  const std::string check = "123456789";
  EXPECT_EQ(CalcCRC(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x4B37);

  // The table must agree with the published bit-by-bit definition for every byte and length.
  std::mt19937 random(7);
  std::vector<uint8_t> data(300);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (size_t n = 0; n <= data.size(); n += 13)
    ASSERT_EQ(CalcCRC(data.data(), n), BitwiseCRC(data.data(), n)) << n;
  for (int v = 0; v < 256; ++v) {
    const uint8_t one = static_cast<uint8_t>(v);
    ASSERT_EQ(CalcCRC(&one, 1), BitwiseCRC(&one, 1)) << v;
  }
}

TEST_F(FrameCodecTest, SerialRequestFrames) {
  EXPECT_EQ(codec.FrameASCIIRequest("010300630001"), ":01030063000198\r\n");
  EXPECT_EQ(codec.Command.Length, 7);
  EXPECT_EQ(codec.CommandBytes(), Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x98}));

  ASSERT_TRUE(codec.FrameRTURequest("010300630001"));
  EXPECT_EQ(codec.CommandBytes(), Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x74, 0x14}));

  // A caller's odd text goes out as given; the LRC covers only the whole pairs.
  EXPECT_EQ(codec.FrameASCIIRequest("0103006300017"), ":010300630001798\r\n");
}

TEST_F(FrameCodecTest, RequestTooLongForCommandBufferIsRefused) {
  ASSERT_FALSE(codec.FrameASCIIRequest(std::string(2 * 255, 'A')).empty());  // 255 + LRC fits
  EXPECT_EQ(codec.Command.Length, 256);
  ASSERT_TRUE(codec.FrameRTURequest("010300630001"));

  EXPECT_EQ(codec.FrameASCIIRequest(std::string(2 * 256, '1')), "");
  EXPECT_FALSE(codec.FrameRTURequest(std::string(2 * 255, '1')));
  EXPECT_TRUE(codec.FrameRTURequest(std::string(2 * 254, '1')));
  EXPECT_EQ(codec.Command.Length, 256);
  EXPECT_FALSE(codec.FrameRTURequest(std::string(4000, '2')));
  // Nothing framed: the previous request stays.
  EXPECT_EQ(codec.Command.Bytes[0], 0x11);
}

TEST_F(FrameCodecTest, RTUReplyAcceptedAndCorruptionRefused) {
  codec.FrameRTURequest("010300630001");
  SetReceived(Bytes({0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33}));
  EXPECT_TRUE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.Address, 1);
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.DataLength, 3);
  EXPECT_EQ(reply.Data[0], 0x02);
  EXPECT_EQ(reply.Data[2], 0x34);
  EXPECT_TRUE(shown);

  SetReceived(Bytes({0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x34}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 255);
  EXPECT_EQ(reply.DataLength, 0);
}

TEST_F(FrameCodecTest, ExceptionAndUnexpectedReplies) {
  codec.FrameRTURequest("010300630001");
  SetRTUReply(Bytes({0x01, 0x83, 0x02}));
  EXPECT_TRUE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 2);
  EXPECT_EQ(reply.DataLength, 0);

  // An exception code of 0 would read as success to every caller.
  SetRTUReply(Bytes({0x01, 0x83, 0x00}));
  EXPECT_TRUE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 255);

  SetRTUReply(Bytes({0x01, 0x04, 0x02, 0x12, 0x34}));  // valid frame, other function
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.Function, 4);
  EXPECT_EQ(reply.ErrorCode, 255);
}

// Every serial reply against the request it is to answer: the slave, the function and the shape
// the request asks for, or the exception to that function. Anything else is no reply.
TEST_F(FrameCodecTest, SerialReplyMustFitItsRequest) {
  struct Case {
    const char* what;
    const char* request;  // hex text as framed
    std::string reply;    // bytes before the CRC
    bool accepted;
    int errorCode;
  };
  const std::string readEcho = Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01});
  const std::string registerReply = Bytes({0x01, 0x03, 0x02, 0x03, 0xE8});
  const std::string write = Bytes({0x01, 0x06, 0x00, 0x63, 0x12, 0x34});
  const Case cases[] = {
      {"register read", "010300630001", registerReply, true, 0},
      {"one data byte for a register", "010300630001", Bytes({0x01, 0x03, 0x01, 0x05}), false, 255},
      {"two registers for one", "010300630001", Bytes({0x01, 0x03, 0x04, 1, 2, 3, 4}), false, 255},
      {"count says 2, one byte", "010300630001", Bytes({0x01, 0x03, 0x02, 0x12}), false, 255},
      {"count says 4, two bytes", "010300630001", Bytes({0x01, 0x03, 0x04, 1, 2}), false, 255},
      {"input registers for holding", "010300630001", Bytes({0x01, 0x04, 0x02, 1, 2}), false, 255},
      {"exception with a stray byte", "010300630001", Bytes({0x01, 0x83, 0x02, 0x00}), false, 255},
      {"the read's echo alone", "010300630001", readEcho, false, 255},
      {"the read's echo, then the reply", "010300630001", "", true, 0},
      {"coil read", "010100040001", Bytes({0x01, 0x01, 0x01, 0x01}), true, 0},
      {"two bytes for one coil", "010100040001", Bytes({0x01, 0x01, 0x02, 1, 0}), false, 255},
      {"sixteen coils", "010100040010", Bytes({0x01, 0x01, 0x02, 1, 0}), true, 0},
      {"register write echoed", "010600631234", write, true, 0},
      {"write of another address", "010600631234", Bytes({1, 6, 0, 0x64, 0x12, 0x34}), false, 255},
      {"write refused", "010600631234", Bytes({0x01, 0x86, 0x02}), true, 2},
      {"coil write echoed", "01050004FF00", Bytes({1, 5, 0, 4, 0xFF, 0}), true, 0},
      {"multiple write", "0110006300020441424344", Bytes({1, 0x10, 0, 0x63, 0, 2}), true, 0},
      {"multiple write, wrong count", "0110006300020441424344", Bytes({1, 0x10, 0, 0x63, 0, 1}),
       false, 255},
      // A raw request of a function whose reply the request does not fix: function and CRC.
      {"diagnostics", "010800001234", Bytes({1, 8, 0, 0, 0x12, 0x34, 0x56}), true, 0},
      {"a raw read too short to say its quantity", "01030063", registerReply, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(codec.FrameRTURequest(c.request));
    const bool echoed = c.reply.empty();
    SetRTUReply(echoed ? registerReply : c.reply);
    if (echoed) SetReceived(codec.CommandBytes() + codec.Receive.Text());
    const ReplyCheck check = codec.CheckReply(SerialFraming::RTU);
    EXPECT_EQ(check.Accepted, c.accepted);
    EXPECT_EQ(check.Reply.ErrorCode, c.errorCode);
    EXPECT_EQ(check.Start, echoed ? 8 : 0);
    const size_t replyLength = echoed ? registerReply.size() : c.reply.size();
    if (c.accepted && c.errorCode == 0) {
      EXPECT_EQ(check.Reply.DataLength, static_cast<int32_t>(replyLength - 2));
    }
  }

  // A write's echo and its reply are the same bytes: either one alone counts as the reply.
  ASSERT_TRUE(codec.FrameRTURequest("010600631234"));
  SetReceived(codec.CommandBytes() + codec.CommandBytes());
  EXPECT_EQ(codec.CheckReply(SerialFraming::RTU).Start, 8);
  EXPECT_TRUE(codec.CheckReply(SerialFraming::RTU).Accepted);

  // A late reply to an earlier read in front of this one, in one read: the newest frame, the
  // one that ends the read, is the reply; a stale frame alone still reads as one (RTU cannot
  // tell), and a cut reply behind it is none.
  ASSERT_TRUE(codec.FrameRTURequest("010300630001"));
  SetRTUReply(Bytes({1, 3, 2, 0x00, 0x64}));
  const std::string stale = codec.Receive.Text();
  SetRTUReply(Bytes({1, 3, 2, 0x03, 0xE8}));
  const std::string fresh = codec.Receive.Text();
  SetReceived(stale + fresh);
  ReplyCheck late = codec.CheckReply(SerialFraming::RTU);
  EXPECT_TRUE(late.Accepted);
  EXPECT_EQ(late.Start, 7);
  EXPECT_EQ(late.Reply.Data[2], 0xE8);
  SetReceived(stale + fresh.substr(0, 5));
  EXPECT_FALSE(codec.CheckReply(SerialFraming::RTU).Accepted);

  // An exception's checksum is checked like any other's.
  ASSERT_TRUE(codec.FrameRTURequest("010300630001"));
  SetReceived(Bytes({0x01, 0x83, 0x02, 0x00, 0x00}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 255);

  // ASCII: the echo of the request's line is dropped before decoding, and alone it is no reply.
  const std::string request = codec.FrameASCIIRequest("010300630001");
  for (const auto& [received, accepted] : std::vector<std::pair<std::string, bool>>{
           {request + ":01030203E80F\r\n", true},
           {request, false},
           {":0103010500F6\r\n", false},
           {":010302006496\r\n:01030203E80F\r\n", true},  // a late reply first: the last counts
           {":01030203E80F\r\n:0103020064", false}}) {
    SCOPED_TRACE(received);
    SetReceived(received);
    codec.DecodeASCIIReply();
    EXPECT_EQ(Check(SerialFraming::ASCII), accepted);
    if (accepted) {
      EXPECT_EQ(reply.Data[2], 0xE8);
    }
  }
}

TEST_F(FrameCodecTest, ForeignSlaveAndShortReplies) {
  codec.FrameRTURequest("010300630001");
  SetRTUReply(Bytes({0x02, 0x03, 0x02, 0x12, 0x34}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.Address, 0);
  EXPECT_TRUE(shown);

  SetReceived(Bytes({0x01, 0x03, 0x02}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_FALSE(shown) << "a reply under four bytes is not shown";

  // Counts the receive handler should never leave still stay inside the buffer.
  codec.Receive.Count = -5;
  EXPECT_FALSE(Check(SerialFraming::RTU));
  codec.Receive.Bytes.fill(0x01);
  codec.Receive.Count = 1 << 30;
  EXPECT_FALSE(Check(SerialFraming::ASCII));
  EXPECT_EQ(reply.ErrorCode, 255);
}

TEST_F(FrameCodecTest, ReceiveBufferWrapsInsteadOfOverrunning) {
  for (int i = 0; i < 1003; ++i) codec.Receive.Store(static_cast<uint8_t>(i));
  EXPECT_EQ(codec.Receive.Count, 3);
  EXPECT_EQ(codec.Receive.Bytes[0], static_cast<uint8_t>(1000));
  EXPECT_EQ(codec.Receive.Bytes[999], static_cast<uint8_t>(999));
}

TEST_F(FrameCodecTest, ASCIIReplyCleaningAndCheck) {
  EXPECT_EQ(CleanASCIIReply("\x05garbage:0103\r\n"), "0103");
  EXPECT_EQ(CleanASCIIReply("0103\r\n"), "0103");  // no ":" keeps the text
  EXPECT_EQ(CleanASCIIReply(": 01\t03 \x80\r\n"), "01 03 \x80");
  EXPECT_EQ(CleanASCIIReply("::\r\n"), ":");

  codec.FrameASCIIRequest("010300630001");
  const std::string clean = ":0103021234B4\r\n";
  for (const std::string& received : {clean, "\x7F\x01noise" + clean}) {
    SetReceived(received);
    codec.DecodeASCIIReply();
    EXPECT_EQ(codec.Receive.Count, 6);
    EXPECT_TRUE(Check(SerialFraming::ASCII));
    EXPECT_EQ(reply.DataLength, 3);
    EXPECT_EQ(reply.Data[1], 0x12);
  }

  SetReceived(":0103021234b4\r\n");
  codec.DecodeASCIIReply();
  EXPECT_FALSE(Check(SerialFraming::ASCII));
  EXPECT_EQ(reply.ErrorCode, 255);
}

TEST_F(FrameCodecTest, TCPFramesAndTransactionIds) {
  const std::string pdu = Bytes({0x03, 0x00, 0x63, 0x00, 0x01});
  const std::string frame = codec.BuildTCPReadFrame(pdu);
  ASSERT_EQ(frame.size(), 12u);
  EXPECT_EQ(static_cast<uint8_t>(frame[0]) * 256 + static_cast<uint8_t>(frame[1]),
            codec.TCPTransactionId);
  EXPECT_EQ(frame.substr(2), Bytes({0, 0, 0, 6, 0xFF}) + pdu);
  EXPECT_EQ(FrameCodec::BuildTCPWriteFrame(pdu), Bytes({0xAA, 0x55, 0, 0, 0, 6, 0xFF}) + pdu);
  EXPECT_EQ(codec.BuildTCPReadFrame(std::string(254, 'x')), "");

  // Same seed, same sequence; ids stay below FFFF and change from read to read.
  FrameCodec same(1234);
  same.BuildTCPReadFrame(pdu);
  int changes = 0;
  for (int i = 0; i < 200; ++i) {
    const uint16_t previous = codec.TCPTransactionId;
    codec.BuildTCPReadFrame(pdu);
    same.BuildTCPReadFrame(pdu);
    ASSERT_EQ(codec.TCPTransactionId, same.TCPTransactionId);
    ASSERT_LT(codec.TCPTransactionId, 65535);
    changes += codec.TCPTransactionId != previous;
  }
  EXPECT_GT(changes, 190);
}

TEST_F(FrameCodecTest, TCPReplyMustAnswerItsRequest) {
  const std::string read = codec.BuildTCPReadFrame(Bytes({0x03, 0x00, 0x63, 0x00, 0x01}));
  const uint16_t id = codec.TCPTransactionId;
  const std::string header = Bytes({id >> 8, id & 0xFF, 0, 0, 0, 5, 0xFF});
  const std::string good = header + Bytes({0x03, 0x02, 0xFF, 0xFE});
  EXPECT_TRUE(Keep(FrameCodec::CheckTCPReply(read, good)));
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.DataLength, 3);
  EXPECT_EQ(reply.Data[1], 0xFF);
  EXPECT_TRUE(shown);

  // An exception to the read is its answer: accepted, with the code, and no value.
  const std::string exception = Bytes({id >> 8, id & 0xFF, 0, 0, 0, 3, 0xFF, 0x83, 0x02});
  EXPECT_TRUE(Keep(FrameCodec::CheckTCPReply(read, exception)));
  EXPECT_EQ(reply.ErrorCode, 2);
  EXPECT_EQ(reply.DataLength, 0);

  const std::string write = FrameCodec::BuildTCPWriteFrame(Bytes({0x06, 0x00, 0x63, 0x12, 0x34}));
  std::string echo = write;
  echo[5] = 6;
  EXPECT_TRUE(Keep(FrameCodec::CheckTCPReply(write, echo)));
  EXPECT_EQ(reply.Function, 6);
  EXPECT_EQ(reply.DataLength, 4);

  const auto with = [](std::string frame, size_t at, int value) {
    frame[at] = static_cast<char>(value);
    return frame;
  };
  struct Refused {
    const char* what;
    const std::string& request;
    std::string reply;
    bool answers;  // the answer to the request, but of the wrong shape
  };
  const Refused refused[] = {
      {"another transaction id", read, with(good, 1, (id + 1) & 0xFF), false},
      {"protocol id 1", read, with(good, 3, 1), false},
      {"another unit", read, with(good, 6, 1), false},
      {"input registers for holding", read, with(good, 7, 4), false},
      {"one data byte", read, header.substr(0, 5) + Bytes({4, 0xFF, 0x03, 0x01, 0x42}), true},
      {"announces 4 bytes, carries 2", read, with(good, 8, 4), true},
      {"length field short", read, with(good, 5, 4), true},
      {"a stray byte after it", read, good + Bytes({0}), true},
      {"exception with a stray byte", read, with(exception, 5, 4) + Bytes({0}), true},
      {"write of another address", write, with(echo, 9, 0x64), false},
      {"write answer to a read", read, with(with(echo, 0, id >> 8), 1, id & 0xFF), false},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(FrameCodec::AnswersTCPRequest(r.request, r.reply), r.answers);
    EXPECT_FALSE(Keep(FrameCodec::CheckTCPReply(r.request, r.reply)));
    EXPECT_FALSE(shown) << "a refused Modbus/TCP reply is not shown";
    EXPECT_EQ(reply.ErrorCode, 255);
    EXPECT_EQ(reply.DataLength, 0);
  }
}

TEST(TCPStream, FramesAreCutByTheLengthInTheirHeader) {
  const std::string frame = Bytes({0x12, 0x34, 0, 0, 0, 5, 0xFF, 0x03, 0x02, 0x27, 0x11});
  EXPECT_EQ(FrameCodec::TCPFrameSize(""), 0);
  EXPECT_EQ(FrameCodec::TCPFrameSize(frame.substr(0, 5)), 0);
  EXPECT_EQ(FrameCodec::TCPFrameSize(frame.substr(0, 10)), 0);
  EXPECT_EQ(FrameCodec::TCPFrameSize(frame), 11);
  EXPECT_EQ(FrameCodec::TCPFrameSize(frame + frame), 11);
  // Out of step: a protocol id that is not 0 (seen from the fourth byte on), lengths no frame
  // has.
  EXPECT_EQ(FrameCodec::TCPFrameSize(Bytes({0x12, 0x34, 0, 1})), -1);
  EXPECT_EQ(FrameCodec::TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 1, 0xFF})), -1);
  EXPECT_EQ(FrameCodec::TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 255})), -1);
  EXPECT_EQ(FrameCodec::TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 254})), 0);
}

}  // namespace
}  // namespace qmb
