#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

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
  // Frames a request typed as hex text: the request the replies are checked against.
  std::string Frame(Framing framing, std::string_view hexText) {
    request = RequestFromHex(hexText);
    sent = FramingFor(framing).Frame(request);
    return sent;
  }
  void SetReceived(const std::string& bytes) { received = bytes; }
  // A reply as the serial line delivers it: RTU bytes with their CRC appended.
  void SetRTUReply(std::string bytes) {
    const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    bytes += static_cast<char>(crc & 0xFF);
    bytes += static_cast<char>(crc >> 8);
    SetReceived(bytes);
  }

  // Received ASCII characters replaced by the bytes their hex text decodes to.
  void Decode(Framing framing) { received = FramingFor(framing).Decode(request, received); }
  ReplyCheck CheckNow(Framing framing) const {
    return FramingFor(framing).Check(request, received);
  }
  // Checks as the engine does: keeps the reply block and whether the window is to show it.
  bool Check(SerialFraming framing) { return Keep(CheckNow(framing)); }
  bool Keep(const ReplyCheck& check) {
    reply = check.Reply;
    shown = check.Shown;
    return check.Accepted;
  }

  ModbusRequest request;
  std::string sent;
  std::string received;
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
  const FramingEntry& ascii = FramingFor(Framing::ASCII);
  EXPECT_EQ(Frame(Framing::ASCII, "010300630001"), ":01030063000198\r\n");
  EXPECT_EQ(ascii.CheckedBytes(request), Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x98}));

  EXPECT_EQ(Frame(Framing::RTU, "010300630001"),
            Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x74, 0x14}));

  // A caller's odd text goes out as given; the LRC covers only the whole pairs.
  EXPECT_EQ(Frame(Framing::ASCII, "0103006300017"), ":010300630001798\r\n");
}

TEST_F(FrameCodecTest, RequestTooLongForCommandBufferIsRefused) {
  ASSERT_FALSE(Frame(Framing::ASCII, std::string(2 * 255, 'A')).empty());  // 255 + LRC fits
  EXPECT_EQ(FramingFor(Framing::ASCII).CheckedBytes(request).size(), 256u);

  EXPECT_EQ(Frame(Framing::ASCII, std::string(2 * 256, '1')), "");
  EXPECT_EQ(Frame(Framing::RTU, std::string(2 * 255, '1')), "");
  EXPECT_EQ(Frame(Framing::RTU, std::string(2 * 254, '1')).size(), 256u);
  EXPECT_EQ(Frame(Framing::RTU, std::string(4000, '2')), "");
}

