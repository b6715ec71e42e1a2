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
  // Every site's status bar reads the clock once a second. The zone's offset is looked up (which
  // consults the system's zone file) once per second of the clock, not once per site; a change of
  // the zone or its daylight-saving time shows from the next second on.
  const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
  const qint64 second = utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000;
  if (second != offsetSecond_) {
    offsetMs_ = qint64{QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime).offsetFromUtc()} * 1000;
    offsetSecond_ = second;
  }
  return DateTimeFromEpochMs(utcMs + offsetMs_);
}

}  // namespace qmb
