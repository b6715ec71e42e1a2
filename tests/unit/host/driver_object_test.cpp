// The driver object as a host sees it: the version check, DEBUGMODE, the open keys with their
// defaults and clamps, the reply layouts and the safety of every operation.
#include <gtest/gtest.h>

#include "support/HostFixture.h"

namespace qmb::test {
namespace {

using DriverObjectTest = HostFixture;

TEST_F(DriverObjectTest, VersionCheckGuardsOpenSite) {
  TQorModBusCom client(main);
  EXPECT_FALSE(client.OpenSite(List({"DESCRIPTION=Plant 1", "OFFLINE=TRUE", "BAUDRATE=9600"})));
  EXPECT_EQ(client.Site.Description, "") << "a refused open must leave the site untouched";
  EXPECT_EQ(client.Site.BaudRate, 0);

  EXPECT_TRUE(client.SetDriverOption(List({"VERSIONCHECK=abc"})));
  EXPECT_FALSE(client.VersionAccepted);
  EXPECT_FALSE(client.SetDriverOption(List({"VERSIONCHECK=1.81"})));
  EXPECT_FALSE(client.VersionAccepted);
  EXPECT_TRUE(client.SetDriverOption(List({"DESCRIPTION=x"})));
  // Both keys: DEBUGMODE alone is handled (and fails with no engine), nothing is accepted.
  EXPECT_FALSE(client.SetDriverOption(List({"DEBUGMODE=TRUE", "VERSIONCHECK=1.8"})));
  EXPECT_FALSE(client.VersionAccepted);

  EXPECT_TRUE(client.SetDriverOption(List({"VERSIONCHECK=1.805"})));
  EXPECT_TRUE(client.VersionAccepted);
  EXPECT_FALSE(client.SetDriverOption(List({"VERSIONCHECK=1.81"})));
  EXPECT_TRUE(client.VersionAccepted) << "a refused check must not undo an acceptance";
  EXPECT_TRUE(client.OpenSite(List({"DESCRIPTION=Plant 1", "OFFLINE=TRUE"})));

  // A number sent as a number (not a text) is read the same way.
  TQorModBusCom numeric(main);
  SafeArray list(ElementType::Variant, 0, 0);
  list.Put(0, Variant(std::string("VERSIONCHECK=1.8")));
  EXPECT_TRUE(numeric.SetDriverOption(Variant(list)));
  EXPECT_TRUE(numeric.VersionAccepted);
}

TEST_F(DriverObjectTest, DebugModeShowsAndHidesTheMainWindow) {
  auto client = OpenOffline("Plant 1");
  int fronts = 0;
  main.OnBringToFront = [&] { ++fronts; };
  EXPECT_TRUE(client->SetDriverOption(List({"DEBUGMODE=FALSE"})));
  EXPECT_FALSE(main.Visible());
  EXPECT_EQ(fronts, 0);
  EXPECT_TRUE(client->SetDriverOption(List({"DEBUGMODE=toggle"})));
  EXPECT_TRUE(main.Visible());
  EXPECT_EQ(fronts, 1);
  EXPECT_TRUE(client->SetDriverOption(List({"DEBUGMODE=YES"})));  // only brings it forward
  EXPECT_TRUE(main.Visible());
  EXPECT_EQ(fronts, 2);
  client->Engine->BlockChkClick(true);
  EXPECT_TRUE(client->SetDriverOption(List({"DEBUGMODE=FALSE"})));
  EXPECT_TRUE(main.Visible()) << "a blocked site window ignores DEBUGMODE";
}

TEST_F(DriverObjectTest, OpenKeysFillTheSiteWithDefaultsAndClamps) {
  auto client = NewClient();
  ASSERT_TRUE(client->OpenSite(List({"DESCRIPTION=Plant 1", "OFFLINE=TRUE"})));
  const TSite& defaults = client->Site;
  EXPECT_EQ(defaults.BaudRate, 38400);
  EXPECT_EQ(defaults.StopBits, 2);
  EXPECT_EQ(defaults.Parity, 0);
  EXPECT_TRUE(defaults.DirectConnect);
  EXPECT_EQ(defaults.PanelTypeIndex, 0);
  EXPECT_EQ(defaults.PanelType, "Qor Panel Series 1");
  EXPECT_EQ(defaults.PanelTypeID, "Series1");
  EXPECT_EQ(defaults.ServerIndex, 0);
  EXPECT_TRUE(defaults.IsRemoteClient);

  auto other = NewClient();
  ASSERT_TRUE(other->OpenSite(
      List({"DESCRIPTION=Plant 2", "OFFLINE=TRUE", "IP1=0", "IP2=5", "CONNECTIONTYPE=modem",
            "BAUDRATE=$2580", "COMPORT=3", "SERVERINDEX=7", "SP1=AT=1", "BP1=TRUE", "BP2=true",
            "LOCALCLIENT=TRUE", "SP3=10.0.0.7"})));
  const TSite& site = other->Site;
  EXPECT_EQ(site.StopBits, 2);
  EXPECT_EQ(site.Parity, 0);
  EXPECT_TRUE(site.DirectConnect) << "only exactly MODEM selects the modem";
  EXPECT_EQ(site.BaudRate, 9600);
  EXPECT_EQ(site.Comport, 3);
  EXPECT_EQ(site.ServerIndex, 7);
  EXPECT_EQ(site.ConnectString, "AT=1");
  EXPECT_TRUE(site.Use485);
  EXPECT_FALSE(site.UseRTU);
  EXPECT_FALSE(site.IsRemoteClient);
  EXPECT_EQ(site.IPAddress, "10.0.0.7");

  auto clamps = NewClient();
  clamps->OpenSite(List({"DESCRIPTION=Plant 3", "OFFLINE=TRUE", "IP1=3", "IP2=2", "IP1=1"}));
  EXPECT_EQ(clamps->Site.StopBits, 2) << "the first IP1 wins";
  EXPECT_EQ(clamps->Site.Parity, 2);

  // Once remote, always remote; a TCP site without a port is never offline.
  auto tcp = NewClient();
  tcp->OpenSite(List({"DESCRIPTION=T1", "BP3=TRUE", "OFFLINE=TRUE", "LOCALCLIENT=FALSE"}));
  tcp->OpenSite(List({"DESCRIPTION=T1", "BP3=TRUE", "OFFLINE=TRUE", "LOCALCLIENT=TRUE"}));
  EXPECT_TRUE(tcp->Site.IsRemoteClient);
  EXPECT_FALSE(tcp->Site.OfflineMode);
  EXPECT_TRUE(tcp->Site.UseTCP);

  auto modem = NewClient();
  modem->OpenSite(List({"DESCRIPTION=M1", "CONNECTIONTYPE=MODEM", "COMPORT=1"}));
  EXPECT_FALSE(modem->Site.DirectConnect);
}

TEST_F(DriverObjectTest, UnknownPanelTypeIsARefusedOpen) {
  auto client = NewClient();
  EXPECT_FALSE(client->OpenSite(List({"DESCRIPTION=Plant 1", "PANELTYPE=4", "OFFLINE=TRUE"})));
  EXPECT_FALSE(client->OpenSite(List({"DESCRIPTION=Plant 1", "PANELTYPE=-1", "OFFLINE=TRUE"})));
  EXPECT_EQ(client->Engine, nullptr);
  EXPECT_EQ(main.ChildCount(), 0u);
  EXPECT_EQ(Element(client->ExecuteCommand(List({"COMMAND=SITETIME"})), 0), "COMMANDSTATUS=FALSE");
}

TEST_F(DriverObjectTest, ADescriptionThatLostCharactersIsARefusedOpen) {
  // "Pump \u4e2d" as the bus brings it: one byte per character, "?" for what has none, and
  // element 0 marked as having lost characters.
  auto client = NewClient();
  EXPECT_FALSE(client->OpenSite(List({"DESCRIPTION=Pump ?", "OFFLINE=TRUE"}), {0}));
  EXPECT_EQ(client->Engine, nullptr);
  EXPECT_EQ(main.ChildCount(), 0u);
  EXPECT_EQ(client->Site.Description, "") << "a refused open must leave the site untouched";
  EXPECT_NE(client->LastErrorDetail().find("above U+00FF"), std::string::npos);

  // The lookup decides which element is the description: a later duplicate, or another key
  // that lost characters, does not refuse the open.
  EXPECT_TRUE(client->OpenSite(
      List({"DEVICETYPE=Model ?", "DESCRIPTION=Pump ?", "DESCRIPTION=Pump ?", "OFFLINE=TRUE"}),
      {0, 2}));
  EXPECT_NE(client->Engine, nullptr);
  EXPECT_EQ(client->LastErrorDetail(), "");
  // A moved client keeps its engine when the move is refused.
  TModBusForm* engine = client->Engine;
  EXPECT_FALSE(client->OpenSite(List({"DESCRIPTION=Pump ??", "OFFLINE=TRUE"}), {0}));
  EXPECT_EQ(client->Engine, engine);
  EXPECT_EQ(client->Site.Description, "Pump ?");
}

TEST_F(DriverObjectTest, ResultReplyCarriesTheDataFromElementThree) {
  auto client = OpenOffline("Plant 1");
  CommandSession& session = client->Engine->Session;

  client->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
  session.SetResult(Variant(SafeArray::OfTexts({"A=1", "B=2", "C=3", "D=4", "E=5"})));
  session.SetErrorText("partial");
  session.EndCommand(kStateDone);
  const Variant five = client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  ASSERT_TRUE(five.IsArray());
  EXPECT_EQ(five.AsArray().ElemType(), ElementType::Variant);
  EXPECT_EQ(five.AsArray().LowerBound(), 0);
  EXPECT_EQ(five.AsArray().UpperBound(), 7);
  EXPECT_EQ(Element(five, 0), "COMMANDSTATUS=TRUE");
  EXPECT_EQ(Element(five, 1), "COMMAND=COMMANDSTATUS");
  EXPECT_EQ(Element(five, 2), "COMMANDERROR=partial");
  EXPECT_EQ(Element(five, 3), "A=1");
  EXPECT_EQ(Element(five, 7), "E=5");

  client->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
  session.SetResult(Variant(std::string("not a list")));
  session.EndCommand(kStateDone);
  const Variant plain = client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  EXPECT_EQ(plain.AsArray().UpperBound(), 3);
  EXPECT_EQ(Element(plain, 2), "");
  EXPECT_EQ(Element(plain, 3), "<empty>");

  // Raw replies are the bytes themselves.
  client->ExecuteCommand(List({"COMMAND=GETDATA"}));
  session.SetResult(Variant(SafeArray::OfBytes(std::string("\x01\x03\x02\x12\x34", 5))));
  session.EndCommand(kStateDone);
  const Variant raw = client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  ASSERT_TRUE(raw.IsByteType());
  EXPECT_EQ(raw.AsArray().Bytes(), std::string("\x01\x03\x02\x12\x34", 5));
  EXPECT_EQ(session.CommandOwner(), nullptr);

  // A failure carries the reason, and releases the session.
  client->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
  session.SetErrorText("Could not read data from panel.");
  session.EndCommand(kStateFailed);
  const Variant failed = client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  EXPECT_EQ(Element(failed, 0), "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Element(failed, 1), "COMMANDERROR=Could not read data from panel.");
  EXPECT_EQ(session.CommandOwner(), nullptr);
}

TEST_F(DriverObjectTest, EveryOperationIsSafe) {
  TQorModBusCom unattached(main);
  const Variant failure = unattached.ExecuteCommand(List({"COMMAND=SITETIME"}));
  ASSERT_EQ(failure.AsArray().UpperBound(), 2);
  EXPECT_EQ(Element(failure, 0), "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Element(failure, 1), "");
  EXPECT_TRUE(unattached.CloseSite(List({})));
  EXPECT_EQ(Element(unattached.ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST"})), 0),
            "COMMANDSTATUS=FALSE");

  // An element with no text form before the key turns into the failure reply, never an escape.
  auto client = OpenOffline("Plant 1");
  SafeArray broken(ElementType::Variant, 0, 1);
  broken.Put(0, Variant::Null());
  broken.Put(1, Variant(std::string("COMMAND=SITETIME")));
  const Variant reply = client->ExecuteCommand(Variant(broken));
  EXPECT_EQ(reply.AsArray().UpperBound(), 2);
  EXPECT_EQ(Element(reply, 0), "COMMANDSTATUS=FALSE");
  EXPECT_FALSE(client->SetDriverOption(Variant(broken)));
  EXPECT_FALSE(client->OpenSite(Variant(broken)));
  EXPECT_EQ(Element(client->ExecuteImmediate(Variant(broken)), 0), "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Element(client->ExecuteImmediate(List({"COMMAND=GETDATA"})), 0), "COMMANDSTATUS=FALSE");
  // A bare text is a one-element list.
  EXPECT_EQ(Status(client->ExecuteCommand(Variant(std::string("COMMAND=SITETIME")))),
            "Reading Site Time...");
}

TEST_F(DriverObjectTest, OpenAndCloseByLinkKind) {
  // TCP: connected at once, the port panel says so; closing runs one disconnect step.
  auto tcp = NewClient();
  ASSERT_TRUE(tcp->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=127.0.0.1"})));
  EXPECT_EQ(Status(tcp->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  EXPECT_TRUE(tcp->Engine->IsConnected());
  EXPECT_EQ(tcp->Engine->Model.ProtocolLbl, "TCP");
  EXPECT_EQ(tcp->Engine->Model.BaudLbl, "n/a");
  EXPECT_EQ(tcp->Engine->Model.Caption, "Gateway");
  ASSERT_TRUE(tcp->CloseSite(List({})));
  EXPECT_EQ(Status(tcp->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "Disconnecting...");
  EXPECT_EQ(Status(RunToEnd(*tcp, {"COMMAND=COMMANDSTATUS"})), "TRUE");

  // Offline: caption suffix, closed at once by the last client, sent nothing.
  auto a = OpenOffline("Offline site");
  auto b = OpenOffline("Offline site");
  EXPECT_EQ(a->Engine->Model.Caption, "Offline site (Offline Mode)");
  EXPECT_TRUE(a->CloseSite(List({})));
  EXPECT_EQ(Status(a->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  EXPECT_TRUE(b->Engine->Flags.Connected) << "the other client still uses the site";
  EXPECT_FALSE(b->Engine->IsConnected()) << "an offline site is never connected to a device";
  b.reset();
  EXPECT_TRUE(a->CloseSite(List({})));
  EXPECT_FALSE(a->Engine->Flags.Connected);

  // Serial and modem sites: the open is taken, the failure comes with the status poll.
  const std::pair<std::vector<std::string>, std::string> kFailures[] = {
      {{"DESCRIPTION=S1", "COMPORT=1"}, "Specified comport is not available or already in use."},
      {{"DESCRIPTION=S2", "COMPORT=1", "CONNECTIONTYPE=MODEM"},
       "Phone number required for modem connection."},
      {{"DESCRIPTION=S3", "CONNECTIONTYPE=MODEM", "PHONENUMBER=5551234"},
       "TAPI Not currently Supported"},
  };
  for (const auto& [open, error] : kFailures) {
    auto serial = NewClient();
    EXPECT_TRUE(serial->OpenSite(Variant(SafeArray::OfTexts(open))));
    const Variant reply = serial->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
    EXPECT_EQ(Element(reply, 0), "COMMANDSTATUS=FALSE");
    EXPECT_EQ(Element(reply, 1), "COMMANDERROR=" + error);
    EXPECT_FALSE(serial->Engine->IsConnected());
  }
}

TEST_F(DriverObjectTest, MovingToAnotherSiteLeavesTheOldEngine) {
  auto client = OpenOffline("Plant 1");
  TModBusForm* first = client->Engine;
  ASSERT_TRUE(client->OpenSite(List({"DESCRIPTION=Plant 2", "OFFLINE=TRUE"})));
  EXPECT_NE(client->Engine, first);
  loop.ProcessPendingEvents();
  EXPECT_EQ(main.ChildCount(), 1u) << "the first engine lost its only client";
  client.reset();
  loop.ProcessPendingEvents();
  EXPECT_EQ(main.ChildCount(), 0u);
}

}  // namespace
}  // namespace qmb::test
