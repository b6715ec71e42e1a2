// Open-list values the driver cannot read: each is named with what the key takes and what the
// site uses instead, once per open; and a second host's differing link keys are told too.
#include <gtest/gtest.h>

#include "host/OpenSettings.h"
#include "platform/Log.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

TEST(OpenSettingsTest, EachUnreadableValueIsNamedWithWhatItTakesAndWhatIsUsed) {
  struct Row {
    std::vector<std::string> list;
    std::string told;
  };
  const Row rows[] = {
      {{"BAUDRATE=9600", "IP1=1", "IP2=2", "COMPORT=$10", "BP2=TRUE", "CONNECTIONTYPE=MODEM"}, ""},
      {{"BAUDRATE=fast"},
       "BAUDRATE \"fast\" is not a whole number of bits per second (9600, 19200, 38400 ...): "
       "38400 used"},
      {{"IP2=7"}, "IP2 \"7\" is not the parity, 0 (none), 1 (odd) or 2 (even): 0 (none) used"},
      {{"IP1=3"}, "IP1 \"3\" is not the stop bits, 1 or 2: 2 used"},
      {{"COMPORT=abc"}, "COMPORT \"abc\" is not a COM port number (1 for COM1): 0 (no port) used"},
      {{"BP2=true"}, "BP2 \"true\" is not TRUE or FALSE, in upper case: FALSE used"},
      {{"CONNECTIONTYPE=modem"},
       "CONNECTIONTYPE \"modem\" is not MODEM (upper case) to dial, DIRECT for a direct line: "
       "DIRECT used"},
      {{"BP3=TRUE"},
       "SP3 is missing (a Modbus/TCP site (BP3=TRUE) needs its device's address, HOST or "
       "HOST:PORT): no address (nothing to connect to) used"},
      {{"BP3=TRUE", "SP3="},
       "SP3 is missing (a Modbus/TCP site (BP3=TRUE) needs its device's "
       "address, HOST or HOST:PORT): no address (nothing to connect to) used"},
      {{"BP3=FALSE"}, ""},
      {{"TCPFRAMING=rtu", "TCPUNIT=Point"}, ""},
      {{"TCPFRAMING=ASCII", "TCPUNIT=17"},
       "TCPFRAMING \"ASCII\" is not TCP (the default) or RTU, for RTU frames over the connection: "
       "nothing (the open is refused) used; TCPUNIT \"17\" is not FF (the default) or POINT, for "
       "each point's slave prefix as its unit id: nothing (the open is refused) used"},
      // The first match wins, as the driver reads it; keys are exact (lower case is no key).
      {{"IP1=1", "IP1=9", "ip2=9"}, ""},
      // In the driver's order of keys, whatever the list's order.
      {{"IP1=x", "BAUDRATE=y"},
       "BAUDRATE \"y\" is not a whole number of bits per second (9600, 19200, 38400 ...): 38400 "
       "used; IP1 \"x\" is not the stop bits, 1 or 2: 2 used"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.list.empty() ? "" : row.list.front());
    EXPECT_EQ(DescribeReplacedSettings(ReplacedSettings(Variant(SafeArray::OfTexts(row.list)))),
              row.told);
  }
  // An element without a text form hides the keys after it from the driver: nothing to name.
  SafeArray odd(ElementType::Variant, 0, 1);
  odd.Put(0, Variant::Null());
  odd.Put(1, Variant(std::string("BAUDRATE=fast")));
  EXPECT_TRUE(ReplacedSettings(Variant(odd)).empty());
}

using OpenNoticeTest = HostFixture;

TEST_F(OpenNoticeTest, TheOpenKeepsTheDefaultsAndTellsTheLogAndLastErrorDetailOnce) {
  std::vector<std::string> warnings;
  SetLogSink([&](LogLevel level, const std::string& line) {
    if (level == LogLevel::Warning) warnings.push_back(line);
  });
  auto first = NewClient();
  ASSERT_TRUE(first->OpenSite(
      List({"DESCRIPTION=Line", "OFFLINE=TRUE", "BAUDRATE=fast", "IP2=7", "COMPORT=1"})));
  EXPECT_EQ(first->Site.BaudRate, 38400) << "the design's default stays";
  EXPECT_EQ(first->Site.Parity, 0);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("OpenSite \"Line\": BAUDRATE \"fast\""), std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[0].find("; IP2 \"7\""), std::string::npos) << warnings[0];
  EXPECT_NE(first->LastErrorDetail().find("BAUDRATE \"fast\""), std::string::npos);

  // A second host's open of the same description with other link keys joins the first's link.
  warnings.clear();
  auto second = NewClient();
  ASSERT_TRUE(
      second->OpenSite(List({"DESCRIPTION=LINE", "OFFLINE=TRUE", "COMPORT=2", "BAUDRATE=38400",
                             "BP2=TRUE", "DECODE=TYPED", "TCPUNIT=POINT"})));
  EXPECT_EQ(second->Engine, first->Engine);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(second->LastErrorDetail(),
            "the site is open already and keeps its own link; this open's keys differ: COMPORT 2 "
            "(the site has 1); BP2 TRUE (the site has FALSE); DECODE TYPED (the site has none); "
            "TCPUNIT POINT (the site has FF)");
  // An open that reads cleanly forgets what the object's earlier open replaced.
  warnings.clear();
  ASSERT_TRUE(first->OpenSite(List({"DESCRIPTION=Line", "OFFLINE=TRUE", "COMPORT=1"})));
  EXPECT_EQ(first->LastErrorDetail(), "");
  EXPECT_TRUE(warnings.empty());
  SetLogSink(nullptr);
}

}  // namespace
}  // namespace qmb::test
