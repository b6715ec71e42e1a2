// qmb_wake_cost: what one wake-up from an idle sleep costs a process on this machine, in the
// process CPU that the scale runs divide by their polls. A tick-paced driver wakes ten times a
// second whatever it polls; a client reading back to back on the CPU its slave runs on never
// sleeps at all. On a virtual machine that charges the guest's wake from idle to the woken
// process, this cost is a large share of either figure, so the scale runs print it beside them.
//
// Usage: qmb_wake_cost [MILLISECONDS] [WAKES]     (defaults: 100, the driver's tick; 30)
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ProcessCpu.h"

int main(int argc, char** argv) {
  const int milliseconds = argc > 1 ? std::atoi(argv[1]) : 100;
  const int wakes = argc > 2 ? std::atoi(argv[2]) : 30;
  if (milliseconds <= 0 || wakes <= 0) {
    std::fprintf(stderr, "usage: %s [MILLISECONDS] [WAKES]\n", argv[0]);
    return 2;
  }
  // An epoll descriptor with nothing in it: epoll_wait sleeps its whole timeout, as the driver's
  // loop does between ticks.
  const int poller = epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0) {
    std::perror("epoll_create1");
    return 1;
  }
  epoll_event event{};
  const double before = qmb::bench::ProcessCpuSeconds();
  for (int i = 0; i < wakes; ++i) epoll_wait(poller, &event, 1, milliseconds);
  const double cpu = qmb::bench::ProcessCpuSeconds() - before;
  close(poller);
  std::printf("wake-up: %d sleeps of %d ms cost %.1f us of process CPU each\n", wakes, milliseconds,
              cpu / wakes * 1e6);
  return 0;
}
