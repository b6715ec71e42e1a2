// The serial port on real pseudo-terminal pairs: COM numbers through QORMODBUS_COMDIR, settings
// on an open port, the exclusive claim, triggers and the receive path, and a far end that goes
// away. The test holds the master side of each pair as the device's far end.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <vector>

#include "QtTestSupport.h"
#include "platform/Log.h"
#include "platform/qt/QtSerialPort.h"

namespace qmb {
namespace {

using test::ComDirectory;
using test::PtyPair;
using test::WaitUntil;

// Collects log lines of every level while it lives, whatever level the environment asks for.
class LogCapture {
 public:
  LogCapture() : level_(CurrentLogLevel()) {
    SetLogLevel(LogLevel::Debug);
    SetLogSink([this](LogLevel, const std::string& line) { lines.push_back(line); });
  }
  ~LogCapture() {
    SetLogSink(nullptr);
    SetLogLevel(level_);
  }
  int Count(const std::string& part) const {
    int n = 0;
    for (const auto& line : lines) n += line.find(part) != std::string::npos;
    return n;
  }
  std::vector<std::string> lines;

 private:
  LogLevel level_;
};

// A port whose available-data handler takes exactly the bytes it is told about.
struct Receiver {
  explicit Receiver(QtSerialPort& port) : port(port) {
    port.OnAvailable = [this](uint16_t count) {
      ++events;
      counts += count;
      for (uint16_t i = 0; i < count; ++i) bytes += static_cast<char>(this->port.GetByte());
    };
  }
  QtSerialPort& port;
  std::string bytes;
  int events = 0;
  size_t counts = 0;
};

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

termios SlaveSettings(int observer) {
  termios tio{};
  tcgetattr(observer, &tio);
  return tio;
}

TEST(QtSerialPort, OpensByComNumberAndCarriesBytesBothWays) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(3, pty.Device());
  EXPECT_EQ(QtSerialPort::DevicePath(3), dir.Path(3));
  EXPECT_EQ(QtSerialPort::DevicePath(7), "/dev/ttyS6") << "a number with no link";
  EXPECT_EQ(QtSerialPort::DevicePath(0), "");

  QtSerialPort port;
  Receiver receiver(port);
  EXPECT_THROW(port.PutByte('x'), SerialError);
  EXPECT_THROW(port.AddTrigger("OK", false), SerialError);
  EXPECT_EQ(port.OutputFree(), 0);
  port.SetPortNumber(3);
  port.SetDataBits(8);
  port.Open();
  ASSERT_TRUE(port.IsOpen());
  EXPECT_TRUE(port.IsPseudoTerminal());
  EXPECT_EQ(port.DevicePathInUse(), RealPath(pty.Device()));

  port.PutBlock("ATZ\r");
  port.PutByte(0x00);
  port.PutByte(0xFF);
  EXPECT_EQ(pty.Read(6), std::string("ATZ\r\0\xFF", 6));
  EXPECT_TRUE(WaitUntil([&] { return port.OutputFree() == SerialPort::kOutputBufferSize; }));

  pty.Write(std::string("OK\r\n\0\x80", 6));
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == 6; }));
  EXPECT_EQ(receiver.bytes, std::string("OK\r\n\0\x80", 6));
  EXPECT_THROW(port.GetByte(), SerialError) << "no byte waits";

  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_THROW(port.PutBlock("x"), SerialError);
  EXPECT_EQ(port.Lines().dcd, false);

  QtSerialPort missing;
  missing.SetPortNumber(250);  // no link, and no /dev/ttyS249
  try {
    missing.Open();
    FAIL() << "opened a port with no device";
  } catch (const SerialError& e) {
    EXPECT_NE(std::string(e.what()).find("COM250"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(missing.IsOpen());
  QtSerialPort unnumbered;
  EXPECT_THROW(unnumbered.Open(), SerialError);
}

TEST(QtSerialPort, SettingsApplyAtOnceAndAPseudoTerminalsRefusalsAreNotedOnce) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(1, pty.Device());
  // A descriptor of our own on the device shows the settings the port left on it.
  const int observer = ::open(pty.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(observer, 0);
  LogCapture log;

  QtSerialPort port;
  Receiver receiver(port);
  EXPECT_EQ(port.DataBits(), 7) << "the window layout's defaults";
  EXPECT_EQ(port.StopBits(), 2);
  EXPECT_EQ(port.BaudRate(), 38400);
  port.SetPortNumber(1);
  port.SetDataBits(8);
  port.SetStopBits(1);
  port.SetBaudRate(9600);
  port.Open();
  termios tio = SlaveSettings(observer);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(log.Count("takes only 8 data bits"), 0) << "8N1 is within a pty's reach";
  EXPECT_EQ(log.Count("no modem control lines"), 1);

  // Applied to the open port at once.
  port.SetBaudRate(19200);
  port.SetStopBits(2);
  tio = SlaveSettings(observer);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);

  // What a pty cannot take is noted once and the port carries on; bytes pass unchanged.
  port.SetDataBits(7);
  port.SetParity(SerialParity::Even);
  port.SetParity(SerialParity::Odd);
  EXPECT_EQ(log.Count("takes only 8 data bits"), 1);
  port.SetRts(true);
  port.SetDtr(false);
  EXPECT_EQ(log.Count("no modem control lines"), 1) << "noted again";
  port.SetRs485(true);
  port.SetRs485(false);
  port.SetRs485(true);
  EXPECT_EQ(log.Count("has no RS-485"), 1);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.DataBits(), 7);
  EXPECT_EQ(port.Parity(), SerialParity::Odd);
  pty.Write("\xC1\x41");
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == 2; }));
  EXPECT_EQ(receiver.bytes, "\xC1\x41");
  port.PutBlock("\xC1");
  EXPECT_EQ(pty.Read(1), "\xC1");

  // No modem lines on a pty, and no flow control ever switched on.
  const SerialLineState lines = port.Lines();
  EXPECT_FALSE(lines.dcd || lines.cts || lines.dsr);
  EXPECT_EQ(port.FlowState(), FlowControlState::Off);

  // Nonsense is refused whether the port is open or not.
  EXPECT_THROW(port.SetDataBits(9), SerialError);
  EXPECT_THROW(port.SetStopBits(3), SerialError);
  EXPECT_THROW(port.SetBaudRate(0), SerialError);
  port.Close();
  ::close(observer);
}