TEST_F(FrameCodecTest, RTUReplyAcceptedAndCorruptionRefused) {
  Frame(Framing::RTU, "010300630001");
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
  Frame(Framing::RTU, "010300630001");
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
    ASSERT_FALSE(Frame(Framing::RTU, c.request).empty());
    const bool echoed = c.reply.empty();
    SetRTUReply(echoed ? registerReply : c.reply);
    if (echoed) SetReceived(sent + received);
    const ReplyCheck check = CheckNow(Framing::RTU);
    EXPECT_EQ(check.Accepted, c.accepted);
    EXPECT_EQ(check.Reply.ErrorCode, c.errorCode);
    EXPECT_EQ(check.Start, echoed ? 8 : 0);
    const size_t replyLength = echoed ? registerReply.size() : c.reply.size();
    if (c.accepted && c.errorCode == 0) {
      EXPECT_EQ(check.Reply.DataLength, static_cast<int32_t>(replyLength - 2));
    }
  }

  // A write's echo and its reply are the same bytes: either one alone counts as the reply.
  ASSERT_FALSE(Frame(Framing::RTU, "010600631234").empty());
  SetReceived(sent + sent);
  EXPECT_EQ(CheckNow(Framing::RTU).Start, 8);
  EXPECT_TRUE(CheckNow(Framing::RTU).Accepted);

  // A late reply to an earlier read in front of this one, in one read: the newest frame, the
  // one that ends the read, is the reply; a stale frame alone still reads as one (RTU cannot
  // tell), and a cut reply behind it is none.
  ASSERT_FALSE(Frame(Framing::RTU, "010300630001").empty());
  SetRTUReply(Bytes({1, 3, 2, 0x00, 0x64}));
  const std::string stale = received;
  SetRTUReply(Bytes({1, 3, 2, 0x03, 0xE8}));
  const std::string fresh = received;
  SetReceived(stale + fresh);
  ReplyCheck late = CheckNow(Framing::RTU);
  EXPECT_TRUE(late.Accepted);
  EXPECT_EQ(late.Start, 7);
  EXPECT_EQ(late.Reply.Data[2], 0xE8);
  SetReceived(stale + fresh.substr(0, 5));
  EXPECT_FALSE(CheckNow(Framing::RTU).Accepted);

  // An exception's checksum is checked like any other's.
  ASSERT_FALSE(Frame(Framing::RTU, "010300630001").empty());
  SetReceived(Bytes({0x01, 0x83, 0x02, 0x00, 0x00}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 255);

  // ASCII: the echo of the request's line is dropped before decoding, and alone it is no reply.
  const std::string line = Frame(Framing::ASCII, "010300630001");
  for (const auto& [input, accepted] : std::vector<std::pair<std::string, bool>>{
           {line + ":01030203E80F\r\n", true},
           {line, false},
           {":0103010500F6\r\n", false},
           {":010302006496\r\n:01030203E80F\r\n", true},  // a late reply first: the last counts
           {":01030203E80F\r\n:0103020064", false}}) {
    SCOPED_TRACE(input);
    SetReceived(input);
    Decode(Framing::ASCII);
    EXPECT_EQ(Check(SerialFraming::ASCII), accepted);
    if (accepted) {
      EXPECT_EQ(reply.Data[2], 0xE8);
    }
  }
}

TEST_F(FrameCodecTest, ForeignSlaveAndShortReplies) {
  Frame(Framing::RTU, "010300630001");
  SetRTUReply(Bytes({0x02, 0x03, 0x02, 0x12, 0x34}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.Address, 0);
  EXPECT_TRUE(shown);

  SetReceived(Bytes({0x01, 0x03, 0x02}));
  EXPECT_FALSE(Check(SerialFraming::RTU));
  EXPECT_FALSE(shown) << "a reply under four bytes is not shown";

  // Counts the receive handler should never leave still stay inside the buffer.
  ReceiveBuffer buffer;
  buffer.Count = -5;
  SetReceived(buffer.Text());
  EXPECT_FALSE(Check(SerialFraming::RTU));
  buffer.Bytes.fill(0x01);
  buffer.Count = 1 << 30;
  SetReceived(buffer.Text());
  EXPECT_EQ(received.size(), kReceiveBufferSize);
  EXPECT_FALSE(Check(SerialFraming::ASCII));
  EXPECT_EQ(reply.ErrorCode, 255);
}

TEST(ReceiveBufferTest, WrapsInsteadOfOverrunning) {
  ReceiveBuffer buffer;
  for (int i = 0; i < 1003; ++i) buffer.Store(static_cast<uint8_t>(i));
  EXPECT_EQ(buffer.Count, 3);
  EXPECT_EQ(buffer.Bytes[0], static_cast<uint8_t>(1000));
  EXPECT_EQ(buffer.Bytes[999], static_cast<uint8_t>(999));
}

// Assign leaves the buffer as Clear and a Store of each byte do, over whatever it held before:
// short and long replies, one that just fits, and ones that wrap.
TEST(ReceiveBufferTest, AssignIsClearThenStoreOfEachByte) {
  const size_t sizes[] = {
      0, 1, 11, 260, kReceiveBufferSize - 1, kReceiveBufferSize, kReceiveBufferSize + 3};
  for (const size_t before : sizes) {
    for (const size_t size : sizes) {
      std::string bytes(size, '\0');
      for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 1);
      ReceiveBuffer assigned;
      ReceiveBuffer stored;
      for (size_t i = 0; i < before; ++i) {
        assigned.Store(0xAA);
        stored.Store(0xAA);
      }
      assigned.Assign(bytes);
      stored.Clear();
      for (const char byte : bytes) stored.Store(static_cast<uint8_t>(byte));
      EXPECT_EQ(assigned.Count, stored.Count) << before << " then " << size;
      EXPECT_EQ(assigned.Bytes, stored.Bytes) << before << " then " << size;
    }
  }
}

