// The command session: one command at a time, its owner, the result hold, the site lock, the
// window block and the time panel, counted in process ticks.
#include <gtest/gtest.h>

#include "platform/DateTime.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class CommandSessionTest : public HostFixture {
 protected:
  CommandSessionTest() {
    a = OpenOffline("Plant 1");
    b = OpenOffline("Plant 1");
    engine = a->Engine;
  }
  CommandSession& session() { return engine->Session; }
  // Ticks the engine by hand, without the timers, for exact counts.
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) engine->ProcessTick();
  }
  // Runs a command of client c to its end the way a handler does, leaving it uncollected.
  void CompleteCommand(const EngineClient* c, const Variant& result = Variant(std::string())) {
    ASSERT_TRUE(session().AcceptCommand(c, kSiteTime, List({"COMMAND=SITETIME"})));
    session().SetResult(result);
    session().EndCommand(kStateDone);
  }

  std::unique_ptr<TQorModBusCom> a, b;
  TModBusForm* engine = nullptr;
};

TEST_F(CommandSessionTest, AcceptedCommandShowsItsTextUntilTheNextTick) {
  const std::pair<const char*, const char*> kTexts[] = {
      {"SITETIME", "Reading Site Time..."},
      {"SITESTATUS", "Reading Site Status..."},
      {"POINTVERIFY", "Verifying Point Address..."},
      {"GETDATA", "Reading Data..."},
      {"SENDDATA", "Writing Data..."},
      {"SENDPOINTSLIST", "Writing Data..."},
      {"GETPOINTSLIST", "Reading Data..."},
      {"POINTMODIFY", "Modifying Point..."},
      {"POINTGETDISABLED", "Reading Point State..."},
      {"POINTGETVALUE", "Reading Point Value..."},
      {"GETALARMS", "Reading Data..."}};
  for (const auto& [command, text] : kTexts) {
    SCOPED_TRACE(command);
    const Variant reply = a->ExecuteCommand(List({std::string("COMMAND=") + command}));
    EXPECT_EQ(Element(reply, 0), std::string("COMMANDSTATUS=") + text);
    EXPECT_EQ(session().CommandState(), kStateWorking);
    EXPECT_TRUE(session().Busy());
    EXPECT_EQ(engine->Model.MessagePnl, text);
    EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), text);
    Ticks(1);
    EXPECT_FALSE(session().Busy()) << "every host command ends within its tick";
    const std::string final = Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})));
    EXPECT_TRUE(final == "TRUE" || final == "FALSE") << final;
    EXPECT_EQ(session().CommandOwner(), nullptr);
  }
}

TEST_F(CommandSessionTest, OneCommandAtATime) {
  a->ExecuteCommand(List({"COMMAND=SITETIME"}));
  // The owner's second command is dropped; the other client waits.
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=SITESTATUS"}))), "Waiting for driver...");
  EXPECT_EQ(session().CommandCode(), static_cast<uint32_t>(kSiteTime));
  EXPECT_EQ(Status(b->ExecuteCommand(List({"COMMAND=SITESTATUS"}))), "Waiting for driver...");
  EXPECT_EQ(engine->CommandStatus(b.get()), kStateOtherClient);
  // Still the other client's result until collected, and -1 for everybody else.
  CompleteCommand(a.get());
  EXPECT_EQ(engine->CommandStatus(b.get()), kStateOtherClient);
  EXPECT_EQ(engine->CommandStatus(a.get()), kStateDone);
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  EXPECT_EQ(engine->CommandStatus(b.get()), kStateIdle);
  // A status poll with nothing running, and unknown commands, start nothing.
  EXPECT_EQ(Status(b->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "FALSE");
  EXPECT_EQ(Status(b->ExecuteCommand(List({"COMMAND=sitetime"}))), "FALSE");
  EXPECT_EQ(Status(b->ExecuteCommand(List({"DESCRIPTION=x"}))), "FALSE");
  EXPECT_EQ(session().CommandOwner(), nullptr);
}

TEST_F(CommandSessionTest, UncollectedResultIsReleasedExactly150TicksAfterTheEnd) {
  CompleteCommand(a.get());
  Ticks(149);
  EXPECT_EQ(session().CommandOwner(), a.get());
  EXPECT_EQ(engine->CommandStatus(a.get()), kStateDone);
  Ticks(1);
  EXPECT_EQ(session().CommandOwner(), nullptr);
  EXPECT_EQ(engine->CommandStatus(a.get()), kStateIdle);
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "FALSE");
}

