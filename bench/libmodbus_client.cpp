// qmb_modbus_client_bench: the yardstick for the driver's CPU per poll. A small libmodbus client
// reads holding registers 1 to 10 of a Modbus/TCP slave on 127.0.0.1, or of RTU slave 1 on a
// serial device (a path: 115200 baud, 8N1), one register per request as the driver's polls do,
// for a given time, and reports its own CPU per request (user and system) and the wall time of
// a request.
//
// Usage: qmb_modbus_client_bench PORT|DEVICE SECONDS [RATE] [REGISTERS]
//   RATE: requests per second, paced with a sleep between requests (default 200, about the
//   driver's rate with 100 sites of 10 points); 0 sends them back to back.
//   REGISTERS: how many registers it reads in turn, one per request (default 10).
#include <errno.h>
#include <modbus.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ProcessCpu.h"

namespace {

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT|DEVICE SECONDS [RATE] [REGISTERS]\n", argv[0]);
    return 2;
  }
  const char* peer = argv[1];
  const double seconds = std::atof(argv[2]);
  const double rate = argc > 3 ? std::atof(argv[3]) : 200.0;
  const long registers = argc > 4 ? std::max(1L, std::atol(argv[4])) : 10;

  modbus_t* ctx = peer[0] == '/' ? modbus_new_rtu(peer, 115200, 'N', 8, 1)
                                 : modbus_new_tcp("127.0.0.1", std::atoi(peer));
  if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "qmb_modbus_client_bench: cannot connect to %s: %s\n", peer,
                 modbus_strerror(errno));
    return 1;
  }
  const double started = Now();
  const double cpuBefore = qmb::bench::ProcessCpuSeconds();
  const double userBefore = qmb::bench::ProcessUserSeconds();
  long requests = 0;
  long failures = 0;
  double busy = 0.0;  // wall time inside requests
  double next = started;
  while (Now() - started < seconds) {
    if (rate > 0) {
      next += 1.0 / rate;
      const double wait = next - Now();
      if (wait > 0) {
        timespec pause{static_cast<time_t>(wait),
                       static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        nanosleep(&pause, nullptr);
      }
    }
    uint16_t value = 0;
    const double before = Now();
    if (modbus_read_registers(ctx, static_cast<int>(requests % registers), 1, &value) == 1)
      ++requests;
    else
      ++failures;
    busy += Now() - before;
  }
  const double cpu = qmb::bench::ProcessCpuSeconds() - cpuBefore;
  const double user = qmb::bench::ProcessUserSeconds() - userBefore;
  const double wall = Now() - started;
  std::printf(
      "libmodbus client: %ld requests in %.1f s (%.0f/s), %ld failed; CPU %.3f s = %.1f us per "
      "request (getrusage user %.1f us); %.1f us wall per request\n",
      requests, wall, static_cast<double>(requests) / wall, failures, cpu,
      requests ? cpu / static_cast<double>(requests) * 1e6 : 0.0,
      requests ? user / static_cast<double>(requests) * 1e6 : 0.0,
      requests ? busy / static_cast<double>(requests) * 1e6 : 0.0);
  modbus_close(ctx);
  modbus_free(ctx);
  return failures == 0 ? 0 : 1;
}