TEST_F(FrameCodecTest, ASCIIReplyCleaningAndCheck) {
  EXPECT_EQ(CleanASCIIReply("\x05garbage:0103\r\n"), "0103");
  EXPECT_EQ(CleanASCIIReply("0103\r\n"), "0103");  // no ":" keeps the text
  EXPECT_EQ(CleanASCIIReply(": 01\t03 \x80\r\n"), "01 03 \x80");
  EXPECT_EQ(CleanASCIIReply("::\r\n"), ":");

  Frame(Framing::ASCII, "010300630001");
  const std::string clean = ":0103021234B4\r\n";
  for (const std::string& line : {clean, "\x7F\x01noise" + clean}) {
    SetReceived(line);
    Decode(Framing::ASCII);
    EXPECT_EQ(received.size(), 6u);
    EXPECT_TRUE(Check(SerialFraming::ASCII));
    EXPECT_EQ(reply.DataLength, 3);
    EXPECT_EQ(reply.Data[1], 0x12);
  }

  SetReceived(":0103021234b4\r\n");
  Decode(Framing::ASCII);
  EXPECT_FALSE(Check(SerialFraming::ASCII));
  EXPECT_EQ(reply.ErrorCode, 255);
}

// A Modbus/TCP request frame to unit FF: the PDU behind a header with the transaction id and unit.
std::string TCPFrame(std::string_view pdu, uint16_t id) {
  return FramingFor(Framing::TCP).Frame(ModbusRequest{"\xFF" + std::string(pdu), id, {}, {}});
}

TEST_F(FrameCodecTest, TCPFramesAndTransactionIds) {
  const std::string pdu = Bytes({0x03, 0x00, 0x63, 0x00, 0x01});
  const std::string frame = TCPFrame(pdu, 0x1234);
  ASSERT_EQ(frame.size(), 12u);
  EXPECT_EQ(frame.substr(0, 2), Bytes({0x12, 0x34}));
  EXPECT_EQ(frame.substr(2), Bytes({0, 0, 0, 6, 0xFF}) + pdu);
  EXPECT_EQ(TCPFrame(pdu, kTCPWriteTransactionId), Bytes({0xAA, 0x55, 0, 0, 0, 6, 0xFF}) + pdu);
  EXPECT_EQ(TCPFrame(std::string(254, 'x'), 1), "");

  // Same seed, same sequence; ids stay below FFFF and change from read to read.
  TransactionIds ids(1234);
  TransactionIds same(1234);
  uint16_t id = ids.Next();
  same.Next();
  int changes = 0;
  for (int i = 0; i < 200; ++i) {
    const uint16_t previous = id;
    id = ids.Next();
    ASSERT_EQ(id, same.Next());
    ASSERT_LT(id, 65535);
    changes += id != previous;
  }
  EXPECT_GT(changes, 190);
}

