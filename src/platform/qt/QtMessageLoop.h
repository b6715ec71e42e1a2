// The message loop and wall clock on Qt: QTimer, QCoreApplication::processEvents and queued calls.
#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <limits>

#include "platform/MessageLoop.h"

namespace qmb {

class QtMessageLoop : public MessageLoop, public Clock {
 public:
  QtMessageLoop();
  ~QtMessageLoop() override;

  void ProcessPendingEvents() override;
  void WaitForEvents() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTimeout) override;
  std::unique_ptr<Timer> CreateTimerUs(int64_t intervalUs,
                                       std::function<void()> onTimeout) override;
  std::unique_ptr<FdWatch> WatchFd(int fd, std::function<void()> onReadable,
                                   std::function<void()> onWritable) override;
  void Post(std::function<void()> call) override;
  void SleepMs(int milliseconds) override;
  int64_t MonotonicMs() const override;

  double LocalNow() const override;

 private:
  QObject context_;  // queued calls run in its name; they die with the loop
  QElapsedTimer monotonic_;
  // The local zone's offset from UTC, and the UTC second it was looked up for.
  mutable qint64 offsetMs_ = 0;
  mutable qint64 offsetSecond_ = std::numeric_limits<qint64>::min();
};

}  // namespace qmb
