// qmb_modbus_client_bench: the yardstick for the driver's CPU per poll. A small libmodbus client
// reads holding registers 1 to 10 of a Modbus/TCP slave on 127.0.0.1, or of RTU slave 1 on a
// serial device (a path: 115200 baud, 8N1), one register per request as the driver's polls do,
// for a given time, and reports its own CPU per request (user and system) and the wall time of
// a request.
//
// Usage: qmb_modbus_client_bench PORT|DEVICE SECONDS [RATE] [REGISTERS] [DEVICES]
//   RATE: requests per second, paced with a sleep between requests (default 200, about the
//   driver's rate with 100 sites of 10 points); 0 sends them back to back.
//   REGISTERS: how many registers it reads in turn, one per request (default 10).
//   DEVICES (Modbus/TCP only, default 1): with more than one, a connection to each, and each
//   wake-up sends one request on every connection and then takes every reply: one burst of
//   DEVICES requests a wake-up, RATE/DEVICES bursts a second. This is how a client that serves
//   many devices from one tick spends its CPU, the yardstick for the driver's many sites.
#include <errno.h>
#include <modbus.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

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
  const long devices = argc > 5 ? std::max(1L, std::atol(argv[5])) : 1;
  if (devices > 1 && peer[0] == '/') {
    std::fprintf(stderr, "qmb_modbus_client_bench: a burst over DEVICES is Modbus/TCP only\n");
    return 2;
  }

  std::vector<modbus_t*> contexts;
  for (long d = 0; d < devices; ++d) {
    modbus_t* ctx = peer[0] == '/' ? modbus_new_rtu(peer, 115200, 'N', 8, 1)
                                   : modbus_new_tcp("127.0.0.1", std::atoi(peer));
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
      std::fprintf(stderr, "qmb_modbus_client_bench: cannot connect to %s: %s\n", peer,
                   modbus_strerror(errno));
      return 1;
    }
    contexts.push_back(ctx);
  }
  modbus_t* ctx = contexts.front();
  // One pacing step sends a burst: a request on every connection.
  const double stepsPerSecond = rate / static_cast<double>(devices);
  const double started = Now();
  const double cpuBefore = qmb::bench::ProcessCpuSeconds();
  const double userBefore = qmb::bench::ProcessUserSeconds();
  long requests = 0;
  long failures = 0;
  long steps = 0;
  double busy = 0.0;  // wall time inside requests (inside bursts when DEVICES > 1)
  double next = started;
  while (Now() - started < seconds) {
    if (rate > 0) {
      next += 1.0 / stepsPerSecond;
      const double wait = next - Now();
      if (wait > 0) {
        timespec pause{static_cast<time_t>(wait),
                       static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        nanosleep(&pause, nullptr);
      }
    }
    const double before = Now();
    const int address = static_cast<int>(steps++ % registers);
    if (devices == 1) {
      uint16_t value = 0;
      if (modbus_read_registers(ctx, address, 1, &value) == 1)
        ++requests;
      else
        ++failures;
    } else {
      // Every request out first, then the replies: the peers answer while the first is awaited.
      const uint8_t request[] = {
          1, 0x03, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xff), 0, 1};
      std::vector<bool> sent(contexts.size());
      for (size_t d = 0; d < contexts.size(); ++d)
        sent[d] = modbus_send_raw_request(contexts[d], request, sizeof request) > 0;
      for (size_t d = 0; d < contexts.size(); ++d) {
        uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
        // A Modbus/TCP reply to one register: the 7-byte header, function 3, 2 bytes of data.
        if (sent[d] && modbus_receive_confirmation(contexts[d], reply) == 11 && reply[7] == 0x03)
          ++requests;
        else
          ++failures;
      }
    }
    busy += Now() - before;
  }
  const double cpu = qmb::bench::ProcessCpuSeconds() - cpuBefore;
  const double user = qmb::bench::ProcessUserSeconds() - userBefore;
  const double wall = Now() - started;
  if (devices > 1)
    std::printf("libmodbus burst client: %ld devices, %ld bursts (%.1f/s)\n", devices, steps,
                static_cast<double>(steps) / wall);
  std::printf(
      "libmodbus client: %ld requests in %.1f s (%.0f/s), %ld failed; CPU %.3f s = %.1f us per "
      "request (getrusage user %.1f us); %.1f us wall per request\n",
      requests, wall, static_cast<double>(requests) / wall, failures, cpu,
      requests ? cpu / static_cast<double>(requests) * 1e6 : 0.0,
      requests ? user / static_cast<double>(requests) * 1e6 : 0.0,
      requests ? busy / static_cast<double>(requests) * 1e6 : 0.0);
  for (modbus_t* each : contexts) {
    modbus_close(each);
    modbus_free(each);
  }
  return failures == 0 ? 0 : 1;
}
