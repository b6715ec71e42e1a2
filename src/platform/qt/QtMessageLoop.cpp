#include "platform/qt/QtMessageLoop.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <memory>

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

// A timer on the kernel's monotonic clock through a timerfd, which wakes the loop as any other
// descriptor does, to the microsecond rather than the millisecond of QTimer.
class MicroTimer : public Timer {
 public:
  MicroTimer(int fd, int64_t intervalUs, std::function<void()> onTimeout)
      : fd_(fd),
        intervalUs_(intervalUs),
        callback_(std::move(onTimeout)),
        notifier_(fd, QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { OnExpired(); });
  }
  ~MicroTimer() override {
    *alive_ = false;
    notifier_.setEnabled(false);
    ::close(fd_);
  }
  MicroTimer(const MicroTimer&) = delete;
  MicroTimer& operator=(const MicroTimer&) = delete;

  // A zero interval fires as soon as the loop runs, as QTimer's does (a zero would disarm).
  void Start() override { Arm(intervalUs_ > 0 ? intervalUs_ : 1); }
  void Stop() override { Arm(0); }
  bool IsActive() const override { return active_; }
  void SetInterval(int milliseconds) override {
    intervalUs_ = int64_t{milliseconds} * 1000;
    if (active_) Start();
  }
  int Interval() const override { return static_cast<int>((intervalUs_ + 999) / 1000); }

 private:
  // Arms the timer to fire every `us` from now on, or disarms it at 0.
  void Arm(int64_t us) {
    itimerspec timing{};
    if (us > 0) {
      timing.it_value = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
      timing.it_interval = timing.it_value;
    }
    active_ = us > 0;
    timerfd_settime(fd_, 0, &timing, nullptr);
  }

  void OnExpired() {
    uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations || !active_) return;
    // Never re-entered by itself: a callback that waits inside the loop sees no second shot.
    if (firing_) return;
    const std::shared_ptr<bool> alive = alive_;
    firing_ = true;
    callback_();
    if (*alive) firing_ = false;
  }

  int fd_;
  int64_t intervalUs_;
  std::function<void()> callback_;
  QSocketNotifier notifier_;
  bool active_ = false;
  bool firing_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class QtFdWatch : public FdWatch {
 public:
  QtFdWatch(int fd, std::function<void()> onReadable, std::function<void()> onWritable)
      : reader_(fd, QSocketNotifier::Read), writer_(fd, QSocketNotifier::Write) {
    writer_.setEnabled(false);
    QObject::connect(&reader_, &QSocketNotifier::activated, [call = std::move(onReadable)] {
      if (call) call();
    });
    QObject::connect(&writer_, &QSocketNotifier::activated, [call = std::move(onWritable)] {
      if (call) call();
    });
  }
  void SetWriteWatch(bool enabled) override { writer_.setEnabled(enabled); }

 private:
  QSocketNotifier reader_;
  QSocketNotifier writer_;
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

std::unique_ptr<Timer> QtMessageLoop::CreateTimerUs(int64_t intervalUs,
                                                    std::function<void()> onTimeout) {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) return MessageLoop::CreateTimerUs(intervalUs, std::move(onTimeout));
  return std::make_unique<MicroTimer>(fd, intervalUs, std::move(onTimeout));
}

std::unique_ptr<FdWatch> QtMessageLoop::WatchFd(int fd, std::function<void()> onReadable,
                                                std::function<void()> onWritable) {
  return std::make_unique<QtFdWatch>(fd, std::move(onReadable), std::move(onWritable));
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
