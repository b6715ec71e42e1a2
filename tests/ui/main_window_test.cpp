// The main window: its frame, its visibility as hosts switch it, and the close rules.
#include <gtest/gtest.h>

#include <QAction>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
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
  EXPECT_EQ(confirmations, 0) << "no prompt after a refusal";
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(SubWindowCount(), 2u);
  EXPECT_EQ(Status(RunToEnd(*a, {"COMMAND=SITETIME"})), "TRUE");
}

TEST_F(MainWindowTest, ClosePromptDecidesWhetherTheApplicationEnds) {
  struct Case {
    const char* name;
    bool needsConfirmation;
    bool answer;
    int confirmations;
    bool closes;
  };
  const Case cases[] = {
      {"prompted, No", true, false, 1, false},
      {"prompted, Yes", true, true, 1, true},
      {"no host objects", false, false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window->show();
    confirmations = 0;
    needsConfirmation = c.needsConfirmation;
    confirmAnswer = c.answer;
    // A site whose connect failed goes with the close, whatever the answer.
    auto failed = NewClient();
    failed->OpenSite(List({"DESCRIPTION=Dead", "COMPORT=7"}));
    ASSERT_EQ(Status(RunToEnd(*failed, {"COMMAND=COMMANDSTATUS"})), "FALSE");
    Pump();
    ASSERT_EQ(SubWindowCount(), 1u);

    EXPECT_EQ(window->close(), c.closes);
    EXPECT_EQ(window->isVisible(), !c.closes);
    EXPECT_EQ(confirmations, c.confirmations);
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

TEST_F(MainWindowTest, ExitTakesTheCloseButtonsWay) {
  needsConfirmation = true;
  confirmAnswer = false;
  window->menuBar()->actions().front()->menu()->actions().front()->trigger();
  EXPECT_EQ(confirmations, 1);
  EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace qmb::test
