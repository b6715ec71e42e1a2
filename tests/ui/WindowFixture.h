// A driver process in virtual time with its main window on the real (offscreen) Qt application:
// engines advance with loop.RunFor, widgets with Pump().
#pragma once

#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
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
    window->ConfirmClose = [this] {
      ++confirmations;
      return confirmAnswer;
    };
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
  size_t SubWindowCount() const { return window->Area()->subWindowList().size(); }

  bool needsConfirmation = false;
  bool confirmAnswer = false;
  int confirmations = 0;
  QStringList messages, warnings;
  std::unique_ptr<ui::MainWindow> window;

 private:
  std::function<void(QWidget*, const QString&)> savedMessage_, savedWarning_;
};

}  // namespace qmb::test