TEST(QtSerialPort, AClaimedDeviceIsInUseThroughEveryPathAndForEveryone) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(1, pty.Device());
  dir.Link(2, pty.Device());  // the same device under another name
  QtSerialPortFactory factory;
  std::string reason;
  EXPECT_FALSE(factory.PortAvailable(0));
  EXPECT_FALSE(factory.PortAvailable(250, &reason));
  EXPECT_NE(reason.find("COM250: no device at"), std::string::npos) << reason;
  EXPECT_TRUE(factory.PortAvailable(1));
  EXPECT_TRUE(factory.PortAvailable(2));

  auto first = factory.CreatePort();
  first->SetPortNumber(1);
  first->Open();
  EXPECT_FALSE(factory.PortAvailable(1, &reason));
  EXPECT_NE(reason.find("in use by another site of this server"), std::string::npos) << reason;
  EXPECT_FALSE(factory.PortAvailable(2)) << "another path to a claimed device";
  for (int number : {1, 2}) {
    auto second = factory.CreatePort();
    second->SetPortNumber(number);
    try {
      second->Open();
      ADD_FAILURE() << "COM" << number << " opened while claimed";
    } catch (const SerialError& e) {
      EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(second->IsOpen());
  }
  first->Close();
  EXPECT_TRUE(factory.PortAvailable(2));

  // Another program holding the device, with a lock or with exclusive mode (which does not
  // keep root out by itself; these tests run as root on CI).
  const int other = ::open(pty.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(factory.PortAvailable(1));
  EXPECT_THROW(first->Open(), SerialError);
  flock(other, LOCK_UN);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  EXPECT_FALSE(factory.PortAvailable(1));
  ioctl(other, TIOCNXCL);
  EXPECT_TRUE(factory.PortAvailable(1));
  ::close(other);

  // Held by another process: the reason names it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(pty.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && write(ready[1], "x", 1) == 1) pause();
    _exit(1);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_FALSE(factory.PortAvailable(1, &reason));
  EXPECT_NE(reason.find("in use by another program (process " + std::to_string(holder)),
            std::string::npos)
      << reason;
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);

  // A file that is no serial device is not a port.
  const std::string file = dir.Dir() + "/plain";
  std::ofstream(file) << "x";
  dir.Link(5, file);
  EXPECT_FALSE(factory.PortAvailable(5));
  auto plain = factory.CreatePort();
  plain->SetPortNumber(5);
  EXPECT_THROW(plain->Open(), SerialError);

  // The claim is released with the port: it opens again.
  first->Open();
  EXPECT_TRUE(first->IsOpen());
}

