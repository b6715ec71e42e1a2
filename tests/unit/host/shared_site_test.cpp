// Several hosts on one site: an open or close by one never takes another's command, result or
// lock, and a close arriving while a command runs waits for it instead of overwriting it.
#include <gtest/gtest.h>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class SharedSiteTest : public SiteFixture, public ::testing::WithParamInterface<LinkKind> {
 protected:
  std::unique_ptr<TQorModBusCom> Join() {
    auto other = NewClient();
    EXPECT_TRUE(other->OpenSite(List(
        {GetParam() == LinkKind::TCP ? "DESCRIPTION=Gateway" : "DESCRIPTION=Plant", "COMPORT=1",
         GetParam() == LinkKind::TCP ? "BP3=TRUE" : "BP3=FALSE", "SP3=10.0.0.5"})));
    return other;
  }
  // Replies that take a few ticks: a command is still inside its wait for them a tick later.
  void SlowDown() {
    slave->ReplyDelayMs = 200;
    slave->ByteGapMs = 250;
  }
  static Variant Poll(TQorModBusCom& who) {
    return who.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  }
  static Variant Send(TQorModBusCom& who, std::initializer_list<std::string> command) {
    return who.ExecuteCommand(List(command));
  }
};

TEST_P(SharedSiteTest, AnOpenNeverTakesAnotherClientsCommandOrLock) {
  Open(GetParam());
  slave->Holding[99] = 1234;
  SlowDown();  // the read is still under way when the second host opens
  ASSERT_EQ(Status(Send(*client, {"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG100}"})),
            "Reading Point Value...");
  loop.RunFor(100);

  auto second = Join();
  const Variant opened = Poll(*second);
  EXPECT_EQ(Texts(opened),
            (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", "", ""}))
      << "the open's own outcome, without the other's value";
  EXPECT_EQ(Status(Poll(*second)), "Waiting for driver...") << "the read still runs";

  const Variant read = Run({"COMMAND=COMMANDSTATUS"});
  EXPECT_EQ(Status(read), "TRUE") << Element(read, 1);
  EXPECT_EQ(Element(read, 3), "VALUE=1234");

  // A lock holder keeps its lock when someone opens the site meanwhile.
  ASSERT_EQ(Status(Run({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT", "LOCKCOMMENT=Tuning"})),
            "TRUE");
  auto third = Join();
  EXPECT_EQ(Status(Poll(*third)), "TRUE");
  EXPECT_EQ(Status(Run({"COMMAND=SITETIME"})), "TRUE") << "not locked out by its own lock";
  EXPECT_EQ(Texts(Send(*third, {"COMMAND=SITETIME"})),
            (std::vector<std::string>{"COMMANDSTATUS=LOCKED", "COMMANDERROR=Tuning"}));

  // Leaving the shared site is answered at once, and the lock holder is untouched.
  EXPECT_TRUE(third->CloseSite(List({})));
  EXPECT_EQ(Status(Poll(*third)), "TRUE");
  EXPECT_TRUE(engine->Session.Locked());
  EXPECT_EQ(engine->Session.LockOwner(), client.get());
}

TEST_P(SharedSiteTest, TheLastClientsCloseWaitsForItsRunningCommand) {
  Open(GetParam());
  slave->Holding[99] = 77;
  SlowDown();
  ASSERT_EQ(Status(Send(*client, {"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG100}"})),
            "Reading Point Value...");
  loop.RunFor(100);
  ASSERT_TRUE(client->CloseSite(List({})));

  // The command's own result first, then the disconnect runs and is reported.
  const Variant read = Run({"COMMAND=COMMANDSTATUS"});
  EXPECT_EQ(Element(read, 3), "VALUE=77");
  EXPECT_EQ(Status(Run({"COMMAND=COMMANDSTATUS"})), "TRUE");
  // The close was carried out, not dropped: logged off the line, or the socket closed.
  if (GetParam() == LinkKind::TCP)
    EXPECT_FALSE(tcp->Connected());
  else
    EXPECT_FALSE(engine->Session.LoggedOn());
}

// Hosts told to wait are served in the order they were first told, whoever resends first; one
// that stops asking loses its place.
TEST_F(HostFixture, WaitingHostsAreServedInTheOrderTheyWereRefused) {
  auto holder = OpenOffline("Line");
  auto first = OpenOffline("Line");
  auto second = OpenOffline("Line");
  auto Send = [](TQorModBusCom& who) {
    return Status(who.ExecuteCommand(List({"COMMAND=SITETIME"})));
  };
  ASSERT_EQ(Send(*holder), "Reading Site Time...");
  loop.RunFor(100);  // done; the result waits for its owner
  EXPECT_EQ(Send(*first), "Waiting for driver...");
  EXPECT_EQ(Send(*second), "Waiting for driver...");
  ASSERT_EQ(Status(holder->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");

  EXPECT_EQ(Send(*second), "Waiting for driver...") << "the first in line goes first";
  EXPECT_EQ(Send(*first), "Reading Site Time...");
  EXPECT_EQ(Status(RunToEnd(*first, {"COMMAND=COMMANDSTATUS"})), "TRUE");
  EXPECT_EQ(Send(*second), "Reading Site Time...");
  EXPECT_EQ(Status(RunToEnd(*second, {"COMMAND=COMMANDSTATUS"})), "TRUE");

  // A waiter that gave up is passed over once its patience has run out.
  ASSERT_EQ(Send(*holder), "Reading Site Time...");
  loop.RunFor(100);
  EXPECT_EQ(Send(*first), "Waiting for driver...");
  ASSERT_EQ(Status(holder->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  EXPECT_EQ(Send(*second), "Waiting for driver...");
  loop.RunFor(CommandSession::kWaiterPatienceTicks * 100 + 100);
  EXPECT_EQ(Send(*second), "Reading Site Time...");
}

INSTANTIATE_TEST_SUITE_P(Links, SharedSiteTest, ::testing::Values(LinkKind::RTU, LinkKind::TCP),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

}  // namespace
}  // namespace qmb::test
