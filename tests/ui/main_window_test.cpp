// The main window: its frame, its visibility as hosts switch it, and the close rules.
#include <gtest/gtest.h>

#include <QAction>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QTest>

#include "WindowFixture.h"

namespace qmb::test {
namespace {

using MainWindowTest = WindowFixture;

TEST_F(MainWindowTest, FrameCaptionMenuAndTheSitesOpenedBeforeIt) {
  EXPECT_EQ(window->windowTitle(), "ModBus Serial Driver V1.80");
  EXPECT_EQ(window->size(), QSize(694, 567));
  const QList<QAction*> menus = window->menuBar()->actions();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_EQ(menus.front()->text(), "&File");
  ASSERT_EQ(menus.front()->menu()->actions().size(), 1);
  EXPECT_EQ(menus.front()->menu()->actions().front()->text(), "E&xit");

  // A window made after engines were opened shows them too.
  auto client = OpenOffline("Plant 1");
  window.reset();
  window = std::make_unique<ui::MainWindow>(main, [] { return false; });
  ASSERT_EQ(SubWindowCount(), 1u);
  QMdiSubWindow* sub = SubOf(client->Engine);
  EXPECT_EQ(sub->windowTitle(), "Plant 1 (Offline Mode)");
  // A fixed frame: the close button and system menu, nothing to minimise, maximise or resize.
  EXPECT_TRUE(sub->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(sub->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(sub->minimumSize(), sub->maximumSize());
}

// For a picture the main window grows until its site windows are whole in it; it never shrinks.
TEST_F(MainWindowTest, ShowingEverySiteWindowWholeGrowsTheWindowOnly) {
  auto first = OpenOffline("Plant 1");
  auto second = OpenOffline("Plant 2");
  Pump();
  SubOf(second->Engine)->move(300, 40);
  for (const QSize start : {QSize(694, 567), QSize(2000, 1500)}) {
    SCOPED_TRACE(start.width());
    window->resize(start);
    window->ShowEverySiteWindowWhole();
    Pump();
    EXPECT_GE(window->width(), start.width());
    EXPECT_GE(window->height(), start.height());
    const QRect viewport = window->Area()->viewport()->rect();
    for (QMdiSubWindow* sub : window->Area()->subWindowList())
      EXPECT_TRUE(viewport.contains(sub->geometry())) << sub->windowTitle().toStdString();
  }
  EXPECT_EQ(window->size(), QSize(2000, 1500));
}

TEST_F(MainWindowTest, VisibilityFollowsTheHosts) {
  main.SetVisible(false);
  EXPECT_FALSE(window->isVisible());
  main.SetVisible(true);
  EXPECT_TRUE(window->isVisible());
  window->showMinimized();
  main.RestoreAndBringToFront();
  EXPECT_FALSE(window->isMinimized());
}

TEST_F(MainWindowTest, DebugModeOfAHostShowsAndHidesTheWindow) {
  auto host = OpenOffline("Plant 1");
  struct Step {
    const char* mode;
    bool visible;
  };
  const Step steps[] = {{"FALSE", false}, {"toggle", true}, {"TOGGLE", false}, {"TRUE", true}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.mode);
    EXPECT_TRUE(host->SetDriverOption(List({std::string("DEBUGMODE=") + step.mode})));
    EXPECT_EQ(window->isVisible(), step.visible);
    EXPECT_EQ(main.Visible(), step.visible) << "what hosts read back";
  }
}

TEST_F(MainWindowTest, ConnectedSiteStopsTheCloseAndKeepsServing) {
  auto a = OpenOffline("Plant 1");
  auto b = OpenOffline("Plant 2");
  needsConfirmation = true;
  EXPECT_FALSE(window->close());
  loop.RunFor(200);
  Pump();
  EXPECT_EQ(messages.size(), 1) << "the refusal is shown once";
  EXPECT_EQ(window->ClosePrompt(), nullptr) << "no prompt after a refusal";
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(SubWindowCount(), 2u);
  EXPECT_EQ(Status(RunToEnd(*a, {"COMMAND=SITETIME"})), "TRUE");
}

// The prompt opens window-modal and returns at once; its answer closes the window or not.
TEST_F(MainWindowTest, ClosePromptDecidesWhetherTheApplicationEnds) {
  struct Case {
    const char* name;
    bool needsConfirmation;
    QMessageBox::StandardButton answer;  // NoButton: no prompt expected
    bool closes;
  };
  const Case cases[] = {
      {"prompted, No", true, QMessageBox::No, false},
      {"prompted, Yes", true, QMessageBox::Yes, true},
      {"no host objects", false, QMessageBox::NoButton, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window->show();
    needsConfirmation = c.needsConfirmation;
    // A site whose connect failed goes with the close, whatever the answer.
    auto failed = NewClient();
    failed->OpenSite(List({"DESCRIPTION=Dead", "COMPORT=7"}));
    ASSERT_EQ(Status(RunToEnd(*failed, {"COMMAND=COMMANDSTATUS"})), "FALSE");
    Pump();
    ASSERT_EQ(SubWindowCount(), 1u);

    const bool prompted = c.answer != QMessageBox::NoButton;
    EXPECT_EQ(window->close(), !prompted);
    QMessageBox* prompt = window->ClosePrompt();
    ASSERT_EQ(prompt != nullptr, prompted);
    if (prompt) {
      EXPECT_TRUE(prompt->isVisible());
      EXPECT_EQ(prompt->windowModality(), Qt::WindowModal);
      EXPECT_EQ(prompt->windowTitle(), ui::kClosePromptCaption);
      EXPECT_EQ(prompt->text(), ui::kClosePromptText);
      EXPECT_EQ(prompt->icon(), QMessageBox::Warning);
      EXPECT_EQ(prompt->standardButtons(), QMessageBox::Yes | QMessageBox::No);
      EXPECT_EQ(prompt->standardButton(prompt->defaultButton()), QMessageBox::No);
      // Closing again while it asks brings up the same prompt, not a second one.
      EXPECT_FALSE(window->close());
      EXPECT_EQ(window->findChildren<QMessageBox*>().size(), 1);
      EXPECT_TRUE(window->isVisible());
      Press(prompt->button(c.answer));
      EXPECT_EQ(window->ClosePrompt(), nullptr);
    }
    EXPECT_EQ(window->isVisible(), !c.closes);
    EXPECT_TRUE(messages.isEmpty());
    loop.RunFor(100);
    Pump();
    EXPECT_EQ(failed->Engine, nullptr);
    EXPECT_EQ(SubWindowCount(), 0u);

    // The hosts keep being served while the application stays.
    auto later = OpenOffline("Plant 1");
    EXPECT_EQ(Status(RunToEnd(*later, {"COMMAND=SITETIME"})), "TRUE");
    later.reset();
    loop.RunFor(200);
    Pump();
  }
}

// Yes answers the close as it stands when the answer comes: a site connected meanwhile still
// stops it.
TEST_F(MainWindowTest, SiteConnectedWhileThePromptAsksStopsTheClose) {
  needsConfirmation = true;
  EXPECT_FALSE(window->close());
  ASSERT_NE(window->ClosePrompt(), nullptr);
  auto connected = OpenOffline("Plant 1");
  Pump();
  Press(window->ClosePrompt()->button(QMessageBox::Yes));
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(messages.size(), 1);
  EXPECT_EQ(SubWindowCount(), 1u);
  // The next close asks again.
  connected.reset();
  loop.RunFor(200);
  Pump();
  EXPECT_FALSE(window->close());
  EXPECT_NE(window->ClosePrompt(), nullptr);
}

TEST_F(MainWindowTest, ExitTakesTheCloseButtonsWay) {
  needsConfirmation = true;
  window->menuBar()->actions().front()->menu()->actions().front()->trigger();
  ASSERT_NE(window->ClosePrompt(), nullptr);
  Press(window->ClosePrompt()->button(QMessageBox::No));
  EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace qmb::test