TEST(QtSerialPort, TriggersMatchAcrossReadsAndComeAfterTheirBytes) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(1, pty.Device());
  QtSerialPort port;
  Receiver receiver(port);
  std::vector<std::pair<uint16_t, std::string>> fired;  // handle, bytes received by then
  port.OnTrigger = [&](uint16_t handle) { fired.emplace_back(handle, receiver.bytes); };
  port.SetPortNumber(1);
  port.Open();

  const uint16_t ok = port.AddTrigger("OK\r\n", false);
  const uint16_t prompt = port.AddTrigger("ready>", true);
  EXPECT_GT(ok, 0);
  EXPECT_NE(ok, prompt);
  // Each piece is awaited before the next is written, so they come in separate reads.
  for (const std::string piece : {"xxO", "K", "\r", "\n"}) {
    const size_t before = receiver.bytes.size();
    pty.Write(piece);
    ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == before + piece.size(); }));
  }
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].first, ok);
  EXPECT_EQ(fired[0].second, "xxOK\r\n") << "the trigger came before its bytes";

  fired.clear();
  pty.Write("READY>ok\r\n");  // case ignored for one trigger, not for the other
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == 16; }));
  WaitUntil([&] { return fired.size() > 1; }, 100);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].first, prompt);

  // Removed triggers are silent; texts longer than 21 characters are refused.
  fired.clear();
  port.RemoveTrigger(ok);
  pty.Write("OK\r\n");
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == 20; }));
  WaitUntil([&] { return !fired.empty(); }, 100);
  EXPECT_TRUE(fired.empty());
  EXPECT_GT(port.AddTrigger(std::string(21, 'x'), false), 0);
  EXPECT_THROW(port.AddTrigger(std::string(22, 'x'), false), SerialError);

  // Below the threshold bytes wait, unless they complete a trigger: then they are delivered
  // first, so the trigger's handler still finds them.
  port.SetAvailableThreshold(100);
  const int events = receiver.events;
  pty.Write("abc");
  WaitUntil([&] { return receiver.events > events; }, 150);
  EXPECT_EQ(receiver.events, events) << "delivered below the threshold";
  port.AddTrigger("z", false);
  fired.clear();
  pty.Write("dz");
  ASSERT_TRUE(WaitUntil([&] { return !fired.empty(); }));
  EXPECT_EQ(fired[0].second.substr(fired[0].second.size() - 5), "abcdz");
  port.SetAvailableThreshold(1);

  // Triggers do not survive a close.
  port.Close();
  port.Open();
  fired.clear();
  pty.Write("READY>");
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() == 31; }));
  WaitUntil([&] { return !fired.empty(); }, 100);
  EXPECT_TRUE(fired.empty());
}

TEST(QtSerialPort, TheReceivePathTakesEveryByteInOrder) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(1, pty.Device());
  QtSerialPort port;
  Receiver receiver(port);
  int hits = 0;
  port.OnTrigger = [&](uint16_t) { ++hits; };
  port.SetPortNumber(1);
  port.Open();
  port.AddTrigger("\r\n", false);

  std::string sent;
  for (int i = 0; sent.size() < 200000; ++i) {
    sent += std::to_string(i);
    sent += (i % 10 == 9) ? "\r\n" : std::string(1, static_cast<char>(i));
  }
  pty.Write(sent);
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes.size() >= sent.size(); }, 10000));
  EXPECT_TRUE(receiver.bytes == sent) << "bytes lost, added or reordered";
  EXPECT_EQ(receiver.counts, sent.size()) << "counts do not add up to the bytes taken";
  EXPECT_LT(receiver.events, static_cast<int>(sent.size()) / 10) << "one event per byte";
  size_t lines = 0;
  for (size_t at = 0; (at = sent.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(static_cast<size_t>(hits), lines);
}

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

TEST(QtSerialPort, AFarEndThatGoesAwayIsReportedOnceAndThePortCloses) {
  ComDirectory dir;
  PtyPair pty;
  dir.Link(1, pty.Device());
  QtSerialPort port;
  Receiver receiver(port);
  std::vector<std::string> failures;
  port.OnFailure = [&](const std::string& reason) { failures.push_back(reason); };
  port.SetPortNumber(1);
  port.Open();
  pty.Write("hi");
  ASSERT_TRUE(WaitUntil([&] { return receiver.bytes == "hi"; }));

  pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return !failures.empty(); }));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_NE(failures[0].find("COM1"), std::string::npos) << failures[0];

  // A port left spinning on the dead descriptor would burn the whole window in CPU time.
  const double cpuBefore = ProcessCpuMs();
  test::RunFor(300);
  EXPECT_LT(ProcessCpuMs() - cpuBefore, 100.0) << "busy loop after the device went away";
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_THROW(port.PutBlock("x"), SerialError);
  EXPECT_THROW(port.Open(), SerialError) << "the device is gone";
  // With its link gone too, the number does not fall back to /dev/ttyS0, another device.
  ::unlink(dir.Path(1).c_str());
  try {
    port.Open();
    ADD_FAILURE() << "opened " << port.DevicePathInUse();
  } catch (const SerialError& e) {
    EXPECT_EQ(std::string(e.what()), "COM1: no device at " + dir.Path(1) + " (the link is gone)");
  }
}

}  // namespace
}  // namespace qmb
