// Typed points kept fresh, in virtual time: the tick-paced poll and the fast scan read every
// register a typed value spans on a site opened with DECODE=TYPED, and GETPOINTSLIST reports the
// value by its type; without the key every read and value is one unsigned register as before.
#include <gtest/gtest.h>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

std::string Read(int unit, int wire, int quantity) {
  return HexOf(std::string{static_cast<char>(unit), 3, 0, static_cast<char>(wire), 0,
                           static_cast<char>(quantity)});
}

struct TypedCase {
  LinkKind link;
  bool fast;   // POLLMODE=FAST
  bool typed;  // DECODE=TYPED
};

void PrintTo(const TypedCase& c, std::ostream* os) {
  *os << LinkName(c.link) << (c.fast ? " fast" : " polled") << (c.typed ? " typed" : " plain");
}

class TypedPointsTest : public SiteFixture, public ::testing::WithParamInterface<TypedCase> {
 protected:
  void SetUp() override {
    if (GetParam().fast) siteKeys.push_back("POLLMODE=FAST");
    if (GetParam().typed) siteKeys.push_back("DECODE=TYPED");
    Open(GetParam().link);
    // 1.5 as a FLOAT, -2 as a DINT, "Online" as six characters, then a plain register.
    slave->Holding = {{0, 0x3FC0}, {1, 0},      {2, 0xFFFF}, {3, 0xFFFE},
                      {4, 0x4F6E}, {5, 0x6C69}, {6, 0x6E65}, {7, 7}};
  }
  int Unit() const { return GetParam().link == LinkKind::TCP ? 0xFF : 1; }
  // The values GETPOINTSLIST reports, past its three leading elements.
  std::vector<std::string> Listed() {
    const std::vector<std::string> elements = Texts(Run({"COMMAND=GETPOINTSLIST"}));
    return std::vector<std::string>(elements.begin() + 3, elements.end());
  }
};

INSTANTIATE_TEST_SUITE_P(
    Readers, TypedPointsTest,
    ::testing::Values(TypedCase{LinkKind::ASCII, false, true},
                      TypedCase{LinkKind::RTU, false, true}, TypedCase{LinkKind::TCP, false, true},
                      TypedCase{LinkKind::ASCII, true, true}, TypedCase{LinkKind::RTU, true, true},
                      TypedCase{LinkKind::TCP, true, true}, TypedCase{LinkKind::RTU, false, false},
                      TypedCase{LinkKind::TCP, true, false}),
    [](const auto& info) {
      return std::string(LinkName(info.param.link)) + (info.param.fast ? "Fast" : "Polled") +
             (info.param.typed ? "Typed" : "Plain");
    });

TEST_P(TypedPointsTest, EveryRegisterOfAValueIsReadAndListedByItsType) {
  const std::vector<std::string> keys{"1-HREG1,0,32,FLOAT", "1-HREG2", "1-HREG3,0,32,DINT",
                                      "1-HREG5,0,48,STRING", "1-HREG8"};
  std::vector<std::string> entries;
  for (const std::string& key : keys) entries.push_back("{" + key + "}{" + key + "}");
  SendPoints(entries);
  ASSERT_TRUE(RunUntil([&] {
    return std::all_of(keys.begin(), keys.end(),
                       [&](const auto& key) { return Point(key).HasValue; });
  }));

  const int u = Unit();
  const TypedCase c = GetParam();
  // The scan reads the eight registers in one block either way; the poll one point at a time,
  // a typed value's registers in one request.
  const std::vector<std::string> cycle =
      c.fast    ? std::vector<std::string>{Read(u, 0, 8)}
      : c.typed ? std::vector<std::string>{Read(u, 0, 2), Read(u, 1, 1), Read(u, 2, 2),
                                           Read(u, 4, 3), Read(u, 7, 1)}
                : std::vector<std::string>{Read(u, 0, 1), Read(u, 1, 1), Read(u, 2, 1),
                                           Read(u, 4, 1), Read(u, 7, 1)};
  const std::vector<std::string> requests = Requests();
  ASSERT_GE(requests.size(), cycle.size());
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + cycle.size()), cycle);

  // A string that reads "Online" stays a string, not a switch turned on.
  const std::vector<std::string> values =
      c.typed ? std::vector<std::string>{"1.5", "0", "-2", "Online", "7"}
              : std::vector<std::string>{"16320", "0", "65535", "20334", "7"};
  std::vector<std::string> expected;
  for (size_t i = 0; i < keys.size(); ++i)
    expected.push_back("POINT" + std::to_string(i) + "={" + keys[i] + "}{VALUE=" + values[i] + "}");
  EXPECT_EQ(Listed(), expected);
}

TEST_F(SiteFixture, ScanBlockRefusedIsReadPointByPointKeepingATypedValuesRegisters) {
  siteKeys = {"POLLMODE=FAST", "DECODE=TYPED"};
  OpenTcp();
  slave->StrictAddresses = true;  // wire addresses 2 to 4 do not exist
  slave->Holding = {{0, 0x4049}, {1, 0x0FDB}, {5, 5}};
  SendPoints({"{a}{HREG1,0,32,FLOAT}", "{b}{HREG6}"});
  ASSERT_TRUE(RunUntil([&] { return FrameCount() >= 5; }));
  EXPECT_EQ(Requests(),
            (std::vector<std::string>{Read(0xFF, 0, 6), Read(0xFF, 0, 2), Read(0xFF, 5, 1),
                                      Read(0xFF, 0, 2), Read(0xFF, 5, 1)}));
  EXPECT_EQ(Point("HREG1,0,32,FLOAT").Value, "3.1415927");
  EXPECT_EQ(Point("HREG6").Value, "5");
  EXPECT_EQ(Point("HREG1,0,32,FLOAT").FailureCount, 0);
}

}  // namespace
}  // namespace qmb::test
