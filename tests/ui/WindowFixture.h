// A driver process in virtual time with its main window on the real (offscreen) Qt application:
// engines advance with loop.RunFor, widgets with Pump().
#pragma once

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "support/HostFixture.h"
#include "ui/MainWindow.h"
#include "ui/SiteWindow.h"

namespace qmb::test {

class WindowFixture : public HostFixture {
 protected:
  WindowFixture()
      : savedMessage_(ui::SiteWindow::ShowMessage), savedWarning_(ui::SiteWindow::ShowWarning) {
    ui::SiteWindow::ShowMessage = [this](QWidget*, const QString& text) { messages << text; };
    ui::SiteWindow::ShowWarning = [this](QWidget*, const QString& text) { warnings << text; };
    window = std::make_unique<ui::MainWindow>(main, [this] { return needsConfirmation; });
    window->show();
  }
  ~WindowFixture() override {
    window.reset();
    ui::SiteWindow::ShowMessage = savedMessage_;
    ui::SiteWindow::ShowWarning = savedWarning_;
  }

  // Lets the widgets catch up: renders, and windows deleted once their engine went.
  static void Pump() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

  QMdiSubWindow* SubOf(const TModBusForm* engine) const {
    for (QMdiSubWindow* sub : window->Area()->subWindowList()) {
      auto* site = qobject_cast<ui::SiteWindow*>(sub->widget());
      if (site && &site->Engine() == engine) return sub;
    }
    return nullptr;
  }
  ui::SiteWindow* SiteOf(const TModBusForm* engine) const {
    QMdiSubWindow* sub = SubOf(engine);
    return sub ? qobject_cast<ui::SiteWindow*>(sub->widget()) : nullptr;
  }
  template <typename Widget>
  Widget* Find(const TModBusForm* engine, const char* name) const {
    ui::SiteWindow* site = SiteOf(engine);
    Widget* widget = site ? site->findChild<Widget*>(QString::fromLatin1(name)) : nullptr;
    if (!widget) ADD_FAILURE() << "no control " << name;
    return widget;
  }
  // The window's own message boxes instead of the lists below.
  void UseMessageBoxes() {
    ui::SiteWindow::ShowMessage = savedMessage_;
    ui::SiteWindow::ShowWarning = savedWarning_;
  }
  size_t SubWindowCount() const { return window->Area()->subWindowList().size(); }

  // The accessible element of a site window's control, found the way an assistive tool finds
  // it: down the window's accessibility tree (the name only tells which one the test means).
  QAccessibleInterface* Accessible(const TModBusForm* engine, const char* name) const {
    QAccessibleInterface* found = nullptr;
    if (ui::SiteWindow* site = SiteOf(engine))
      found =
          FindAccessible(QAccessible::queryAccessibleInterface(site), QString::fromLatin1(name));
    if (!found) ADD_FAILURE() << "no accessible element " << name;
    return found;
  }
  static QAccessibleInterface* FindAccessible(QAccessibleInterface* from, const QString& name) {
    if (!from) return nullptr;
    if (from->object() && from->object()->objectName() == name) return from;
    for (int i = 0; i < from->childCount(); ++i)
      if (QAccessibleInterface* found = FindAccessible(from->child(i), name)) return found;
    return nullptr;
  }
  // What an assistive tool does to operate a control: one of its accessible actions. A button's
  // press clicks it after its press animation, so this waits (bounded) for the click.
  static void DoAction(QAccessibleInterface* element, const QString& action) {
    ASSERT_NE(element, nullptr);
    QAccessibleActionInterface* actions = element->actionInterface();
    ASSERT_NE(actions, nullptr);
    ASSERT_TRUE(actions->actionNames().contains(action)) << action.toStdString();
    auto* button = qobject_cast<QAbstractButton*>(element->object());
    std::unique_ptr<QSignalSpy> clicked;
    if (button && action == QAccessibleActionInterface::pressAction())
      clicked = std::make_unique<QSignalSpy>(button, &QAbstractButton::clicked);
    actions->doAction(action);
    if (clicked) {
      EXPECT_TRUE(clicked->count() > 0 || clicked->wait(2000)) << "no click";
    }
    Pump();
  }
  static void Press(QWidget* button) {
    DoAction(QAccessible::queryAccessibleInterface(button),
             QAccessibleActionInterface::pressAction());
  }

  bool needsConfirmation = false;
  QStringList messages, warnings;
  std::unique_ptr<ui::MainWindow> window;

 private:
  std::function<void(QWidget*, const QString&)> savedMessage_, savedWarning_;
};

}  // namespace qmb::test
