// The serial receive path on a pseudo-terminal, end to end through QSerialPort, our trigger
// matcher and the available-data event:
//   throughput  bytes/s reaching the available-data handler (taking each byte with GetByte) with
//               a CR LF trigger armed, while a writer thread keeps the far end full;
//   latency     wall time from one byte written on the far end to the handler running, with the
//               main thread asleep in the loop beforehand, as a device's reply finds it.
// Usage: qmb_serial_receive_bench [megabytes=64] [latency samples=1000]
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // On the dispatcher of the server without windows.
  QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int samples = argc > 2 ? std::atoi(argv[2]) : 1000;
  qmb::SetLogLevel(qmb::LogLevel::Warning);

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const std::string device = ttyname(slave);
  ::close(slave);
  QTemporaryDir dir;
  const std::string link = dir.path().toStdString() + "/COM1";
  if (symlink(device.c_str(), link.c_str()) != 0) return 1;
  setenv("QORMODBUS_COMDIR", dir.path().toLocal8Bit().constData(), 1);

  qmb::QtMessageLoop loop;
  qmb::QtSerialPort port;
  port.SetPortNumber(1);
  port.SetDataBits(8);
  port.SetStopBits(1);
  port.SetBaudRate(115200);
  port.Open();
  port.AddTrigger("\r\n", false);

  // Throughput.
  size_t received = 0;
  size_t events = 0;
  size_t triggers = 0;
  uint32_t checksum = 0;
  port.OnAvailable = [&](uint16_t count) {
    ++events;
    for (uint16_t i = 0; i < count; ++i) checksum += port.GetByte();
    received += count;
  };
  port.OnTrigger = [&](uint16_t) { ++triggers; };
  const size_t total = megabytes << 20;
  std::string chunk(4096, 'x');
  for (size_t i = 62; i < chunk.size(); i += 64) chunk.replace(i, 2, "\r\n");
  const auto started = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < total; sent += chunk.size())
      WriteAll(master, chunk.data(), chunk.size());
  });
  while (received < total) loop.WaitForEvents();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  writer.join();
  std::printf(
      "throughput: %zu bytes in %.3f s = %.1f MB/s (%.0f bytes/s), %zu events, %zu triggers\n",
      received, seconds, received / seconds / 1e6, received / seconds, events, triggers);

  // Latency.
  std::atomic<int64_t> writtenAt{0};  // one byte in flight at a time
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(samples));
  std::atomic<int> handled{0};
  port.OnAvailable = [&](uint16_t count) {
    const auto now = Clock::now();
    for (uint16_t i = 0; i < count; ++i) port.GetByte();
    const Clock::time_point sent{Clock::duration(writtenAt.load())};
    micros.push_back(std::chrono::duration<double, std::micro>(now - sent).count());
    handled.fetch_add(1);
  };
  std::thread pinger([&] {
    for (int i = 0; i < samples; ++i) {
      // Let the main thread fall asleep in the loop before the byte comes.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      writtenAt.store(Clock::now().time_since_epoch().count());
      WriteAll(master, "A", 1);
      while (handled.load() <= i) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  while (handled.load() < samples) loop.WaitForEvents();
  pinger.join();
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  std::printf("latency: %d bytes, median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n", samples,
              at(0.5), at(0.9), at(0.99), micros.back());
  std::printf("(checksum %u)\n", checksum);
  port.Close();
  ::close(master);
  return 0;
}