TEST_F(FrameCodecTest, TCPReplyMustAnswerItsRequest) {
  const uint16_t id = TransactionIds(1234).Next();
  const std::string read = TCPFrame(Bytes({0x03, 0x00, 0x63, 0x00, 0x01}), id);
  const std::string header = Bytes({id >> 8, id & 0xFF, 0, 0, 0, 5, 0xFF});
  const std::string good = header + Bytes({0x03, 0x02, 0xFF, 0xFE});
  EXPECT_TRUE(Keep(CheckTCPReply(read, good)));
  EXPECT_EQ(reply.Function, 3);
  EXPECT_EQ(reply.ErrorCode, 0);
  EXPECT_EQ(reply.DataLength, 3);
  EXPECT_EQ(reply.Data[1], 0xFF);
  EXPECT_TRUE(shown);

  // An exception to the read is its answer: accepted, with the code, and no value.
  const std::string exception = Bytes({id >> 8, id & 0xFF, 0, 0, 0, 3, 0xFF, 0x83, 0x02});
  EXPECT_TRUE(Keep(CheckTCPReply(read, exception)));
  EXPECT_EQ(reply.ErrorCode, 2);
  EXPECT_EQ(reply.DataLength, 0);

  const std::string write = TCPFrame(Bytes({0x06, 0x00, 0x63, 0x12, 0x34}), kTCPWriteTransactionId);
  std::string echo = write;
  echo[5] = 6;
  EXPECT_TRUE(Keep(CheckTCPReply(write, echo)));
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
    EXPECT_EQ(AnswersTCPRequest(r.request, r.reply), r.answers);
    EXPECT_FALSE(Keep(CheckTCPReply(r.request, r.reply)));
    EXPECT_FALSE(shown) << "a refused Modbus/TCP reply is not shown";
    EXPECT_EQ(reply.ErrorCode, 255);
    EXPECT_EQ(reply.DataLength, 0);
  }
}

// The framing table: for each framing, how many bytes a received buffer still lacks before it
// holds a whole reply to a request (0: whole; -1: it never will).
TEST(FramingTable, BytesMissingBeforeAWholeReply) {
  struct Case {
    const char* what;
    Framing framing;
    const char* request;  // hex text
    std::string received;
    int32_t missing;
  };
  const std::string rtuRead = Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x74, 0x14});
  const std::string rtuReply = Bytes({0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33});
  const std::string asciiRead = ":01030063000198\r\n";
  const std::string tcpReply = Bytes({0x12, 0x34, 0, 0, 0, 5, 0xFF, 0x03, 0x02, 0x27, 0x11});
  const Case cases[] = {
      {"ASCII, nothing yet", Framing::ASCII, "010300630001", "", 2},
      {"ASCII, a line begun", Framing::ASCII, "010300630001", ":010302", 2},
      {"ASCII, up to its CR", Framing::ASCII, "010300630001", ":01030203E80F\r", 1},
      {"ASCII, a whole line", Framing::ASCII, "010300630001", ":01030203E80F\r\n", 0},
      {"ASCII, the echo alone", Framing::ASCII, "010300630001", asciiRead, 3},
      {"ASCII, echo and reply", Framing::ASCII, "010300630001", asciiRead + ":01030203E80F\r\n", 0},
      {"RTU, nothing yet", Framing::RTU, "010300630001", "", 7},
      {"RTU, three bytes", Framing::RTU, "010300630001", rtuReply.substr(0, 3), 4},
      {"RTU, the whole read", Framing::RTU, "010300630001", rtuReply, 0},
      {"RTU, ten registers", Framing::RTU, "01030063000A", rtuReply, 18},
      {"RTU, sixteen coils", Framing::RTU, "010100000010", rtuReply.substr(0, 4), 3},
      {"RTU, an exception", Framing::RTU, "010300630001", Bytes({1, 0x83, 2, 0xC0, 0xF1}), 0},
      {"RTU, echo and part", Framing::RTU, "010300630001", rtuRead + rtuReply.substr(0, 3), 4},
      {"RTU, echo and reply", Framing::RTU, "010300630001", rtuRead + rtuReply, 0},
      {"RTU, a write's echo", Framing::RTU, "010600631234", Bytes({1, 6, 0, 0x63, 0x12}), 3},
      {"RTU, a reply of no fixed size", Framing::RTU, "010800001234", Bytes({1, 8, 0, 0}), 1},
      {"TCP, nothing yet", Framing::TCP, "FF0300630001", "", 8},
      {"TCP, the header", Framing::TCP, "FF0300630001", tcpReply.substr(0, 6), 5},
      {"TCP, all but one", Framing::TCP, "FF0300630001", tcpReply.substr(0, 10), 1},
      {"TCP, a whole frame", Framing::TCP, "FF0300630001", tcpReply, 0},
      {"TCP, out of step", Framing::TCP, "FF0300630001", Bytes({0x12, 0x34, 0, 1}), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FramingFor(c.framing).Missing(RequestFromHex(c.request), c.received), c.missing);
  }
}

