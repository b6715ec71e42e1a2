// Point lists and the point table: what a client's list collects, how the lists of all clients
// merge (first kept, keys without regard to case, values and failures kept across rebuilds),
// and the GETPOINTSLIST, POINTVERIFY and SENDPOINTSLIST answers.
#include <gtest/gtest.h>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class PointTableTest : public SiteFixture {
 protected:
  PointTableTest() {
    a = OpenOffline("Desk");
    b = OpenOffline("Desk");
    engine = a->Engine;
  }
  // Stores a value as polling would (which an offline site never does).
  void Store(const std::string& key, const std::string& value, int failures = 0) {
    engine->Points.TakePointsChanged();
    engine->Points.SetPointValue(engine->Points.IndexOf(key), value);
    Point(key).FailureCount = failures;
  }
  Variant Immediate(TQorModBusCom& c, const std::vector<std::string>& entries) {
    return c.ExecuteImmediate(Variant(SafeArray::OfTexts(PointParams(entries))));
  }
  std::vector<std::string> Data(const Variant& reply) {
    const std::vector<std::string> all = Texts(reply);
    return std::vector<std::string>(all.begin() + 3, all.end());
  }

  std::unique_ptr<TQorModBusCom> a, b;
};

TEST_F(PointTableTest, ClientListStopsAtTheFirstMissingOrEmptyKey) {
  EXPECT_EQ(Status(Run({"COMMAND=SENDPOINTSLIST", "POINT0={p}{1-HREG1}", "POINT1={q}{1-HREG2}",
                        "POINT3={r}{1-HREG3}"},
                       a.get())),
            "TRUE");
  EXPECT_EQ(a->PointsList, (std::vector<std::string>{"{p}{1-HREG1}", "{q}{1-HREG2}"}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1", "1-HREG2"}));

  SendPoints({"{p}{1-HREG7}", "", "{r}{1-HREG8}"}, a.get());
  EXPECT_EQ(a->PointsList, (std::vector<std::string>{"{p}{1-HREG7}"}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG7"}));

  // Entries without a key stay in the client's list but add nothing to the table.
  SendPoints({"1-HREG1", "{p}", "{p}{}", "{p}{1-HREG4}{extra}", "{}{1-OUT2}", "{q} {1-IN3}"},
             a.get());
  EXPECT_EQ(a->PointsList.size(), 6u);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG4", "1-OUT2", "1-IN3"}));
  EXPECT_TRUE(engine->Points.PointsChanged());
}

TEST_F(PointTableTest, ListsOfAllClientsMergeFirstComeFirstKept) {
  SendPoints({"{a}{1-HREG1}", "{a}{1-HREG2}"}, a.get());
  SendPoints({"{b}{1-hreg2}", "{b}{1-HREG3}", "{b}{1-HREG1}"}, b.get());
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1", "1-HREG2", "1-HREG3"}));

  // Values, and failure counts, survive rebuilds for keys that remain, whoever lists them.
  Store("1-HREG2", "20", 2);
  Store("1-HREG3", "30");
  SendPoints({"{a}{1-HREG9}"}, a.get());
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG9", "1-hreg2", "1-HREG3", "1-HREG1"}));
  EXPECT_EQ(Point("1-HREG2").Value, "20");
  EXPECT_TRUE(Point("1-HREG2").HasValue);
  EXPECT_EQ(Point("1-HREG2").FailureCount, 2);
  EXPECT_EQ(Point("1-HREG3").Value, "30");
  EXPECT_FALSE(Point("1-HREG9").HasValue);
  // Reported at once, before anything polled them again.
  EXPECT_EQ(Data(Run({"COMMAND=GETPOINTSLIST"}, a.get())),
            (std::vector<std::string>{"POINT0={1-hreg2}{VALUE=20}", "POINT1={1-HREG3}{VALUE=30}"}));

  // A client that leaves keeps its points in the table until the next rebuild.
  b.reset();
  EXPECT_EQ(Keys().size(), 4u);
  SendPoints({"{a}{1-HREG9}", "{a}{1-HREG3}"}, a.get());
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG9", "1-HREG3"}));
  EXPECT_EQ(Point("1-HREG3").Value, "30");
  // A key that dropped out and comes back starts afresh.
  SendPoints({"{a}{1-HREG2}"}, a.get());
  EXPECT_FALSE(Point("1-HREG2").HasValue);
  EXPECT_EQ(Point("1-HREG2").FailureCount, 0);
}

TEST_F(PointTableTest, SetPointValueWaitsForTheRestartAfterARebuild) {
  SendPoints({"{a}{1-OUT1}", "{a}{1-OUT2}"}, a.get());
  ASSERT_TRUE(engine->Points.PointsChanged());
  engine->Points.SetPointValue(0, "ON");
  EXPECT_FALSE(Point("1-OUT1").HasValue) << "positions taken before a rebuild are stale";
  engine->Points.TakePointsChanged();
  engine->Points.SetPointValue(0, "on");
  engine->Points.SetPointValue(1, "Off");
  engine->Points.SetPointValue(2, "1");
  EXPECT_EQ(Point("1-OUT1").Value, "TRUE");
  EXPECT_EQ(Point("1-OUT2").Value, "FALSE");
  EXPECT_TRUE(Point("1-OUT2").Polled);
}

// The read bookkeeping the poller and the fast scan share: three failed reads in a row drop a
// point, which is then read once every 30 s; a value read, or a rebuilt table, brings it back.
TEST_F(PointTableTest, FailedReadsDropAPointUntilItsRetryIsDue) {
  SendPoints({"{a}{1-HREG1}"}, a.get());
  engine->Points.TakePointsChanged();
  PointTable& table = engine->Points;
  struct Step {
    const char* what;
    int64_t now;
    bool fails;     // a failed read at `now` (else only asks whether the point is due)
    bool dropped;   // what CountFailedRead says
    bool dueAfter;  // DueForRead at `now` afterwards
  };
  const Step steps[] = {
      {"first failure", 0, true, false, true},
      {"second failure", 1, true, false, true},
      {"third failure drops it", 2, true, true, false},
      {"not due before 30 s", 301, false, false, false},
      {"due at 30 s", 302, false, false, true},
      {"a failed retry is no new drop", 302, true, false, false},
      {"due again 30 s later", 602, false, false, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.fails) {
      EXPECT_EQ(table.CountFailedRead(0, step.now), step.dropped);
    }
    EXPECT_EQ(table.DueForRead(0, step.now), step.dueAfter);
  }
  SendPoints({"{a}{1-HREG1}", "{b}{1-HREG2}"}, a.get());
  EXPECT_EQ(Point("1-HREG1").FailureCount, 4) << "the count survives a rebuild";
  EXPECT_TRUE(table.DueForRead(0, 603)) << "the retry time does not";
  table.TakePointsChanged();
  table.SetPointValue(0, "7");
  EXPECT_EQ(Point("1-HREG1").FailureCount, 0);
}

TEST_F(PointTableTest, GetPointsListLayout) {
  const Variant empty = Run({"COMMAND=GETPOINTSLIST"}, a.get());
  EXPECT_EQ(Texts(empty),
            (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""}));
  EXPECT_EQ(engine->Session.CommandResult().AsArray().UpperBound(), -1) << "an empty array";

  SendPoints({"{Pump}{1-HREG100}", "{x}{1-OUT1}", "{y}{1-IN2}", "{z}{1-IREG3}"}, a.get());
  EXPECT_EQ(Data(Run({"COMMAND=GETPOINTSLIST"}, a.get())), std::vector<std::string>{})
      << "points without a value are not listed";
  Store("1-HREG100", "1234");
  Store("1-IN2", "ON");
  Store("1-IREG3", "7");
  Point("1-IREG3").HoldUntil = 1.0;
  const Variant list = Run({"COMMAND=GETPOINTSLIST"}, a.get());
  EXPECT_EQ(Data(list), (std::vector<std::string>{"POINT0={1-HREG100}{VALUE=1234}",
                                                  "POINT1={1-IN2}{VALUE=TRUE}"}));
  std::string value;
  ASSERT_TRUE(GetParamStr(list, "POINT0", value));
  EXPECT_EQ(value, "{1-HREG100}{VALUE=1234}");
}

TEST_F(PointTableTest, PointVerifyRendersOrRejectsTheAddress) {
  const Variant ok =
      Run({"COMMAND=POINTVERIFY", "POINTNAME=Pump", "POINTADDRESS=01-hreg0100"}, a.get());
  EXPECT_EQ(Data(ok), (std::vector<std::string>{"POINTNAME=Pump", "POINTADDRESS=1-HREG100", ""}));
  EXPECT_EQ(Data(Run({"COMMAND=POINTVERIFY", "POINTADDRESS=7-hreg5,0,16,word"}, a.get())),
            (std::vector<std::string>{"POINTNAME=", "POINTADDRESS=7-HREG5,0,16,WORD", ""}));

  const char* const kInvalid =
      "Point addresses is invalid. See Help for address format information.";
  for (const char* address : {"POINTADDRESS=1-HREG0", "POINTADDRESS=", "POINTNAME=x"}) {
    SCOPED_TRACE(address);
    const Variant bad = Run({"COMMAND=POINTVERIFY", address}, a.get());
    EXPECT_EQ(Texts(bad), (std::vector<std::string>{"COMMANDSTATUS=FALSE",
                                                    std::string("COMMANDERROR=") + kInvalid}));
    EXPECT_EQ(Texts(engine->Session.CommandResult()),
              (std::vector<std::string>{std::string("ERRORSTRING=") + kInvalid, ""}));
  }
  EXPECT_EQ(Keys().size(), 0u) << "verifying touches no table";

  // On a Modbus/TCP site the slave is not kept and a host is written in brackets.
  OpenTcp();
  EXPECT_EQ(Data(Run({"COMMAND=POINTVERIFY", "POINTADDRESS=hreg40001"}))[1],
            "POINTADDRESS=HREG40001");
  EXPECT_EQ(Data(Run({"COMMAND=POINTVERIFY", "POINTADDRESS=[10.0.0.9]-ireg3"}))[1],
            "POINTADDRESS=[10.0.0.9]-IREG3");
}

TEST_F(PointTableTest, SendPointsListImmediateAndFailedForms) {
  EXPECT_EQ(Texts(Immediate(*a, {"{a}{1-HREG1}", "{a}{1-HREG2}"})),
            (std::vector<std::string>{"COMMANDSTATUS=TRUE", "", ""}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1", "1-HREG2"}));
  EXPECT_EQ(engine->Session.CommandOwner(), nullptr) << "the immediate form needs no session";
  EXPECT_EQ(engine->Session.CommandState(), kStateIdle);

  // An element that cannot be read as text: the list keeps what came before it, the table is
  // not rebuilt.
  engine->Points.TakePointsChanged();
  SafeArray broken = SafeArray::OfTexts({"COMMAND=SENDPOINTSLIST", "POINT0={b}{1-HREG5}"});
  SafeArray params(ElementType::Variant, 0, 3);
  params.Put(0, broken.Get(0));
  params.Put(1, broken.Get(1));
  params.Put(2, Variant::Null());
  params.Put(3, Variant(std::string("POINT1={b}{1-HREG6}")));
  EXPECT_EQ(Status(b->ExecuteImmediate(Variant(params))), "FALSE");
  EXPECT_EQ(b->PointsList, (std::vector<std::string>{"{b}{1-HREG5}"}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1", "1-HREG2"}));
  EXPECT_FALSE(engine->Points.PointsChanged());

  // The command form fails the same way, with no error text.
  const Variant failed = b->ExecuteCommand(Variant(params));
  EXPECT_EQ(Status(failed), "Writing Data...");
  loop.RunFor(100);
  EXPECT_EQ(Texts(b->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1", "1-HREG2"}));
  EXPECT_FALSE(engine->Points.PointsChanged());
  // Other commands go to the command session.
  EXPECT_EQ(Status(a->ExecuteImmediate(List({"COMMAND=SITETIME"}))), "FALSE");
}

TEST_F(PointTableTest, AListPastTheLimitIsRefusedAndTheLastOneKept) {
  SendPoints({"{a}{1-HREG1}"}, a.get());
  const size_t limit = PointTable::kMaxPointsPerList;
  std::vector<std::string> entries(limit + 1, "{p}{1-HREG2}");
  const Variant refused = Run(PointParams(entries), a.get());
  EXPECT_EQ(Texts(refused),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE",
                                      "COMMANDERROR=Point list refused: more than 100000 points "
                                      "(the most one list may hold)"}));
  EXPECT_EQ(Status(Immediate(*a, entries)), "FALSE");
  EXPECT_NE(a->LastErrorDetail().find("more than 100000 points"), std::string::npos);
  EXPECT_EQ(a->PointsList, (std::vector<std::string>{"{a}{1-HREG1}"}));
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG1"}));

  entries.pop_back();
  EXPECT_EQ(Status(Immediate(*a, entries)), "TRUE");
  EXPECT_EQ(a->PointsList.size(), limit);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"1-HREG2"}));
}

}  // namespace
}  // namespace qmb::test
