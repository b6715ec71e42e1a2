// Helpers for tests on the real Qt loop: bounded waits and pseudo-terminal pairs linked as COM
// ports, so nothing in a test can hang or depend on a fixed sleep where an event can be awaited.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

namespace qmb::test {

// Runs the Qt loop, blocked in the kernel between events, until the predicate holds or the
// deadline passes; false on the deadline.
inline bool WaitUntil(const std::function<bool()>& done, int milliseconds = 3000) {
  QDeadlineTimer deadline(milliseconds);
  // Makes the blocking wait return at the deadline at the latest; repeating, since even a
  // precise timer may fire a little before the deadline counts as passed.
  QTimer wake;
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(std::max(1, milliseconds));
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Keeps the loop running for a while (to see that something does not happen).
inline void RunFor(int milliseconds) {
  WaitUntil([] { return false; }, milliseconds);
}

// A pseudo-terminal pair: the test holds the master (the far end); the slave is the device the
// port opens. The slave descriptor from openpty is closed so that the test is not a second
// holder of the device.
class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    device_ = ttyname(slave);
    ::close(slave);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& Device() const { return device_; }
  int Master() const { return master_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void Write(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        // The slave's input is full: let the loop (and the port's reads) run meanwhile.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        ::poll(&p, 1, 10);
      }
    }
  }
  // Reads what the port sent until count bytes came or the time is up.
  std::string Read(size_t count, int milliseconds = 3000) const {
    std::string got;
    const auto drain = [&] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(master_, buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<size_t>(n));
    };
    // Wakes the loop when the port's bytes reach the far end.
    QSocketNotifier readable(master_, QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, drain);
    drain();
    WaitUntil([&] { return got.size() >= count; }, milliseconds);
    return got;
  }

 private:
  int master_ = -1;
  std::string device_;
};

// A directory of COMn links, named to the port through QORMODBUS_COMDIR while it lives.
class ComDirectory {
 public:
  ComDirectory() { setenv("QORMODBUS_COMDIR", dir_.path().toLocal8Bit().constData(), 1); }
  ~ComDirectory() { unsetenv("QORMODBUS_COMDIR"); }
  void Link(int number, const std::string& target) const {
    const std::string link = Path(number);
    ::unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink failed");
  }
  std::string Path(int number) const {
    return dir_.path().toStdString() + "/COM" + std::to_string(number);
  }
  std::string Dir() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
};

}  // namespace qmb::test
