// The CPU a benchmark program has used, for figures per poll, per request or per wake-up.
#pragma once

#include <sys/resource.h>
#include <time.h>

namespace qmb::bench {

// The process's run time as the scheduler counts it, to the nanosecond: getrusage's user and
// system times may be sampled at the kernel's tick, which misjudges a process that runs for
// microseconds between sleeps.
inline double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// getrusage's user time (see above for its limits), for the user/system split.
inline double ProcessUserSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

}  // namespace qmb::bench
