// The site window: what it renders from its engine's model and what its controls make the engine
// do.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QtTest/QTest>
#include <deque>
#include <string>

#include "WindowFixture.h"
#include "platform/TextHelpers.h"
#include "support/FakeSlave.h"

namespace qmb::test {
namespace {

using SiteWindowTest = WindowFixture;

std::deque<std::string> LogLines(const QPlainTextEdit* log) {
  std::deque<std::string> lines;
  if (log->document()->isEmpty()) return lines;
  for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next())
    lines.push_back(block.text().toStdString());
  return lines;
}

TEST_F(SiteWindowTest, OneWindowPerEngineGoneWithItsLastClient) {
  auto first = OpenOffline("Plant 1");
  auto other = OpenOffline("Plant 2");
  Pump();
  ASSERT_EQ(SubWindowCount(), 2u);
  EXPECT_EQ(SubOf(first->Engine)->windowTitle(), "Plant 1 (Offline Mode)");
  EXPECT_EQ(SubOf(other->Engine)->windowTitle(), "Plant 2 (Offline Mode)");
  EXPECT_EQ(SiteOf(first->Engine)->windowTitle(), "Plant 1 (Offline Mode)");
  EXPECT_EQ(SiteOf(first->Engine)->size(), QSize(464, 524));

  // A remote host joins the same site: the same window, its count follows the model.
  auto* count = Find<QLabel>(first->Engine, "ClientCountLbl");
  const QString before = count->text();
  auto joining = OpenOffline("Plant 1", /*local=*/false);
  Pump();
  EXPECT_EQ(SubWindowCount(), 2u);
  EXPECT_EQ(count->text().toStdString(), first->Engine->Model.ClientCountLbl);
  EXPECT_NE(count->text(), before);

  QPointer<ui::SiteWindow> site = SiteOf(first->Engine);
  first.reset();
  joining.reset();
  loop.RunFor(200);
  Pump();
  EXPECT_EQ(SubWindowCount(), 1u);
  EXPECT_TRUE(site.isNull()) << "the window is deleted with its engine";
  EXPECT_NE(SubOf(other->Engine), nullptr);
}

TEST_F(SiteWindowTest, BlockCheckBoxLocksTheSiteForHostsUntilUnchecked) {
  auto client = OpenOffline("Plant 1");
  TModBusForm* engine = client->Engine;
  auto* block = Find<QCheckBox>(engine, "BlockChk");
  QTest::mouseClick(block, Qt::LeftButton);
  Pump();
  EXPECT_TRUE(block->isChecked());
  EXPECT_TRUE(engine->Session.Locked());
  EXPECT_TRUE(engine->Session.Busy());
  EXPECT_TRUE(engine->Session.IsBlocked());
  EXPECT_EQ(engine->Session.LockComment(), "being accessed via Debug Mode");
  const Variant reply = client->ExecuteCommand(List({"COMMAND=SITESTATUS"}));
  EXPECT_EQ(Status(reply), "LOCKED");
  loop.RunFor(300);
  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "LOCKED");

  QTest::mouseClick(block, Qt::LeftButton);
  Pump();
  EXPECT_FALSE(block->isChecked());
  EXPECT_FALSE(engine->Session.Locked());
  EXPECT_FALSE(engine->Session.Busy());
  EXPECT_FALSE(engine->Session.IsBlocked());
  EXPECT_EQ(engine->Session.LockComment(), "");
  EXPECT_EQ(engine->Session.CommandOwner(), nullptr);
  EXPECT_EQ(Status(RunToEnd(*client, {"COMMAND=SITESTATUS"})), "TRUE");
}

TEST_F(SiteWindowTest, RawCommandIsUpperCasedAndEnterOrTestListsThePoint) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  auto* edit = Find<QLineEdit>(engine, "CmdEdt");
  auto* log = Find<QPlainTextEdit>(engine, "LogMmo");
  auto* test = Find<QPushButton>(engine, "TestBtn");
  EXPECT_EQ(SiteOf(engine)->focusWidget(), edit) << "the raw command has the focus";

  struct Case {
    const char* typed;
    const char* shown;
    bool viaButton;
    size_t lines;
    const char* firstLine;
  };
  const Case cases[] = {
      {"xyz", "XYZ", false, 1, "***ERROR***"},
      {"1-hreg100", "1-HREG100", false, 7, "IP: "},
      {"1-hReg100", "1-HREG100", true, 7, "IP: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    engine->Model.AddLogLine("previous");
    Pump();
    edit->clear();
    QTest::keyClicks(edit, QString::fromLatin1(c.typed));
    EXPECT_EQ(edit->text(), c.shown);
    if (c.viaButton)
      QTest::mouseClick(test, Qt::LeftButton);
    else
      QTest::keyClick(edit, Qt::Key_Return);
    Pump();
    EXPECT_EQ(engine->Model.CmdEdt, c.shown);
    ASSERT_EQ(engine->Model.LogMmo.size(), c.lines) << "the log is cleared first";
    EXPECT_EQ(engine->Model.LogMmo.front(), c.firstLine);
    EXPECT_EQ(LogLines(log), engine->Model.LogMmo);
  }
}

