// The site window: what it renders from its engine's model and what its controls make the engine
// do.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
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

// The refusal is a window-modal box that opens without waiting for its answer: the click (or an
// assistive tool's action) that asked for the close returns at once.
TEST_F(SiteWindowTest, RefusalOpensAWindowModalBoxAndReturns) {
  UseMessageBoxes();
  auto connected = OpenOffline("Plant 1");
  Pump();
  EXPECT_FALSE(SubOf(connected->Engine)->close());
  const QList<QMessageBox*> boxes = window->findChildren<QMessageBox*>();
  ASSERT_EQ(boxes.size(), 1);
  QMessageBox* box = boxes.front();
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  EXPECT_EQ(box->windowTitle(), window->windowTitle());
  EXPECT_EQ(box->text(), QString::fromLatin1(TModBusForm::kCloseRefused));
  EXPECT_EQ(box->icon(), QMessageBox::Information);
  Press(box->button(QMessageBox::Ok));
  EXPECT_TRUE(window->findChildren<QMessageBox*>().isEmpty()) << "gone once answered";
  EXPECT_NE(SubOf(connected->Engine), nullptr);
}

TEST_F(SiteWindowTest, ControlsAreNamedAndDescribedForAssistiveTools) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  struct Case {
    const char* object;
    const char* name;  // empty: a value, whose name is what it shows
    const char* description;
  };
  const Case cases[] = {
      {"BlockChk", "Block", "Temporarily Block Clients Access to Site"},
      {"ClientCountLbl", "", "The Number of Clients Connected to this Site"},
      {"RxLight", "Rx", "Flashes when Data is Received"},
      {"DSLight", "DSR", "Shows the State of the \"Data Set Ready\" Line"},
      {"TimePnl", "",
       "Displays the Current Time of Day of this Local Computer or the Qor Panel if "
       "Connected"},
      {"CmdAddLbl", "", ""},
      {"ReplyAddLbl", "", ""},
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

// What a screen reader reads: each value label's name is the value it shows, and the caption
// tied to it says what the value is.
TEST_F(SiteWindowTest, EveryValueIsReadThroughAccessibilityWithItsCaption) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  SiteWindowModel& m = engine->Model;
  struct Case {
    const char* object;
    std::string SiteWindowModel::*field;
    const char* value;
    const char* caption;  // empty: none of its own
  };
  const Case cases[] = {
      {"ClientCountLbl", &SiteWindowModel::ClientCountLbl, "2", "Clients: "},
      {"CmdAddLbl", &SiteWindowModel::CmdAddLbl, "17", "Address:"},
      {"CmdFuncLbl", &SiteWindowModel::CmdFuncLbl, "3 (Read Holding Registers)", "Function:"},
      {"CmdDataLbl", &SiteWindowModel::CmdDataLbl, "[00] [0A]", "Data:"},
      {"ReplyAddLbl", &SiteWindowModel::ReplyAddLbl, "18", "Address:"},
      {"ReplyFuncLabelLbl", &SiteWindowModel::ReplyFuncLabelLbl, "Error:", ""},
      {"ReplyFuncLbl", &SiteWindowModel::ReplyFuncLbl, "2 (Illegal Data Address)", "Error:"},
      {"ReplyDataLbl", &SiteWindowModel::ReplyDataLbl, "[02]", "Data:"},
      {"ProtocolLbl", &SiteWindowModel::ProtocolLbl, "TCP", "Protocol:"},
      {"PortLbl", &SiteWindowModel::PortLbl, "n/a", "Comport:"},
      {"BaudLbl", &SiteWindowModel::BaudLbl, "9600", "Baud:"},
      {"ParityLbl", &SiteWindowModel::ParityLbl, "Even", "Parity:"},
      {"StopBitsLbl", &SiteWindowModel::StopBitsLbl, "1", "Stop Bits:"},
      {"MessagePnl", &SiteWindowModel::MessagePnl, "Reading Site Time...", ""},
      {"TimePnl", &SiteWindowModel::TimePnl, "Local Time: 10:04:05 am", ""},
  };
  for (const Case& c : cases) m.*c.field = c.value;
  m.AddLogLine("Data Sent");
  m.Changed();
  Pump();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.object);
    QAccessibleInterface* value = Accessible(engine, c.object);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->text(QAccessible::Name), c.value);
    QStringList captions;
    for (const auto& [label, relation] : value->relations(QAccessible::Label))
      captions << label->text(QAccessible::Name);
    if (*c.caption) {
      EXPECT_TRUE(captions.contains(c.caption)) << captions.join('|').toStdString();
    }
  }
  // The log through its text interface.
  QAccessibleTextInterface* log = Accessible(engine, "LogMmo")->textInterface();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->text(0, log->characterCount()), "Data Sent");
}

