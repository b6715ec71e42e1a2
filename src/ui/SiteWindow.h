// The site window: a child of the main window that renders one engine's site-window model and
// forwards the user's clicks and keys to the engine. It holds no Modbus logic of its own.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace qmb {
class TModBusForm;
class TMainForm;
}  // namespace qmb

namespace qmb::ui {

class SiteWindow : public QWidget {
  Q_OBJECT

 public:
  // Renders engine.Model from now on (it takes the model's change notification) and asks
  // mainForm to close the engine when the user closes the window.
  SiteWindow(TModBusForm& engine, TMainForm& mainForm, QWidget* parent = nullptr);
  ~SiteWindow() override;

  TModBusForm& Engine() const { return engine_; }
  // The window has one size; its layout would ask for more than that, and the frame around it
  // takes its size from this.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

  // How the window tells the user something (a close refused, a send that failed): by default a
  // window-modal message box, opened without waiting for its answer; tests put their own here.
  static std::function<void(QWidget* parent, const QString& text)> ShowMessage;
  static std::function<void(QWidget* parent, const QString& text)> ShowWarning;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  friend class MainWindow;

  struct Controls;
  void Build();
  void Render();
  void RenderLog();
  void ScheduleRender();
  // The engine is about to go: from now on the window never touches it again.
  void Detach();
  // Runs a window action on the engine unless the window was detached from it.
  void Run(const std::function<void()>& action);

  TModBusForm& engine_;
  TMainForm& mainForm_;
  Controls* controls_;  // owned through Qt's parent ownership of the widgets it points at
  bool detached_ = false;
  bool renderPending_ = false;
  bool rendering_ = false;  // the window is setting its controls from the model
};

}  // namespace qmb::ui
