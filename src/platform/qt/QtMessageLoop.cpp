#include "platform/qt/QtMessageLoop.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <QTimer>

#include "platform/DateTime.h"

namespace qmb {

namespace {

class QtTimer : public Timer {
 public:
  QtTimer(int intervalMs, std::function<void()> onTimeout) {
    timer_.setInterval(intervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [callback = std::move(onTimeout)] { callback(); });
  }
  void Start() override { timer_.start(); }
  void Stop() override { timer_.stop(); }
  bool IsActive() const override { return timer_.isActive(); }
  void SetInterval(int milliseconds) override { timer_.setInterval(milliseconds); }
  int Interval() const override { return timer_.interval(); }

 private:
  QTimer timer_;
};

}  // namespace

QtMessageLoop::QtMessageLoop() {
  monotonic_.start();
}
QtMessageLoop::~QtMessageLoop() = default;

void QtMessageLoop::ProcessPendingEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtMessageLoop::WaitForEvents() {
  // Blocks in the event dispatcher's poll() until a timer, a descriptor or a posted event is due.
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

std::unique_ptr<Timer> QtMessageLoop::CreateTimer(int intervalMs, std::function<void()> onTimeout) {
  return std::make_unique<QtTimer>(intervalMs, std::move(onTimeout));
}

void QtMessageLoop::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
}

void QtMessageLoop::SleepMs(int milliseconds) {
  if (milliseconds > 0) QThread::msleep(static_cast<unsigned long>(milliseconds));
}

int64_t QtMessageLoop::MonotonicMs() const {
  return monotonic_.elapsed();
}

double QtMessageLoop::LocalNow() const {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return EncodeDateTime({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()});
}

}  // namespace qmb