TEST_F(SiteWindowTest, LogAppendsNewLinesKeepsTheBoundAndRebuildsWhenCleared) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  auto* log = Find<QPlainTextEdit>(engine, "LogMmo");
  for (size_t i = 0; i < SiteWindowModel::kMaxLogLines; ++i)
    engine->Model.AddLogLine("line " + std::to_string(i));
  Pump();
  EXPECT_EQ(LogLines(log), engine->Model.LogMmo);

  // Full: every new line pushes the oldest out, also when it repeats the last one.
  for (const char* line : {"Data Sent", "Data Sent", "line 4999"}) {
    engine->Model.AddLogLine(line);
    Pump();
    EXPECT_EQ(LogLines(log), engine->Model.LogMmo) << line;
  }
  for (int i = 0; i < 3; ++i) engine->Model.AddLogLine("burst " + std::to_string(i));
  Pump();
  EXPECT_EQ(LogLines(log), engine->Model.LogMmo);
  EXPECT_EQ(LogLines(log).front(), "line 6");

  engine->Model.ClearLog();
  engine->Model.AddLogLine("after clear");
  Pump();
  EXPECT_EQ(LogLines(log), std::deque<std::string>{"after clear"});
}

// A site polled while no window was open logs each reply; the window opened afterwards shows
// them as it would have shown them live.
TEST_F(SiteWindowTest, AWindowOpenedAfterPollingShowsEveryReplyLogged) {
  window.reset();
  auto client = NewClient();
  ASSERT_TRUE(client->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=10.0.0.5"})));
  RunToEnd(*client, {"COMMAND=COMMANDSTATUS"});
  TModBusForm* engine = client->Engine;
  FakeTcpClient* tcp = tcpClients.Created.back();
  FakeSlave slave(loop, *tcp);
  slave.Holding[0] = 0x12AB;
  client->ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST", "POINT0={a}{HREG1}"}));
  loop.RunFor(20000);
  ASSERT_GT(tcp->Sent.size(), 5u);

  std::deque<std::string> expected{"Connected: Connected to 10.0.0.5", "RTS=TRUE"};
  for (const std::string& request : tcp->Sent) {
    // The slave's answer: the request's transaction id and unit, 2 data bytes, the register.
    const std::string reply =
        request.substr(0, 4) + std::string("\x00\x05", 2) + request[6] + "\x03\x02\x12\xAB";
    expected.push_back("Data In: " + BytesToBracketHex(reply));
  }
  window = std::make_unique<ui::MainWindow>(main, [] { return false; });
  window->show();
  Pump();
  EXPECT_EQ(LogLines(Find<QPlainTextEdit>(engine, "LogMmo")), expected);
  EXPECT_EQ(engine->Model.LogMmo, expected);
}

TEST_F(SiteWindowTest, PortPanelAndLightsOfAModbusTcpSite) {
  auto client = NewClient();
  ASSERT_TRUE(client->OpenSite(
      List({"DESCRIPTION=Tcp plant", "BP3=TRUE", "SP3=127.0.0.1:1502", "LOCALCLIENT=TRUE"})));
  RunToEnd(*client, {"COMMAND=COMMANDSTATUS"});
  TModBusForm* engine = client->Engine;
  ASSERT_NE(engine, nullptr);
  Pump();
  const std::pair<const char*, const char*> values[] = {{"ProtocolLbl", "TCP"},
                                                        {"PortLbl", "n/a"},
                                                        {"BaudLbl", "n/a"},
                                                        {"ParityLbl", "n/a"},
                                                        {"StopBitsLbl", "n/a"}};
  for (const auto& [name, value] : values) {
    auto* label = Find<QLabel>(engine, name);
    EXPECT_EQ(label->text(), value) << name;
    EXPECT_TRUE(label->font().bold()) << name;
  }

  const char* lights[] = {"RxLight", "TxLight", "CDLight", "CSLight", "DSLight"};
  LightModel* models[] = {&engine->Model.RxLight, &engine->Model.TxLight, &engine->Model.CDLight,
                          &engine->Model.CSLight, &engine->Model.DSLight};
  for (LightModel* model : models) model->lit = false;
  engine->Model.Changed();
  Pump();
  for (size_t i = 0; i < std::size(lights); ++i) {
    SCOPED_TRACE(lights[i]);
    auto* light = Find<QFrame>(engine, lights[i]);
    EXPECT_EQ(light->palette().color(QPalette::Window), QColor(0x80, 0, 0));
    models[i]->lit = true;
    engine->Model.Changed();
    Pump();
    EXPECT_EQ(light->palette().color(QPalette::Window), QColor(0xFF, 0, 0));
    models[i]->lit = false;
    engine->Model.Changed();
    Pump();
    EXPECT_EQ(light->palette().color(QPalette::Window), QColor(0x80, 0, 0));
  }
}

TEST_F(SiteWindowTest, ResponseFunctionCaptionTurnsRedForAnError) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  auto* caption = Find<QLabel>(engine, "ReplyFuncLabelLbl");
  const QColor normal = caption->palette().color(QPalette::WindowText);
  engine->Model.ReplyFuncLabelLbl = "Error:";
  engine->Model.ReplyFuncLabelIsError = true;
  engine->Model.Changed();
  Pump();
  EXPECT_EQ(caption->text(), "Error:");
  EXPECT_EQ(caption->palette().color(QPalette::WindowText), QColor(Qt::red));
  engine->Model.ReplyFuncLabelLbl = "Function:";
  engine->Model.ReplyFuncLabelIsError = false;
  engine->Model.Changed();
  Pump();
  EXPECT_EQ(caption->palette().color(QPalette::WindowText), normal);
}

