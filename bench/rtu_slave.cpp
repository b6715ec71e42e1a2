// qmb_rtu_slave: Modbus RTU devices on pseudo-terminals for the RTU scale run, fast enough that
// they are never what limits a measurement. Makes COUNT pseudo-terminal pairs, links their device
// ends as FOLDER/COM1 ... FOLDER/COMn (the folder QORMODBUS_COMDIR names), and answers reads of
// holding and input registers (functions 3 and 4) on each, as any slave address: register n
// (wire address n - 1) holds n. A request with a bad CRC, or of another function, gets nothing.
//
// Usage: qmb_rtu_slave FOLDER COUNT
// Prints "ready" once the links exist; on SIGTERM or SIGINT prints "requests N bad M" and exits.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;
void OnStop(int) {
  stopping = 1;
}

uint16_t Crc(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

using Clock = std::chrono::steady_clock;

struct Device {
  int master = -1;
  std::string received;
  // With no one on the device end, the master reports a hang-up at every poll: it is left out
  // of the wait for a while, then looked at again.
  Clock::time_point restAfterHangUp{};
};

// Answers the whole requests at the front of the device's input.
void Serve(Device& device, long& requests, long& bad) {
  std::string& in = device.received;
  while (in.size() >= 8) {
    const auto* r = reinterpret_cast<const uint8_t*>(in.data());
    const bool crcGood = Crc(r, 6) == static_cast<uint16_t>(r[6] | (r[7] << 8));
    if (!crcGood || (r[1] != 3 && r[1] != 4)) {
      ++bad;
      in.erase(0, 1);  // out of step: look for the next frame one byte on
      continue;
    }
    const unsigned address = static_cast<unsigned>(r[2] << 8 | r[3]);
    const unsigned quantity = std::min(static_cast<unsigned>(r[4] << 8 | r[5]), 125u);
    std::vector<uint8_t> reply = {r[0], r[1], static_cast<uint8_t>(2 * quantity)};
    for (unsigned i = 0; i < quantity; ++i) {
      const unsigned value = (address + i + 1) & 0xFFFF;
      reply.push_back(static_cast<uint8_t>(value >> 8));
      reply.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    const uint16_t crc = Crc(reply.data(), reply.size());
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    if (write(device.master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
      ++bad;
    ++requests;
    in.erase(0, 8);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FOLDER COUNT\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const int count = std::atoi(argv[2]);
  std::vector<Device> devices(static_cast<size_t>(std::max(count, 0)));
  for (size_t i = 0; i < devices.size(); ++i) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      std::fprintf(stderr, "qmb_rtu_slave: openpty: %s\n", std::strerror(errno));
      return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string link = folder + "/COM" + std::to_string(i + 1);
    if (symlink(ttyname(slave), link.c_str()) != 0) {
      std::fprintf(stderr, "qmb_rtu_slave: %s: %s\n", link.c_str(), std::strerror(errno));
      return 1;
    }
    // The device end is the driver's alone: a second holder would make it "in use".
    close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    devices[i].master = master;
  }

  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // The stop signals are let in only while waiting, so one cannot slip between check and wait.
  sigset_t stops;
  sigset_t waiting;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &waiting);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGINT);
  std::printf("ready\n");
  std::fflush(stdout);

  long requests = 0;
  long bad = 0;
  std::vector<pollfd> fds;
  std::vector<Device*> polled;
  std::array<char, 4096> buffer{};
  while (!stopping) {
    const Clock::time_point now = Clock::now();
    fds.clear();
    polled.clear();
    for (Device& device : devices) {
      if (device.restAfterHangUp > now) continue;
      fds.push_back({device.master, POLLIN, 0});
      polled.push_back(&device);
    }
    const timespec rest{0, 50 * 1000 * 1000};
    const int ready = ppoll(fds.data(), fds.size(), &rest, &waiting);
    if (ready <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      Device& device = *polled[i];
      if (fds[i].revents & POLLIN) {
        const ssize_t got = read(device.master, buffer.data(), buffer.size());
        if (got > 0) {
          device.received.append(buffer.data(), static_cast<size_t>(got));
          Serve(device, requests, bad);
          continue;
        }
      }
      if (fds[i].revents & (POLLHUP | POLLERR)) {
        device.received.clear();
        device.restAfterHangUp = now + std::chrono::milliseconds(50);
      }
    }
  }
  std::printf("requests %ld bad %ld\n", requests, bad);
  return 0;
}