TEST_F(CommandSessionTest, LockRefusesOthersAndExpiresUnlessRenewed) {
  ASSERT_TRUE(session().AcceptCommand(a.get(), kGetData, List({"LOCKCOMMENT=maintenance"})));
  ASSERT_TRUE(session().LockClient());
  session().EndCommand(kStateDone);
  EXPECT_EQ(session().LockOwner(), a.get());
  EXPECT_EQ(session().LockComment(), "maintenance");
  EXPECT_FALSE(session().LockClient()) << "a second lock must not replace the first";
  EXPECT_EQ(session().LockOwner(), a.get());

  const Variant refused = b->ExecuteCommand(List({"COMMAND=SITETIME"}));
  EXPECT_EQ(Element(refused, 0), "COMMANDSTATUS=LOCKED");
  EXPECT_EQ(Element(refused, 1), "COMMANDERROR=maintenance");
  EXPECT_EQ(engine->CommandStatus(b.get()), kStateLocked);
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");

  // Each command the owner completes restarts the 300 ticks.
  Ticks(200);
  CompleteCommand(a.get());
  a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  Ticks(299);
  EXPECT_TRUE(session().Locked());
  Ticks(1);
  EXPECT_FALSE(session().Locked());
  EXPECT_EQ(session().LockOwner(), nullptr);
  EXPECT_EQ(Status(b->ExecuteCommand(List({"COMMAND=SITETIME"}))), "Reading Site Time...");
}

TEST_F(CommandSessionTest, LockWithoutCommentNamesTheComputer) {
  ASSERT_TRUE(session().AcceptCommand(a.get(), kGetData, List({"COMMAND=GETDATA"})));
  ASSERT_TRUE(session().LockClient());
  const Variant refused = b->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  EXPECT_EQ(Element(refused, 0), "COMMANDSTATUS=LOCKED");
  EXPECT_EQ(Element(refused, 1), "locked to one computer");
}

TEST_F(CommandSessionTest, WindowBlockLocksEverybodyOutUntilCleared) {
  CompleteCommand(a.get());
  engine->BlockChkClick(true);
  EXPECT_TRUE(engine->Model.BlockChk);
  EXPECT_EQ(Element(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})), 1),
            "COMMANDERROR=being accessed via Debug Mode");
  EXPECT_FALSE(session().UnlockClient());
  EXPECT_FALSE(a->OpenSite(List({"DESCRIPTION=Plant 1", "OFFLINE=TRUE"})));
  EXPECT_FALSE(b->CloseSite(List({})));
  Ticks(400);  // neither the result hold nor lock expiry may lift a block
  EXPECT_TRUE(session().Locked());
  EXPECT_TRUE(session().IsBlocked());
  EXPECT_EQ(engine->Model.TimePnl, "Local Time: 09:30:00 am");

  engine->BlockChkClick(false);
  EXPECT_FALSE(engine->Model.BlockChk);
  EXPECT_FALSE(session().Locked());
  EXPECT_FALSE(session().Busy());
  EXPECT_EQ(session().LockComment(), "");
  EXPECT_EQ(session().CommandOwner(), nullptr);
  EXPECT_EQ(Status(b->ExecuteCommand(List({"COMMAND=SITETIME"}))), "Reading Site Time...");
}

TEST_F(CommandSessionTest, ClientsAttachOnceAndLeaveNothingBehind) {
  engine->AttachClient(a.get(), "Plant 1");
  EXPECT_EQ(session().Clients().size(), 2u);

  // A client that goes away with an unstarted command and the lock leaves neither behind.
  ASSERT_TRUE(session().AcceptCommand(b.get(), kGetData, List({"COMMAND=GETDATA"})));
  ASSERT_TRUE(session().LockClient());
  session().SetCommand(kSiteTime);  // its next command is queued, not yet run
  b.reset();
  EXPECT_EQ(session().CommandOwner(), nullptr);
  EXPECT_EQ(session().CommandCode(), 0u);
  EXPECT_FALSE(session().Busy());
  EXPECT_FALSE(session().Locked());
  EXPECT_EQ(session().LockOwner(), nullptr);
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=SITETIME"}))), "Reading Site Time...");
}

TEST_F(CommandSessionTest, TimePanelShowsLocalOrSiteTimeEveryTenTicks) {
  loop.SetLocalBase(EncodeDateTime({2026, 12, 7, 12, 0, 5, 0}));
  Ticks(9);
  EXPECT_EQ(engine->Model.TimePnl, "Local Time:");
  Ticks(1);
  EXPECT_EQ(engine->Model.TimePnl, "Local Time: 12:00:05 pm");
  session().LogOn();
  loop.SetLocalBase(EncodeDateTime({2026, 12, 7, 0, 7, 9, 0}));
  Ticks(9);
  EXPECT_EQ(engine->Model.TimePnl, "Local Time: 12:00:05 pm");
  Ticks(1);
  EXPECT_EQ(engine->Model.TimePnl, "Site Time: 12:07:09 am");
}

TEST_F(CommandSessionTest, UnsupportedCommandsFailPlainly) {
  for (const char* command : {"COMMAND=SENDDATA", "COMMAND=POINTGETDISABLED"}) {
    const Variant reply = RunToEnd(*a, {command});
    EXPECT_EQ(Element(reply, 0), "COMMANDSTATUS=FALSE");
    EXPECT_EQ(Element(reply, 1), "COMMANDERROR=Command not supported");
    EXPECT_FALSE(session().Busy());
  }
}

}  // namespace
}  // namespace qmb::test