TEST_F(SiteWindowTest, TestConnectionSendsTheStateOfTheCheckBox) {
  main.SetTestAddress("127.0.0.1:1502");
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  QTest::mouseClick(Find<QPushButton>(engine, "ConnectBtn"), Qt::LeftButton);
  FakeTcpClient& tcp = *tcpClients.Created.back();
  ASSERT_FALSE(tcp.ConnectTargets.empty());
  EXPECT_EQ(tcp.ConnectTargets.back(), std::make_pair(std::string("127.0.0.1"), uint16_t{1502}));
  loop.RunFor(50);

  auto* state = Find<QCheckBox>(engine, "StateChk");
  struct Case {
    bool checked;
    const char* button;
  };
  for (const Case& c : {Case{true, "TCPSendBtn"}, Case{false, "RawSendBtn"}}) {
    SCOPED_TRACE(c.button);
    if (state->isChecked() != c.checked) QTest::mouseClick(state, Qt::LeftButton);
    EXPECT_EQ(engine->Model.StateChk, c.checked);
    const size_t sent = tcp.Sent.size();
    QTest::mouseClick(Find<QPushButton>(engine, c.button), Qt::LeftButton);
    Pump();
    ASSERT_EQ(tcp.Sent.size(), sent + 1);
    const std::string expected = std::string("\xAA\x55\x00\x00\x00\x06\xFF\x05\x00\x00", 10) +
                                 std::string(1, c.checked ? '\xFF' : '\0') + std::string(1, '\0');
    EXPECT_EQ(tcp.Sent.back(), expected);
    EXPECT_EQ(LogLines(Find<QPlainTextEdit>(engine, "LogMmo")).back(), "Data Sent");
  }
  QTest::mouseClick(Find<QPushButton>(engine, "DisconnectBtn"), Qt::LeftButton);
  EXPECT_EQ(tcp.Disconnects, 1);
  EXPECT_TRUE(warnings.isEmpty());
}

TEST_F(SiteWindowTest, ConnectedSiteRefusesToCloseAFailedOneGoes) {
  auto connected = OpenOffline("Plant 1");
  auto failed = NewClient();
  failed->OpenSite(List({"DESCRIPTION=Dead", "COMPORT=7"}));
  ASSERT_NE(failed->Engine, nullptr);
  ASSERT_EQ(Status(RunToEnd(*failed, {"COMMAND=COMMANDSTATUS"})), "FALSE");
  Pump();
  ASSERT_EQ(SubWindowCount(), 2u);

  EXPECT_FALSE(SubOf(connected->Engine)->close());
  loop.RunFor(200);
  Pump();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages.front(), QString::fromLatin1(TModBusForm::kCloseRefused));
  EXPECT_EQ(messages.front().split('\n').size(), 2);
  EXPECT_NE(SubOf(connected->Engine), nullptr);
  EXPECT_EQ(main.ChildCount(), 2u);

  SubOf(failed->Engine)->close();
  loop.RunFor(100);
  Pump();
  EXPECT_EQ(failed->Engine, nullptr);
  EXPECT_EQ(SubWindowCount(), 1u);
  EXPECT_EQ(main.ChildCount(), 1u);
  EXPECT_EQ(messages.size(), 1) << "no refusal for the site that was not connected";
}

TEST_F(SiteWindowTest, ControlsAreNamedAndDescribedForAssistiveTools) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  struct Case {
    const char* object;
    const char* name;
    const char* description;
  };
  const Case cases[] = {
      {"BlockChk", "Block", "Temporarily Block Clients Access to Site"},
      {"ClientCountLbl", "Clients", "The Number of Clients Connected to this Site"},
      {"RxLight", "Rx", "Flashes when Data is Received"},
      {"DSLight", "DSR", "Shows the State of the \"Data Set Ready\" Line"},
      {"TimePnl", "Time",
       "Displays the Current Time of Day of this Local Computer or the Qor Panel if "
       "Connected"},
      {"CmdAddLbl", "Command Address", ""},
      {"ReplyAddLbl", "Response Address", ""},
      {"CmdEdt", "Raw Command", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.object);
    auto* widget = Find<QWidget>(engine, c.object);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->accessibleName(), c.name);
    EXPECT_EQ(widget->accessibleDescription(), c.description);
    EXPECT_EQ(widget->toolTip(), c.description);
  }
}

}  // namespace
}  // namespace qmb::test
