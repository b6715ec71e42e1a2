#include "protocol/PointAddress.h"

#include <gtest/gtest.h>

#include "platform/Locale.h"

namespace qmb {
namespace {

using Kind = PointAddress::Kind;

// Each text with the canonical form it renders to; nullptr for a text that is no address.
struct GrammarCase {
  const char* text;
  bool tcpMode;
  const char* canonical;
};

// clang-format off
constexpr GrammarCase kGrammarCases[] = {
    {"1-HREG100", false, "1-HREG100"},         {"01-hreg0100", false, "1-HREG100"},
    {"12-out5", false, "12-OUT5"},             {"0-OUT1", false, "0-OUT1"},
    {"255-OUT65535", false, "255-OUT65535"},   {"+7-in3", false, "7-IN3"},
    {"1-HREG5,15,4096,STRING", false, "1-HREG5,15,4096,STRING"},
    {"1-ireg5,0,16,word", false, "1-IREG5,0,16,WORD"},
    {"1-hreg100,0,32,float,cdab", false, "1-HREG100,0,32,FLOAT,CDAB"},
    {"HREG7,0,64,LInt", true, "HREG7,0,64,LINT"},
    {"1-HREG5,0,32,FLOAT,", false, nullptr},
    {"[10.0.0.7]-IREG3", false, "255-IREG3"},  {"[10.0.0.7]-IREG3", true, "[10.0.0.7]-IREG3"},
    {"[h]xin2", true, "[h]-IN2"},              {"HREG40001", true, "HREG40001"},
    {"5-HREG1", true, "HREG1"},                {"in7,", true, nullptr},
    {"HREG100", false, nullptr},   {"256-HREG1", false, nullptr},  {"-HREG1", false, nullptr},
    {"-1-HREG1", false, nullptr},  {"1-HREG0", false, nullptr},    {"1-HREG65536", false, nullptr},
    {"1-OUT5,0,1,BOOL", false, nullptr},     {"1-HREG5,16,1,WORD", false, nullptr},
    {"1-HREG5,0,4097,WORD", false, nullptr}, {"1-HREG5,0,0,WORD", false, nullptr},
    {"1-HREG5,0,16", false, nullptr},        {"1-HREG5,0,16,", false, nullptr},
    {"1-HREG5,,16,WORD", false, nullptr},    {"1-HREG5,0,16,WORDS", false, nullptr},
    {"1-HREG5,0,16,WORD,", false, nullptr},  {"[]-HREG3", false, nullptr},
    {"1-INPUT7", false, nullptr},  {"1-HREG", false, nullptr},     {"1-XREG5", false, nullptr},
    {"x-HREG5", false, nullptr},   {"1-HREG 5", false, nullptr},   {"1-", false, nullptr},
};
// clang-format on

TEST(PointAddressGrammar, ParsedAndRenderedCanonically) {
  for (const GrammarCase& c : kGrammarCases) {
    std::string why;
    const auto point = ParsePointAddress(c.text, c.tcpMode, &why);
    const std::string rendered = point ? FormatPointAddress(*point, c.tcpMode) : "(invalid)";
    EXPECT_EQ(rendered, c.canonical ? c.canonical : "(invalid)") << c.text;
    EXPECT_EQ(why.empty(), point.has_value()) << c.text << ": " << why;
  }
  const auto host = ParsePointAddress("[10.0.0.7]-IREG3", false);
  ASSERT_TRUE(host);
  EXPECT_EQ(host->Host, "10.0.0.7");
  EXPECT_EQ(host->Slave, 255);
  const auto bare = ParsePointAddress("HREG40001", true);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->Slave, 255);
  EXPECT_EQ(bare->PointKind, Kind::HoldingRegister);
  EXPECT_EQ(ParsePointAddress("1-HREG5,15,4096,STRING", false).value_or(PointAddress{}).DataType,
            6);
}

TEST(PointAddressGrammar, ARefusedAddressNamesTheRuleItBroke) {
  struct Row {
    const char* text;
    bool tcpMode;
    const char* why;
  };
  const Row rows[] = {
      {"1-", false, "too short for an address (such as 1-HREG100)"},
      {"HREG4", false, "a serial site's address starts with its slave: 1-HREG4"},
      {"PUMP", true, "no kind word (OUT, IN, HREG or IREG) in \"PUMP\""},
      {"PUMP", false, "no slave prefix (SLAVE-KIND NUMBER, such as 1-HREG100)"},
      {"256-HREG1", false, "slave \"256\" is not 0 to 255"},
      {"1-XREG5", false, "no kind word (OUT, IN, HREG or IREG) in \"XREG5\""},
      {"1-HREG", false, "no point number after HREG"},
      {"1-HREG0", false, "point number \"0\" is not 1 to 65535"},
      {"1-OUT5,0,1,BOOL", false, "only registers (HREG, IREG) take the tail ,First,Count,TYPE"},
      {"1-HREG5,16,1,WORD", false, "the tail's First is not 0 to 15 followed by \",Count,TYPE\""},
      {"1-HREG5,0,0,WORD", false, "the tail's Count is not 1 to 4096 followed by \",TYPE\""},
      {"1-HREG5,0,16,WORDS", false,
       "type \"WORDS\" is not WORD, BYTE, DWORD, INT, BOOL, FLOAT, STRING, DINT, LWORD, LINT or "
       "DOUBLE"},
      {"1-HREG5,0,32,FLOAT,ABDC", false, "order \"ABDC\" is not ABCD, CDAB, BADC or DCBA"},
  };
  for (const Row& row : rows) {
    std::string why;
    EXPECT_FALSE(ParsePointAddress(row.text, row.tcpMode, &why)) << row.text;
    EXPECT_EQ(why, row.why) << row.text;
  }
}

std::optional<ModbusRequest> Read(std::string_view text, bool tcpMode = false) {
  const auto point = ParsePointAddress(text, tcpMode);
  return point ? ReadRequest(*point) : std::nullopt;
}

// The whole frame of a write as Modbus/TCP frames it, to the unit its request carries (the point's
// slave here: the engine puts in FF unless the site takes the unit from the point); empty for a
// write that has no request.
std::string TCPWriteFrame(const PointAddress& point, int32_t value) {
  const auto request = WriteRequest(point, value);
  return request ? FramingFor(Framing::TCP).Frame(*request) : std::string();
}

TEST(PointRequestsTest, ReadRequestsInEachFraming) {
  EXPECT_EQ(FramingFor(Framing::ASCII).Frame(*Read("1-HREG100")), ":01030063000198\r\n");
  EXPECT_EQ(BytesToHex(Read("1-HREG100")->Bytes), "010300630001");
  EXPECT_EQ(FramingFor(Framing::RTU).Frame(*Read("1-HREG100")),
            std::string("\x01\x03\x00\x63\x00\x01\x74\x14", 8));
  EXPECT_EQ(BytesToHex(Read("7-in1")->Bytes), "070200000001");

  // An invalid address gives no request.
  EXPECT_FALSE(Read("1-HREG0"));
  EXPECT_FALSE(Read("HREG100"));

  ModbusRequest tcp = Read("IREG40001", true).value();
  tcp.TransactionId = 0x1234;
  const std::string frame = FramingFor(Framing::TCP).Frame(tcp);
  ASSERT_EQ(frame.size(), 12u);
  EXPECT_EQ(frame.substr(0, 2), "\x12\x34");
  EXPECT_EQ(frame.substr(2), std::string("\x00\x00\x00\x06\xFF\x04\x9C\x40\x00\x01", 10));
  EXPECT_FALSE(Read("1-HREG0", true));
}

TEST(PointRequestsTest, WriteValuesAndRequests) {
  const std::pair<const char*, std::optional<int32_t>> values[] = {
      {"ON", 1},
      {"-on", -1},
      {"NONE", 1},
      {"off", 0},
      {"true", 1},
      {"FALSE", 0},
      {"  12.9 %", 12},
      {"-7.9", -7},
      {"50%", 50},
      // Texts that are no value write nothing rather than 0.
      {"maybe", std::nullopt},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"1e10", std::nullopt},  // no 32-bit integer
      {"1e99", std::nullopt},
  };
  for (const auto& [text, expected] : values) EXPECT_EQ(ParseWriteValue(text), expected) << text;
  SetDecimalSeparator(',');
  EXPECT_EQ(ParseWriteValue("65535,7"), 65535);
  SetDecimalSeparator('.');

