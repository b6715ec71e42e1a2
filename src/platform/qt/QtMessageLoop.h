// The message loop and wall clock on Qt: QTimer, QCoreApplication::processEvents and queued calls.
#pragma once

#include <QElapsedTimer>
#include <QObject>

#include "platform/MessageLoop.h"

namespace qmb {

class QtMessageLoop : public MessageLoop, public Clock {
 public:
  QtMessageLoop();
  ~QtMessageLoop() override;

  void ProcessPendingEvents() override;
  void WaitForEvents() override;
  std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTimeout) override;
  void Post(std::function<void()> call) override;
  void SleepMs(int milliseconds) override;
  int64_t MonotonicMs() const override;

  double LocalNow() const override;

 private:
  QObject context_;  // queued calls run in its name; they die with the loop
  QElapsedTimer monotonic_;
};

}  // namespace qmb
