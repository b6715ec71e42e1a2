// qmb_modbus_tcp_slave: a Modbus/TCP slave on libmodbus for the scale runs, fast enough that the
// slave is never what limits a measurement. Serves 1000 of each kind (holding register n holds
// n), any number of connections, every unit id; counts the requests of each unit id, so the
// driver (unit FF) and a libmodbus client (unit 1) sharing it are told apart.
//
// For the MQTT bridge's run (bench/mqtt_bench.py) the holding registers can also change, each by
// one at every change, so that a subscriber following them sees a gap as a jump of more than one:
//   --change-ms MS   every holding register changes every MS milliseconds (a device's own pace);
//   --change-on-read a holding register changes each time it is read (every read a change, so a
//                    jump can only be a change that was read and then lost).
// While changing it prints "made N" (the changes made so far, one per register) at most every
// 100 ms; SIGUSR1 stops the changes and prints "frozen N", so that a run can wait for the last
// value to arrive.
//
// Usage: qmb_modbus_tcp_slave PORT [--change-ms MS | --change-on-read]
// Prints "ready PORT" once listening; on SIGTERM or SIGINT prints "requests unit255=N unit1=M
// other=K" and exits.
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRegisters = 1000;

volatile sig_atomic_t stopping = 0;
void OnStop(int) {
  stopping = 1;
}
volatile sig_atomic_t freezing = 0;
void OnFreeze(int) {
  freezing = 1;
}

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The holding registers a read-holding-registers request (function 3) asked for, clipped to the
// map; false for any other request.
bool HoldingRange(const uint8_t* query, int length, int& first, int& count) {
  constexpr int kFunction = 7;  // after the seven-byte Modbus/TCP header
  if (length < kFunction + 5 || query[kFunction] != 3) return false;
  first = (query[kFunction + 1] << 8) | query[kFunction + 2];
  count = (query[kFunction + 3] << 8) | query[kFunction + 4];
  if (first >= kRegisters) return false;
  if (first + count > kRegisters) count = kRegisters - first;
  return count > 0;
}

}  // namespace

int main(int argc, char** argv) {
  double changeSeconds = 0;  // 0: no change on a clock
  bool changeOnRead = false;
  bool usage = argc < 2;
  for (int i = 2; i < argc && !usage; ++i) {
    if (std::strcmp(argv[i], "--change-ms") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      changeSeconds = std::atoi(argv[++i]) / 1000.0;
    } else if (std::strcmp(argv[i], "--change-on-read") == 0) {
      changeOnRead = true;
    } else {
      usage = true;
    }
  }
  if (usage || (changeOnRead && changeSeconds > 0)) {
    std::fprintf(stderr, "usage: %s PORT [--change-ms MS | --change-on-read]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_mapping_t* map = modbus_mapping_new(kRegisters, kRegisters, kRegisters, kRegisters);
  if (!ctx || !map) {
    std::fprintf(stderr, "qmb_modbus_tcp_slave: %s\n", modbus_strerror(errno));
    return 1;
  }
  for (int i = 0; i < kRegisters; ++i) {
    map->tab_registers[i] = static_cast<uint16_t>(i + 1);
    map->tab_input_registers[i] = static_cast<uint16_t>(i + 1);
    map->tab_bits[i] = static_cast<uint8_t>(i % 2);
    map->tab_input_bits[i] = static_cast<uint8_t>((i / 2) % 2);
  }
  const int server = modbus_tcp_listen(ctx, 256);
  if (server < 0) {
    std::fprintf(stderr, "qmb_modbus_tcp_slave: cannot listen on %d: %s\n", port,
                 modbus_strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  struct sigaction freeze {};
  freeze.sa_handler = OnFreeze;
  sigaction(SIGUSR1, &freeze, nullptr);
  // The stop signals are let in only while waiting in pselect, so that one arriving between the
  // check of the flag and the wait cannot be missed.
  sigset_t stops;
  sigset_t waiting;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGUSR1);
  sigprocmask(SIG_BLOCK, &stops, &waiting);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGUSR1);
  std::printf("ready %d\n", port);
  std::fflush(stdout);

  unsigned long long byUnit[3] = {0, 0, 0};  // FF, 1, any other
  fd_set all;
  FD_ZERO(&all);
  FD_SET(server, &all);
  int highest = server;
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  const bool changing = changeOnRead || changeSeconds > 0;
  unsigned long long made = 0;  // register changes, one per register
  unsigned long long told = 0;
  double nextChange = Now() + changeSeconds;  // absolute, so that the pace does not drift
  double nextTell = Now() + 0.1;
  bool frozen = false;
  while (!stopping) {
    if (freezing && !frozen) {
      frozen = true;
      std::printf("frozen %llu\n", made);
      std::fflush(stdout);
    }
    timespec wait{};
    timespec* timeout = nullptr;
    if (changing && !frozen) {
      const double now = Now();
      if (changeSeconds > 0 && now >= nextChange) {
        for (int i = 0; i < kRegisters; ++i) ++map->tab_registers[i];
        made += kRegisters;
        nextChange += changeSeconds;
      }
      if (made != told && now >= nextTell) {
        std::printf("made %llu\n", made);
        std::fflush(stdout);
        told = made;
        nextTell = now + 0.1;
      }
      double until = changeSeconds > 0 ? nextChange : nextTell;
      if (made != told && nextTell < until) until = nextTell;
      const double left = until > now ? until - now : 0;
      wait.tv_sec = static_cast<time_t>(left);
      wait.tv_nsec = static_cast<long>((left - static_cast<double>(wait.tv_sec)) * 1e9);
      timeout = &wait;
    }
    fd_set ready = all;
    const int woken = pselect(highest + 1, &ready, nullptr, nullptr, timeout, &waiting);
    if (woken < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (woken == 0) continue;
    for (int fd = 0; fd <= highest; ++fd) {
      if (!FD_ISSET(fd, &ready)) continue;
      if (fd == server) {
        const int client = accept(server, nullptr, nullptr);
        if (client >= 0) {
          FD_SET(client, &all);
          if (client > highest) highest = client;
        }
        continue;
      }
      modbus_set_socket(ctx, fd);
      const int length = modbus_receive(ctx, query);
      if (length > 0) {
        // The unit id is the last byte of the seven-byte Modbus/TCP header.
        const int unit = query[6];
        ++byUnit[unit == 0xFF ? 0 : unit == 1 ? 1 : 2];
        modbus_reply(ctx, query, length, map);
        int first = 0;
        int count = 0;
        if (changeOnRead && !frozen && HoldingRange(query, length, first, count)) {
          for (int i = first; i < first + count; ++i) ++map->tab_registers[i];
          made += static_cast<unsigned long long>(count);
        }
      } else if (length == -1) {
        close(fd);
        FD_CLR(fd, &all);
      }
    }
  }
  std::printf("requests unit255=%llu unit1=%llu other=%llu\n", byUnit[0], byUnit[1], byUnit[2]);
  std::fflush(stdout);
  close(server);
  modbus_mapping_free(map);
  modbus_free(ctx);
  return 0;
}