  const auto coil = *ParsePointAddress("1-OUT10", false);
  const std::string on = BuildSerialWriteText(coil, *ParseWriteValue("ON"));
  EXPECT_EQ(on, "01050009FF00");
  EXPECT_EQ(FramingFor(Framing::ASCII).Frame(RequestFromHex(on)), ":01050009FF00F2\r\n");
  for (const char* value : {"-ON", "NONE"})
    EXPECT_EQ(BuildSerialWriteText(coil, *ParseWriteValue(value)), "01050009FF00") << value;
  EXPECT_EQ(BuildSerialWriteText(coil, *ParseWriteValue("off")), "010500090000");

  const auto reg = *ParsePointAddress("2-HREG1", false);
  EXPECT_EQ(BuildSerialWriteText(reg, 65535), "02060000FFFF");
  EXPECT_EQ(BuildSerialWriteText(reg, -1), "");
  EXPECT_EQ(BuildSerialWriteText(reg, 65536), "");
  EXPECT_EQ(TCPWriteFrame(reg, 0x1234),
            std::string("\xAA\x55\x00\x00\x00\x06\x02\x06\x00\x00\x12\x34", 12));
  EXPECT_EQ(TCPWriteFrame(coil, -1),
            std::string("\xAA\x55\x00\x00\x00\x06\x01\x05\x00\x09\xFF\x00", 12));
  EXPECT_EQ(TCPWriteFrame(reg, -1), "");

