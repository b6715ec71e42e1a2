// Process CPU used by the real Qt loop while an engine sits in a long Delay: the wait must block
// in the kernel between the 100 ms ticks, not spin.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "platform/DelayClock.h"
#include "platform/Task.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"

namespace {
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

qmb::Task<void> WaitTicks(qmb::DelayClock& clock, int32_t n) {
  co_await clock.Delay(n);
}

int main(int argc, char** argv) {
  // On the dispatcher of the server without windows.
  QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
  const int ticks = argc > 1 ? std::atoi(argv[1]) : 99;  // Delay(99): ten seconds
  qmb::QtMessageLoop loop;
  qmb::DelayClock clock(loop);
  auto delayTimer = loop.CreateTimer(100, [&clock] { clock.DelayTick(); });
  delayTimer->Start();

  const double cpuBefore = CpuSeconds();
  const int64_t wallBefore = loop.MonotonicMs();
  // An engine's wait as the server runs it: the task suspended, the loop idle until the ticks.
  qmb::Task<void> wait = WaitTicks(clock, ticks);
  wait.Start();
  while (!wait.Done()) loop.WaitForEvents();
  const int64_t wallMs = loop.MonotonicMs() - wallBefore;
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("Delay(%d): %.3f s wall, %.4f s process CPU (target < 0.05 s)\n", ticks,
              static_cast<double>(wallMs) / 1000.0, cpu);
  return cpu < 0.05 ? 0 : 1;
}