TEST(FramingTable, EchoIsStrippedOnlyWithAReplyBehindIt) {
  struct Case {
    std::string sent, received, left;
  };
  const Case cases[] = {
      {"", "abc", "abc"},    // nothing sent, nothing to strip
      {"ab", "abcd", "cd"},  // the echo, then the reply
      {"ab", "ab", "ab"},    // the echo alone (or a write's reply of the same bytes)
      {"ab", "xbcd", "xbcd"}, {"abcd", "ab", "ab"},
  };
  for (const Case& c : cases) EXPECT_EQ(StripEcho(c.sent, c.received), c.left) << c.received;
}

// Each entry frames one read, takes the reply as its link delivers it, echo included, and
// accepts it with its value.
TEST(FramingTable, EveryFramingReadsOneRegister) {
  ModbusRequest read = RequestFromHex("010300630001");
  read.TransactionId = 0x0102;
  const std::string rtuReply = Bytes({0x01, 0x03, 0x02, 0x03, 0xE8, 0xB8, 0xFA});
  const std::pair<Framing, std::string> rows[] = {
      {Framing::ASCII, ":01030063000198\r\n:01030203E80F\r\n"},
      {Framing::RTU, Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x74, 0x14}) + rtuReply},
      {Framing::TCP, Bytes({0x01, 0x02, 0, 0, 0, 5, 0x01, 0x03, 0x02, 0x03, 0xE8})},
      {Framing::RTUOverTCP, rtuReply},
  };
  for (const auto& [framing, wire] : rows) {
    SCOPED_TRACE(static_cast<int>(framing));
    const FramingEntry& entry = FramingFor(framing);
    EXPECT_EQ(entry.Kind, framing);
    EXPECT_FALSE(entry.Frame(read).empty());
    EXPECT_EQ(entry.Missing(read, wire), 0);
    const ReplyCheck check = entry.Check(read, entry.Decode(read, wire));
    EXPECT_TRUE(check.Accepted);
    EXPECT_EQ(check.Reply.ErrorCode, kReplyNoError);
    EXPECT_EQ(check.Reply.Data[1] * 256 + check.Reply.Data[2], 1000);
  }
}

TEST(TCPStream, FramesAreCutByTheLengthInTheirHeader) {
  const std::string frame = Bytes({0x12, 0x34, 0, 0, 0, 5, 0xFF, 0x03, 0x02, 0x27, 0x11});
  EXPECT_EQ(TCPFrameSize(""), 0);
  EXPECT_EQ(TCPFrameSize(frame.substr(0, 5)), 0);
  EXPECT_EQ(TCPFrameSize(frame.substr(0, 10)), 0);
  EXPECT_EQ(TCPFrameSize(frame), 11);
  EXPECT_EQ(TCPFrameSize(frame + frame), 11);
  // Out of step: a protocol id that is not 0 (seen from the fourth byte on), lengths no frame
  // has.
  EXPECT_EQ(TCPFrameSize(Bytes({0x12, 0x34, 0, 1})), -1);
  EXPECT_EQ(TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 1, 0xFF})), -1);
  EXPECT_EQ(TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 255})), -1);
  EXPECT_EQ(TCPFrameSize(Bytes({0x12, 0x34, 0, 0, 0, 254})), 0);
}

