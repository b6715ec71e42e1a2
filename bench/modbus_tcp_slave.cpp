// qmb_modbus_tcp_slave: a Modbus/TCP slave on libmodbus for the scale runs, fast enough that the
// slave is never what limits a measurement. Serves 1000 of each kind (holding register n holds
// n), any number of connections, every unit id; counts the requests of each unit id, so the
// driver (unit FF) and a libmodbus client (unit 1) sharing it are told apart.
//
// Usage: qmb_modbus_tcp_slave PORT
// Prints "ready PORT" once listening; on SIGTERM or SIGINT prints "requests unit255=N unit1=M
// other=K" and exits.
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t stopping = 0;
void OnStop(int) {
  stopping = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_mapping_t* map = modbus_mapping_new(1000, 1000, 1000, 1000);
  if (!ctx || !map) {
    std::fprintf(stderr, "qmb_modbus_tcp_slave: %s\n", modbus_strerror(errno));
    return 1;
  }
  for (int i = 0; i < 1000; ++i) {
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
  // The stop signals are let in only while waiting in pselect, so that one arriving between the
  // check of the flag and the wait cannot be missed.
  sigset_t stops;
  sigset_t waiting;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &waiting);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGINT);
  std::printf("ready %d\n", port);
  std::fflush(stdout);

  unsigned long long byUnit[3] = {0, 0, 0};  // FF, 1, any other
  fd_set all;
  FD_ZERO(&all);
  FD_SET(server, &all);
  int highest = server;
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  while (!stopping) {
    fd_set ready = all;
    if (pselect(highest + 1, &ready, nullptr, nullptr, nullptr, &waiting) < 0) {
      if (errno == EINTR) continue;
      break;
    }
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