  for (const char* readOnly : {"1-IN3", "1-IREG3"}) {
    EXPECT_EQ(BuildSerialWriteText(*ParsePointAddress(readOnly, false), 1), "");
    EXPECT_EQ(TCPWriteFrame(*ParsePointAddress(readOnly, false), 1), "");
    EXPECT_EQ(WriteRequest(*ParsePointAddress(readOnly, false), 1, true), std::nullopt);
  }
  // For devices without 05 and 06: the multiple writes, a quantity of one; typed values with 16.
  const auto frame = [](const std::optional<ModbusRequest>& request) {
    return request ? FramingFor(Framing::RTU).Frame(*request) : std::string("none");
  };
  EXPECT_EQ(frame(WriteRequest(coil, 1, true)), frame(RequestFromHex("010F00090001"
                                                                     "0101")));
  EXPECT_EQ(frame(WriteRequest(reg, 0x1234, true)), frame(RequestFromHex("021000000001"
                                                                         "021234")));
  EXPECT_EQ(frame(WriteRegistersRequest(reg, {0x3FC0, 0x0000}, false)),
            frame(RequestFromHex("021000000002"
                                 "043FC00000")));
  EXPECT_EQ(frame(WriteRegistersRequest(reg, {0x0102}, false)),
            frame(RequestFromHex("020600000102")));
  EXPECT_EQ(frame(WriteRegistersRequest(coil, {1}, false)), "none");
  EXPECT_EQ(
      frame(WriteRegistersRequest(*ParsePointAddress("1-HREG65535", false), {1, 2, 3}, false)),
      "none")
      << "past the last register";
}

TEST(PointValues, DecodedFromTheReplyBlock) {
  ReplyBlock reply;
  reply.Data[0] = 2;
  reply.Data[1] = 0xFF;
  reply.Data[2] = 0xFE;
  reply.DataLength = 3;
  EXPECT_EQ(DecodePointValue(reply, "1-HREG100", false), "65534");
  EXPECT_EQ(DecodePointValue(reply, "IREG3", true), "65534");
  EXPECT_EQ(DecodePointValue(reply, "IREG3", false), "");  // no address on a serial site
  reply.DataLength = 2;
  EXPECT_EQ(DecodePointValue(reply, "1-HREG100", false), "");

  reply.Data[0] = 1;
  reply.Data[1] = 0x03;
  EXPECT_EQ(DecodePointValue(reply, "1-OUT1", false), "TRUE");
  reply.Data[1] = 0x02;
  EXPECT_EQ(DecodePointValue(reply, "1-IN1", false), "FALSE");
  reply.DataLength = 1;
  EXPECT_EQ(DecodePointValue(reply, "1-IN1", false), "");
}

}  // namespace
}  // namespace qmb