// RTU bytes with their CRC appended, low byte first.
std::string WithCRC(const std::string& bytes) {
  const uint16_t crc = CalcCRC(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return bytes + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

// The framings that travel on a TCP stream say where the frame that may answer the request in
// flight ends in it: Modbus/TCP by its header, RTU frames by the request (what it asks for, or
// where the CRC holds for a reply of no fixed size). A stream that cannot hold the answer is out
// of step (-1), and what the stream entry cuts agrees with Missing.
TEST(FramingTable, StreamFramingsCutTheReplyFromTheStream) {
  const ModbusRequest read = RequestFromHex("010300630001");
  const ModbusRequest raw = RequestFromHex("010800001234");  // diagnostics: no fixed reply size
  const std::string reply = WithCRC(Bytes({0x01, 0x03, 0x02, 0x03, 0xE8}));
  const std::string rawReply = WithCRC(Bytes({0x01, 0x08, 0x00, 0x00, 0x12, 0x34}));
  std::string badCRC = reply;
  badCRC.back() ^= 1;
  struct Case {
    const char* what;
    Framing framing;
    const ModbusRequest* request;  // null: nothing in flight
    std::string stream;
    int32_t size;
    bool answers;  // the cut frame answers the request
  };
  const Case cases[] = {
      {"nothing yet", Framing::RTUOverTCP, &read, "", 0, false},
      {"the slave alone", Framing::RTUOverTCP, &read, reply.substr(0, 1), 0, false},
      {"all but the CRC", Framing::RTUOverTCP, &read, reply.substr(0, 5), 0, false},
      {"the whole reply", Framing::RTUOverTCP, &read, reply, 7, true},
      {"the reply and more", Framing::RTUOverTCP, &read, reply + reply, 7, true},
      {"an exception", Framing::RTUOverTCP, &read, WithCRC(Bytes({1, 0x83, 2})), 5, true},
      {"another slave", Framing::RTUOverTCP, &read, WithCRC(Bytes({2, 3, 2, 0, 1})), -1, false},
      {"another function", Framing::RTUOverTCP, &read, WithCRC(Bytes({1, 4, 2, 0, 1})), -1, false},
      {"a bad CRC", Framing::RTUOverTCP, &read, badCRC, -1, false},
      {"nothing in flight", Framing::RTUOverTCP, nullptr, reply, -1, false},
      {"a raw reply begun", Framing::RTUOverTCP, &raw, rawReply.substr(0, 6), 0, false},
      {"a raw reply, whole", Framing::RTUOverTCP, &raw, rawReply + reply, 8, true},
      {"a Modbus/TCP frame", Framing::TCP, &read,
       Bytes({0x01, 0x02, 0, 0, 0, 5, 0x01, 0x03, 0x02, 0x03, 0xE8}), 11, true},
      {"Modbus/TCP out of step", Framing::TCP, &read, Bytes({0x12, 0x34, 0, 1}), -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const FramingEntry& entry = FramingFor(c.framing);
    ModbusRequest request = c.request ? *c.request : ModbusRequest{};
    request.TransactionId = 0x0102;
    const std::string sent = c.request ? entry.Frame(request) : std::string();
    const int32_t size = entry.StreamFrameSize(sent, c.stream);
    EXPECT_EQ(size, c.size);
    if (c.request) {
      EXPECT_EQ(entry.Missing(request, c.stream) == 0, size > 0);
    }
    if (size > 0) {
      EXPECT_EQ(entry.Answers(sent, std::string_view(c.stream).substr(0, size)), c.answers);
    }
  }
  // Only the stream framings cut frames; only RTU frames need the stream dropped after a miss.
  for (const Framing serial : {Framing::ASCII, Framing::RTU})
    EXPECT_EQ(FramingFor(serial).StreamFrameSize, nullptr);
  EXPECT_TRUE(FramingFor(Framing::TCP).TellsLateReplies);
  EXPECT_FALSE(FramingFor(Framing::RTUOverTCP).TellsLateReplies);
}

// The unit a request carries: Modbus/TCP frames put the request's address in the unit id (the
// engine decides it), RTU frames on a stream the slave with the CRC as on a line.
TEST(FramingTable, StreamFramesCarryTheRequestsAddress) {
  ModbusRequest read = RequestFromHex("110300630001");
  read.TransactionId = 7;
  EXPECT_EQ(FramingFor(Framing::TCP).Frame(read),
            Bytes({0, 7, 0, 0, 0, 6, 0x11}) + read.Bytes.substr(1));
  EXPECT_EQ(FramingFor(Framing::RTUOverTCP).Frame(read), WithCRC(read.Bytes));
  EXPECT_EQ(FramingFor(Framing::RTUOverTCP).Name, std::string("RTU over TCP"));
}

}  // namespace
}  // namespace qmb