// Every control does its job when an assistive tool operates it through its accessible action,
// in the order an operator would: a point tested, the site blocked and freed, the test
// connection used.
TEST_F(SiteWindowTest, EveryControlWorksThroughItsAccessibleAction) {
  main.SetTestAddress("127.0.0.1:1502");
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  const auto frame = [](char state) {
    return std::string("\xAA\x55\x00\x00\x00\x06\xFF\x05\x00\x00", 10) + state + '\0';
  };
  const auto sent = [this] {
    return tcpClients.Created.empty() ? std::string() : tcpClients.Created.back()->Sent.back();
  };
  const QString press = QAccessibleActionInterface::pressAction();
  const QString toggle = QAccessibleActionInterface::toggleAction();
  struct Step {
    const char* object;
    QString action;  // empty: the text typed through the editable text interface
    std::function<bool()> done;
  };
  const Step steps[] = {
      {"CmdEdt",
       {},
       [&] { return Accessible(engine, "CmdEdt")->text(QAccessible::Value) == "1-HREG100"; }},
      {"TestBtn", press,
       [&] { return engine->Model.CmdEdt == "1-HREG100" && engine->Model.LogMmo.size() == 7; }},
      {"BlockChk", toggle,
       [&] {
         return engine->Session.IsBlocked() &&
                Status(client->ExecuteCommand(List({"COMMAND=SITESTATUS"}))) == "LOCKED";
       }},
      {"BlockChk", toggle,
       [&] { return !engine->Session.IsBlocked() && !engine->Session.Locked(); }},
      {"ConnectBtn", press,
       [&] {
         return !tcpClients.Created.empty() &&
                tcpClients.Created.back()->ConnectTargets.back() ==
                    std::make_pair(std::string("127.0.0.1"), uint16_t{1502});
       }},
      {"StateChk", toggle, [&] { return engine->Model.StateChk; }},
      {"TCPSendBtn", press, [&] { return sent() == frame('\xFF'); }},
      {"StateChk", toggle, [&] { return !engine->Model.StateChk; }},
      {"RawSendBtn", press, [&] { return sent() == frame('\0'); }},
      {"DisconnectBtn", press, [&] { return tcpClients.Created.back()->Disconnects == 1; }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.object) + " " + step.action.toStdString());
    QAccessibleInterface* control = Accessible(engine, step.object);
    ASSERT_NE(control, nullptr);
    if (step.action.isEmpty()) {
      ASSERT_NE(control->editableTextInterface(), nullptr);
      control->setText(QAccessible::Value, QStringLiteral("1-hreg100"));
      Pump();
    } else {
      DoAction(control, step.action);
    }
    if (step.object == std::string("ConnectBtn")) loop.RunFor(50);
    EXPECT_TRUE(step.done());
    if (step.action == toggle) {
      EXPECT_EQ(control->state().checked, Find<QCheckBox>(engine, step.object)->isChecked());
    }
  }
  EXPECT_TRUE(warnings.isEmpty());
}

// The window sets its check boxes from the model as it renders: that is not the user operating
// them, and must not call back into the engine.
TEST_F(SiteWindowTest, RenderingTheModelDoesNotOperateTheCheckBoxes) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  engine->Model.BlockChk = true;
  engine->Model.Changed();
  Pump();
  EXPECT_TRUE(Accessible(engine, "BlockChk")->state().checked);
  EXPECT_FALSE(engine->Session.IsBlocked());
  EXPECT_EQ(Status(RunToEnd(*client, {"COMMAND=SITESTATUS"})), "TRUE");
}

// The whole site window can be seen: at the main window's first size every control is in view;
// in a smaller one the frame scrolls to each.
TEST_F(SiteWindowTest, EveryControlCanBeBroughtIntoView) {
  auto client = OpenOffline("Bench");
  TModBusForm* engine = client->Engine;
  struct Case {
    QSize mainWindow;
    bool scrolls;
  };
  for (const Case& c : {Case{QSize(694, 567), false}, Case{QSize(520, 360), true}}) {
    SCOPED_TRACE(c.mainWindow.height());
    window->resize(c.mainWindow);
    Pump();
    QWidget* viewport = window->Area()->viewport();
    QScrollBar* across = window->Area()->horizontalScrollBar();
    QScrollBar* down = window->Area()->verticalScrollBar();
    int controls = 0;
    for (QWidget* control : SiteOf(engine)->findChildren<QWidget*>()) {
      if (!control->isVisible() ||
          !(qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control) ||
            qobject_cast<QLineEdit*>(control) || qobject_cast<QFrame*>(control)))
        continue;
      ++controls;
      const auto place = [&] {
        return QRect(control->mapTo(viewport, QPoint(0, 0)), control->size());
      };
      across->setValue(0);
      down->setValue(0);
      Pump();
      if (c.scrolls) {
        // Scrolled as far as needed to put the control's corner at the top left.
        const QRect atStart = place();
        across->setValue(atStart.left());
        down->setValue(atStart.top());
        Pump();
      }
      EXPECT_TRUE(viewport->rect().contains(place()))
          << control->metaObject()->className() << " " << control->objectName().toStdString();
    }
    EXPECT_GT(controls, 40);
  }
}

}  // namespace
}  // namespace qmb::test
