#include "ui/MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <utility>

#include "engine/ModBusFrm.h"
#include "sites/EngineRegistry.h"
#include "ui/SiteWindow.h"

namespace qmb::ui {

MainWindow::MainWindow(TMainForm& mainForm, std::function<bool()> closeNeedsConfirmation,
                       QWidget* parent)
    : QMainWindow(parent),
      mainForm_(mainForm),
      closeNeedsConfirmation_(std::move(closeNeedsConfirmation)),
      area_(new QMdiArea(this)) {
  setWindowTitle(QString::fromStdString(mainForm_.Caption()));
  move(253, 134);
  resize(694, 567);
  setCentralWidget(area_);
  // Site windows have one size, which a small frame cannot hold: the frame scrolls to them.
  area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  area_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  // Exit takes the same way as the frame's close button.
  file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);

  for (size_t i = 0; i < mainForm_.ChildCount(); ++i) AddSiteWindow(mainForm_.Child(i));
  mainForm_.OnEngineCreated = [this](TModBusForm* engine) { AddSiteWindow(engine); };
  mainForm_.OnEngineDestroyed = [this](TModBusForm* engine) { RemoveSiteWindow(engine); };
  mainForm_.OnVisibilityChanged = [this](bool visible) { setVisible(visible); };
  mainForm_.OnBringToFront = [this] {
    showNormal();
    raise();
    activateWindow();
  };
}

MainWindow::~MainWindow() {
  mainForm_.OnEngineCreated = nullptr;
  mainForm_.OnEngineDestroyed = nullptr;
  mainForm_.OnVisibilityChanged = nullptr;
  mainForm_.OnBringToFront = nullptr;
}

void MainWindow::AddSiteWindow(TModBusForm* engine) {
  auto* site = new SiteWindow(*engine, mainForm_);
  // A fixed frame with the system menu and its close button only: the window has one size, and
  // closing is the one thing an operator does to it from its frame.
  QMdiSubWindow* sub =
      area_->addSubWindow(site, Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                    Qt::WindowCloseButtonHint);
  sub->setWindowTitle(site->windowTitle());
  sub->show();
  sub->adjustSize();
  sub->setFixedSize(sub->size());  // the frame around the fixed client area, as the style draws it
}

void MainWindow::ShowEverySiteWindowWhole() {
  QRect children;
  for (QMdiSubWindow* sub : area_->subWindowList()) children |= sub->geometry();
  // Measured against the whole area: once they fit, its scroll bars go.
  const QSize missing = QSize(children.right() + 1, children.bottom() + 1) - area_->size();
  resize(size() + missing.expandedTo(QSize(0, 0)));
}

void MainWindow::RemoveSiteWindow(TModBusForm* engine) {
  for (QMdiSubWindow* sub : area_->subWindowList()) {
    auto* site = qobject_cast<SiteWindow*>(sub->widget());
    if (!site || &site->Engine() != engine) continue;
    // The engine is about to go: the window lets go of it now, and is deleted once control is
    // back in the event loop (this may run inside one of the window's own handlers).
    site->Detach();
    area_->removeSubWindow(sub);
    sub->hide();
    sub->deleteLater();
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  // Asked already: the open prompt answers for this close too.
  if (prompt_) {
    prompt_->raise();
    prompt_->activateWindow();
    return;
  }
  const bool confirmed = std::exchange(closeConfirmed_, false);
  // Every child first: the closable ones go, a connected one stops the whole close.
  bool refused = false;
  for (QMdiSubWindow* sub : area_->subWindowList()) {
    auto* site = qobject_cast<SiteWindow*>(sub->widget());
    if (!site || site->detached_) continue;
    if (site->Engine().CanClose())
      mainForm_.CloseSiteWindow(&site->Engine());
    else
      refused = true;
  }
  if (refused) {
    SiteWindow::ShowMessage(this, QString::fromLatin1(TModBusForm::kCloseRefused));
    return;
  }
  if (!confirmed && closeNeedsConfirmation_ && closeNeedsConfirmation_()) {
    AskBeforeClosing();
    return;
  }
  event->accept();
  QCoreApplication::quit();
}

void MainWindow::AskBeforeClosing() {
  prompt_ = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kClosePromptCaption),
                            QString::fromLatin1(kClosePromptText),
                            QMessageBox::Yes | QMessageBox::No, this);
  prompt_->setDefaultButton(QMessageBox::No);
  prompt_->setAttribute(Qt::WA_DeleteOnClose);
  connect(prompt_, &QMessageBox::finished, this, [this, prompt = prompt_.data()] {
    if (prompt->standardButton(prompt->clickedButton()) != QMessageBox::Yes) return;
    // The close is taken again from the start: a site connected meanwhile still stops it.
    prompt_ = nullptr;
    closeConfirmed_ = true;
    close();
  });
  prompt_->open();
}

}  // namespace qmb::ui
