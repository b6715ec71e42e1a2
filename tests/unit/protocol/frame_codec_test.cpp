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
  bool CheckTCP(const std::string& replyText) { return Keep(codec.CheckTCPReply(replyText)); }
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
  SetReceived(Bytes({0x01, 0x83, 0x02, 0x00, 0x00}));  // checksum of an exception not checked
  EXPECT_TRUE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 2);
  EXPECT_EQ(reply.DataLength, 0);

  // An exception code of 0 would read as success to every caller.
  SetReceived(Bytes({0x01, 0x83, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 255);

  SetRTUReply(Bytes({0x01, 0x04, 0x02, 0x12, 0x34}));  // valid frame, other function
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.Function, 4);
  EXPECT_EQ(reply.ErrorCode, 255);
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

TEST_F(FrameCodecTest, TCPReplyCheck) {
  codec.BuildTCPReadFrame(Bytes({0x03, 0x00, 0x63, 0x00, 0x01}));
  const uint16_t id = codec.TCPTransactionId;
  const std::string header = Bytes({id >> 8, id & 0xFF, 0, 0, 0, 5, 0xFF});
  EXPECT_TRUE(CheckTCP(header + Bytes({0x03, 0x02, 0xFF, 0xFE})));
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.DataLength, 3);
  EXPECT_EQ(reply.Data[1], 0xFF);
  EXPECT_TRUE(shown);

  const std::string refused[] = {
      Bytes({id >> 8, (id + 1) & 0xFF, 0, 0, 0, 5, 0xFF, 0x03, 0x02, 0xFF, 0xFE}),  // other id
      Bytes({id >> 8, id & 0xFF, 0, 1, 0, 5, 0xFF, 0x03, 0x02, 0xFF, 0xFE}),        // protocol
      header + Bytes({0x83, 0x02}),                                                 // exception
      header + Bytes({0x83, 0x01, 0x00}),        // exception with a stray byte after it
      header + Bytes({0x03, 0x04, 0x12, 0x34}),  // announces 4 bytes, carries 2
  };
  for (const std::string& text : refused) {
    EXPECT_FALSE(CheckTCP(text));
    EXPECT_FALSE(shown) << "a refused Modbus/TCP reply is not shown";
    EXPECT_EQ(reply.ErrorCode, 255);
    EXPECT_EQ(reply.DataLength, 0);
  }
}

}  // namespace
}  // namespace qmb
