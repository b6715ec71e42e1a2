// The main window: a frame of child windows (one site window per engine), the caption, the File
// menu, and the close rules (every child first, then the close prompt while host objects live).
#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <functional>

class QMdiArea;

namespace qmb {
class TMainForm;
class TModBusForm;
}  // namespace qmb

namespace qmb::ui {

inline constexpr const char* kClosePromptCaption = "COM Server Warning";
inline constexpr const char* kClosePromptText =
    "There are still active COM objects in this application.  One or more clients may have "
    "references to these objects, so manually closing this application may cause those client "
    "application(s) to fail.\r\n\r\nAre you sure you want to close this application?";

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Follows mainForm: a site window for every engine created (and for those already there), gone
  // with its engine; shown and hidden with mainForm's visibility. closeNeedsConfirmation tells
  // whether host objects are alive, so that closing asks first: the close prompt opens
  // window-modal, and the window closes once it is answered Yes.
  MainWindow(TMainForm& mainForm, std::function<bool()> closeNeedsConfirmation,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  QMdiArea* Area() const { return area_; }
  // Grows the window (never shrinks it) until every site window is whole inside it without
  // scrolling, as a picture of the window wants them.
  void ShowEverySiteWindowWhole();
  // The close prompt while it is open, else null.
  QMessageBox* ClosePrompt() const { return prompt_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void AddSiteWindow(TModBusForm* engine);
  void RemoveSiteWindow(TModBusForm* engine);
  void AskBeforeClosing();

  TMainForm& mainForm_;
  std::function<bool()> closeNeedsConfirmation_;
  QMdiArea* area_;
  QPointer<QMessageBox> prompt_;
  // The prompt was answered Yes: the close it started goes through without asking again.
  bool closeConfirmed_ = false;
};

}  // namespace qmb::ui
