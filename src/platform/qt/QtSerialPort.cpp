#include "platform/qt/QtSerialPort.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/ComPorts.h"
#include "platform/Log.h"

namespace qmb {

namespace {

// Received bytes kept for a handler that does not take them all; beyond this the oldest go.
constexpr size_t kInputLimit = 65536;
// Modem-line poll for the status lights; one ioctl per poll.
constexpr int kLinePollMs = 100;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// "in use by another program", with the holder's process id and name where /proc shows it (all
// of them to root, a user's own otherwise). ownFd: this process's own descriptor of the device
// while asking, which is not a holder.
std::string InUseText(const std::string& path, int ownFd = -1) {
  DIR* proc = opendir("/proc");
  std::string holder;
  while (proc && holder.empty()) {
    const dirent* process = readdir(proc);
    if (!process) break;
    const char* name = process->d_name;
    if (*name < '1' || *name > '9') continue;
    const std::string fdDir = std::string("/proc/") + name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      const std::string link = fdDir + "/" + entry->d_name;
      char target[PATH_MAX];
      const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      if (path != target) continue;
      if (std::to_string(getpid()) == name && std::to_string(ownFd) == entry->d_name) continue;
      holder = name;
      break;
    }
    closedir(fds);
  }
  if (proc) closedir(proc);
  if (holder.empty()) return "in use by another program";
  if (holder == std::to_string(getpid())) return "in use by another site of this server";
  std::string command;
  if (FILE* comm = std::fopen(("/proc/" + holder + "/comm").c_str(), "r")) {
    char text[64] = {};
    if (std::fgets(text, sizeof text, comm)) command = text;
    std::fclose(comm);
    while (!command.empty() && command.back() == '\n') command.pop_back();
  }
  return "in use by another program (process " + holder +
         (command.empty() ? std::string() : " " + command) + ")";
}

bool IsPseudoTerminalDevice(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return (m >= 136 && m < 144) || m == 3;  // Unix98 pty slaves, legacy BSD pty slaves
}

// The speed constant of a standard rate, to check what the device took; 0 for other rates.
speed_t StandardSpeed(int32_t baud) {
  static const std::pair<int32_t, speed_t> kSpeeds[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const auto& [rate, speed] : kSpeeds)
    if (rate == baud) return speed;
  return 0;
}

// Runs an event handler of the engine. An exception must not unwind through Qt's event loop,
// so it ends here, logged.
template <typename Handler, typename... Args>
void Invoke(const char* event, const Handler& handler, Args&&... args) {
  try {
    handler(std::forward<Args>(args)...);
  } catch (const std::exception& e) {
    LogError(std::string("serial port: the ") + event + " handler failed: " + e.what());
  } catch (...) {
    LogError(std::string("serial port: the ") + event + " handler failed");
  }
}

}  // namespace

QtSerialPort::QtSerialPort() {
  QObject::connect(&port_, &QSerialPort::readyRead, &context_, [this] { ReadArrived(); });
  QObject::connect(&port_, &QSerialPort::bytesWritten, &context_,
                   [this](qint64) { Transmitted(); });
  QObject::connect(&port_, &QSerialPort::errorOccurred, &context_,
                   [this](QSerialPort::SerialPortError error) { PortError(error); });
  linePoll_.setInterval(kLinePollMs);
  QObject::connect(&linePoll_, &QTimer::timeout, &context_, [this] { PollLines(); });
}

QtSerialPort::~QtSerialPort() {
  OnAvailable = nullptr;
  OnTrigger = nullptr;
  OnFailure = nullptr;
  OnTraffic = nullptr;
  OnLinesChanged = nullptr;
  Close();
}

std::string QtSerialPort::DevicePath(int number) {
  return LookUpComPort(number, ComPortPlaces::FromEnvironment()).path;
}

bool QtSerialPort::Claim(const std::string& path, int* keepFd, std::string& reason) {
  // Non-blocking so that a modem line without carrier cannot hold the open.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY)
      reason = InUseText(path);
    else if (error == EACCES || error == EPERM)
      reason = ErrnoText(error) +
               " (the server's user needs the device's group, usually dialout: sudo usermod -aG "
               "dialout USER, then log in again)";
    else
      reason = ErrnoText(error);
    return false;
  }
  bool ok = true;
  int exclusive = 0;
  if (!isatty(fd)) {
    reason = "not a serial device";
    ok = false;
  } else if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
    // Another holder asked for exclusive use; root may open such a device anyway, so ask.
    reason = InUseText(path, fd);
    ok = false;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Binds every path to the device and root alike, which lock files and TIOCEXCL do not.
    const int error = errno;
    reason = error == EWOULDBLOCK ? InUseText(path, fd) : "cannot be locked: " + ErrnoText(error);
    ok = false;
  }
  if (!ok || !keepFd) {
    ::close(fd);
    return ok;
  }
  *keepFd = fd;
  return true;
}

std::string QtSerialPort::Name() const {
  std::string name = "COM" + std::to_string(number_);
  if (!path_.empty()) name += " (" + path_ + ")";
  return name;
}

void QtSerialPort::RequireOpen(const char* what) const {
  if (!port_.isOpen())
    throw SerialError("Cannot " + std::string(what) + ": COM" + std::to_string(number_) +
                      " is not open");
}

void QtSerialPort::NoteOnce(const std::string& key, const std::string& text) {
  if (noted_.insert(key).second) LogInfo(text);
}

void QtSerialPort::Refused(const std::string& key, const std::string& what) {
  if (!isPty_) throw SerialError(Name() + ": the device refused " + what);
  // A pty has no line, so nothing is lost: its bytes pass unchanged whatever the framing.
  if (key == "framing")
    NoteOnce(key, Name() + ": a pseudo-terminal takes only 8 data bits without parity (refused: " +
                      what + "); the bytes pass unchanged");
  else
    NoteOnce(key, Name() + ": a pseudo-terminal refused " + what + "; carrying on without it");
}

void QtSerialPort::SetPortNumber(int number) {
  number_ = number;
}

void QtSerialPort::SetBaudRate(int32_t baud) {
  if (baud <= 0) throw SerialError("Invalid baud rate " + std::to_string(baud));
  baud_ = baud;
  if (port_.isOpen()) ApplyBaudRate();
}

void QtSerialPort::SetDataBits(int bits) {
  if (bits < 5 || bits > 8)
    throw SerialError("Invalid number of data bits " + std::to_string(bits));
  dataBits_ = bits;
  if (port_.isOpen()) ApplyFraming();
}

void QtSerialPort::SetStopBits(int bits) {
  if (bits != 1 && bits != 2)
    throw SerialError("Invalid number of stop bits " + std::to_string(bits));
  stopBits_ = bits;
  if (port_.isOpen()) ApplyFraming();
}

void QtSerialPort::SetParity(SerialParity parity) {
  parity_ = parity;
  if (port_.isOpen()) ApplyFraming();
}

void QtSerialPort::SetRs485(bool on) {
  rs485_ = on;
  if (!port_.isOpen()) return;
  ApplyRs485();
  ApplyModemOutputs();
}

void QtSerialPort::SetRts(bool on) {
  rts_ = on;
  if (port_.isOpen()) ApplyModemOutputs();
}

void QtSerialPort::SetDtr(bool on) {
  dtr_ = on;
  if (port_.isOpen()) ApplyModemOutputs();
}

void QtSerialPort::ApplyFraming() {
  static const QSerialPort::DataBits kDataBits[] = {QSerialPort::Data5, QSerialPort::Data6,
                                                    QSerialPort::Data7, QSerialPort::Data8};
  if (!port_.setDataBits(kDataBits[dataBits_ - 5])) {
    port_.clearError();
    Refused("framing", std::to_string(dataBits_) + " data bits");
  }
  const QSerialPort::Parity parity = parity_ == SerialParity::Odd    ? QSerialPort::OddParity
                                     : parity_ == SerialParity::Even ? QSerialPort::EvenParity
                                                                     : QSerialPort::NoParity;
  if (!port_.setParity(parity)) {
    port_.clearError();
    Refused("framing", "parity");
  }
  if (!port_.setStopBits(stopBits_ == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop)) {
    port_.clearError();
    Refused("framing", std::to_string(stopBits_) + " stop bits");
  }
  // Some drivers take a setting without complaint and quietly keep their own: read it back.
  termios tio{};
  if (tcgetattr(port_.handle(), &tio) != 0) return;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if ((tio.c_cflag & CSIZE) != kSizes[dataBits_ - 5])
    Refused("framing", std::to_string(dataBits_) + " data bits");
  const bool parityOn = (tio.c_cflag & PARENB) != 0;
  const bool odd = (tio.c_cflag & PARODD) != 0;
  if (parityOn != (parity_ != SerialParity::None) ||
      (parityOn && odd != (parity_ == SerialParity::Odd)))
    Refused("framing", "parity");
  if (((tio.c_cflag & CSTOPB) != 0) != (stopBits_ == 2))
    Refused("framing", std::to_string(stopBits_) + " stop bits");
}

void QtSerialPort::ApplyBaudRate() {
  if (!port_.setBaudRate(baud_)) {
    const std::string text = port_.errorString().toStdString();
    port_.clearError();
    Refused("baud", "the baud rate " + std::to_string(baud_) + " (" + text + ")");
    return;
  }
  const speed_t wanted = StandardSpeed(baud_);
  termios tio{};
  if (wanted && tcgetattr(port_.handle(), &tio) == 0 && cfgetospeed(&tio) != wanted)
    Refused("baud", "the baud rate " + std::to_string(baud_));
}

bool QtSerialPort::SetModemLine(int line, bool on) {
  int bits = line;
  return ioctl(port_.handle(), on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

void QtSerialPort::ApplyModemOutputs() {
  // In RS-485 mode RTS is the transmitter enable: the kernel or FinishTransmit own it.
  const bool rtsOwned = rs485Mode_ == Rs485Mode::Kernel || rs485Mode_ == Rs485Mode::Software;
  bool ok = rtsOwned || SetModemLine(TIOCM_RTS, rts_);
  ok = SetModemLine(TIOCM_DTR, dtr_) && ok;
  if (ok) return;
  if (!isPty_)
    throw SerialError(Name() + ": the device refused its modem control lines (RTS, DTR)");
  NoteOnce("lines",
           Name() + ": a pseudo-terminal has no modem control lines; carrying on without them");
}

void QtSerialPort::ApplyRs485() {
  const int fd = port_.handle();
  if (!rs485_) {
    if (rs485Mode_ == Rs485Mode::Kernel && savedRs485_.size() == sizeof(serial_rs485)) {
      serial_rs485 saved{};
      std::memcpy(&saved, savedRs485_.data(), sizeof saved);
      ioctl(fd, TIOCSRS485, &saved);
    }
    if (rs485Mode_ == Rs485Mode::Kernel || rs485Mode_ == Rs485Mode::Software)
      LogInfo(Name() + ": RS-485 off");
    rs485Mode_ = Rs485Mode::Off;
    savedRs485_.clear();
    transmitting_ = false;
    return;
  }
  if (rs485Mode_ == Rs485Mode::Kernel || rs485Mode_ == Rs485Mode::Software) return;
  serial_rs485 conf{};
  if (ioctl(fd, TIOCGRS485, &conf) == 0) {
    serial_rs485 mine = conf;
    mine.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    mine.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    if (ioctl(fd, TIOCSRS485, &mine) == 0) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(&conf);
      savedRs485_.assign(bytes, bytes + sizeof conf);
      rs485Mode_ = Rs485Mode::Kernel;
      LogInfo(Name() + ": RS-485 by the kernel driver (RTS raised while sending)");
      return;
    }
  }
  if (isPty_) {
    rs485Mode_ = Rs485Mode::Unavailable;
    NoteOnce("rs485", Name() + ": a pseudo-terminal has no RS-485; carrying on without it");
    return;
  }
  if (!SetModemLine(TIOCM_RTS, false))
    throw SerialError(Name() + ": RS-485 needs the RTS line, which the device refused");
  rs485Mode_ = Rs485Mode::Software;
  LogInfo(Name() + ": RS-485 by software RTS switching (the driver has no RS-485 support)");
}

void QtSerialPort::SetLowLatency() {
  // Many USB adapters hold received bytes for up to 16 ms unless asked not to.
  serial_struct serial{};
  const int fd = port_.handle();
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  if (serial.flags & ASYNC_LOW_LATENCY) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &serial) == 0)
    LogDebug(Name() + ": low-latency mode on");
  else
    LogDebug(Name() + ": the driver offers no low-latency mode");
}

void QtSerialPort::Open() {
  if (port_.isOpen()) {
    if (openedNumber_ == number_) return;
    Close();
  }
  if (number_ < 1) throw SerialError("No COM port number is set");
  const ComPortLookup lookup = LookUpComPort(number_, ComPortPlaces::FromEnvironment());
  const std::string& named = lookup.path;
  const std::string com = "COM" + std::to_string(number_);
  // Which folder gave the device, once per open: a port that keeps failing to reopen with the
  // same answer does not repeat it.
  const std::string described = lookup.Describe(number_);
  if (described != lookupLogged_) {
    LogInfo(described);
    lookupLogged_ = described;
  }
  // A port once opened through its link in a COM folder is opened through a link only: with the
  // link gone (removed with its device) the number must not fall back to /dev/ttyS(n-1), which
  // is another device.
  const bool viaLink = lookup.viaLink;
  if (!viaLink && linkedNumber_ == number_)
    throw SerialError(com + ": no device at " + linkPath_ + " (the link is gone)");
  char resolved[PATH_MAX];
  if (!realpath(named.c_str(), resolved))
    throw SerialError(com + ": no device at " + named + " (" + ErrnoText(errno) + "; " +
                      lookup.How() + ")");
  int fd = -1;
  std::string reason;
  if (!Claim(resolved, &fd, reason))
    throw SerialError(com + " (" + resolved + ", " + lookup.How() + "): " + reason);

  if (notedPath_ != resolved) noted_.clear();
  notedPath_ = resolved;
  isPty_ = IsPseudoTerminalDevice(fd);
  path_ = resolved;
  port_.setPortName(QString::fromLocal8Bit(resolved));
  // Opened with a framing every device takes; the site's framing follows, so that a setting the
  // device refuses is told apart from a device that cannot be opened.
  port_.setDataBits(QSerialPort::Data8);
  port_.setParity(QSerialPort::NoParity);
  port_.setStopBits(QSerialPort::OneStop);
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.setBaudRate(baud_);
  if (!port_.open(QIODevice::ReadWrite)) {
    const std::string text = port_.errorString().toStdString();
    port_.clearError();
    ::close(fd);
    path_.clear();
    throw SerialError(com + " (" + resolved + "): cannot open: " + text);
  }
  lockFd_ = fd;
  openedNumber_ = number_;
  lookupLogged_.clear();  // the next open tells its lookup again
  if (viaLink) {
    linkedNumber_ = number_;
    linkPath_ = named;
  }
  failing_ = false;
  try {
    SetLowLatency();
    ApplyFraming();
    ApplyBaudRate();
    ApplyRs485();
    ApplyModemOutputs();
  } catch (...) {
    Close();
    throw;
  }
  LogInfo(Name() + " open" + (isPty_ ? " (pseudo-terminal)" : ""));
  int bits = 0;
  linesPolled_ = ioctl(port_.handle(), TIOCMGET, &bits) == 0;
  if (linesPolled_) {
    lastLines_ = {};
    linesReported_ = false;
    linePoll_.start();
    PollLines();
  }
}

void QtSerialPort::Close() {
  linePoll_.stop();
  linesPolled_ = false;
  if (port_.isOpen()) {
    if (rs485Mode_ == Rs485Mode::Kernel && savedRs485_.size() == sizeof(serial_rs485)) {
      serial_rs485 saved{};
      std::memcpy(&saved, savedRs485_.data(), sizeof saved);
      ioctl(port_.handle(), TIOCSRS485, &saved);
    }
    if (transmitting_) SetModemLine(TIOCM_RTS, false);
    port_.close();
    LogInfo(Name() + " closed");
  }
  port_.clearError();
  if (lockFd_ >= 0) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
  path_.clear();
  openedNumber_ = 0;
  rs485Mode_ = Rs485Mode::Off;
  savedRs485_.clear();
  transmitting_ = false;
  triggers_.Clear();
  pendingHits_.clear();
  rx_.clear();
  rxHead_ = 0;
}

bool QtSerialPort::IsOpen() const {
  return port_.isOpen();
}

int QtSerialPort::OutputFree() const {
  if (!port_.isOpen()) return 0;
  // Bytes still in our queue and in the driver's both count against the buffer.
  int64_t queued = port_.bytesToWrite();
  int inDriver = 0;
  if (ioctl(port_.handle(), TIOCOUTQ, &inDriver) == 0 && inDriver > 0) queued += inDriver;
  return static_cast<int>(std::clamp<int64_t>(kOutputBufferSize - queued, 0, kOutputBufferSize));
}

void QtSerialPort::PutByte(uint8_t byte) {
  const char c = static_cast<char>(byte);
  Write(&c, 1);
}

void QtSerialPort::PutBlock(const std::string& bytes) {
  if (bytes.empty()) {
    RequireOpen("send");
    return;
  }
  Write(bytes.data(), bytes.size());
}

void QtSerialPort::Write(const char* data, size_t size) {
  RequireOpen("send");
  if (rs485Mode_ == Rs485Mode::Software && !transmitting_) {
    if (!SetModemLine(TIOCM_RTS, true))
      throw SerialError(Name() + ": cannot raise RTS to send: " + ErrnoText(errno));
    transmitting_ = true;
  }
  // Straight to the descriptor while nothing waits in QSerialPort's queue: its own path switches
  // the write notifier on and off around every frame, two epoll_ctl calls and two wake-ups a
  // request. What the driver does not take at once goes through the queue, in order.
  size_t direct = 0;
  if (port_.bytesToWrite() == 0) {
    const ssize_t n = ::write(port_.handle(), data, size);
    if (n > 0) {
      direct = static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      throw SerialError(Name() + ": cannot send: " + ErrnoText(errno));
    }
  }
  if (direct < size) {
    const auto rest = static_cast<qint64>(size - direct);
    if (port_.write(data + direct, rest) != rest) {
      const std::string text = port_.errorString().toStdString();
      port_.clearError();
      throw SerialError(Name() + ": cannot send: " + text);
    }
  }
  // As QSerialPort tells of bytes it wrote: from the loop, once per batch.
  if (direct > 0) PostOnce(transmittedPosted_, &QtSerialPort::Transmitted);
  if (rs485Mode_ == Rs485Mode::Software) {
    // Hand the bytes to the driver now; RTS drops once they are on the wire.
    port_.flush();
    PostOnce(finishPosted_, &QtSerialPort::FinishTransmit);
  }
}

void QtSerialPort::PostOnce(bool& posted, void (QtSerialPort::*step)()) {
  if (posted) return;
  posted = true;
  QMetaObject::invokeMethod(
      &context_,
      [this, &posted, step] {
        posted = false;
        (this->*step)();
      },
      Qt::QueuedConnection);
}

void QtSerialPort::Transmitted() {
  if (OnTraffic) {
    const auto handler = OnTraffic;
    const std::weak_ptr<int> alive = alive_;
    Invoke("traffic", handler, false, true);
    if (alive.expired()) return;
  }
  if (rs485Mode_ == Rs485Mode::Software && port_.bytesToWrite() == 0) FinishTransmit();
}

void QtSerialPort::FinishTransmit() {
  if (!transmitting_ || !port_.isOpen()) return;
  if (port_.bytesToWrite() > 0) return;  // bytesWritten brings us back
  // The driver's buffer and the UART's shift register must be empty before the transmitter of
  // the two-wire converter is switched off, or the last byte is cut.
  tcdrain(port_.handle());
  SetModemLine(TIOCM_RTS, false);
  transmitting_ = false;
}

uint8_t QtSerialPort::GetByte() {
  if (Waiting() == 0) throw SerialError(Name() + ": no received byte is waiting");
  return static_cast<uint8_t>(rx_[rxHead_++]);
}

SerialLineState QtSerialPort::Lines() const {
  if (!port_.isOpen()) return {};
  int bits = 0;
  if (ioctl(port_.handle(), TIOCMGET, &bits) != 0) return {};
  return {(bits & TIOCM_CAR) != 0, (bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0};
}

FlowControlState QtSerialPort::FlowState() const {
  if (!port_.isOpen()) return FlowControlState::Off;
  switch (port_.flowControl()) {
    case QSerialPort::NoFlowControl:
      return FlowControlState::Off;
    case QSerialPort::HardwareControl:
      return Lines().cts ? FlowControlState::OnNotHolding : FlowControlState::HoldingForCts;
    case QSerialPort::SoftwareControl:
      return FlowControlState::OnNotHolding;
  }
  return FlowControlState::Off;
}

void QtSerialPort::DisableFlowControl() {
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.clearError();
}

uint16_t QtSerialPort::AddTrigger(const std::string& text, bool ignoreCase) {
  RequireOpen("add a data trigger");
  return triggers_.Add(text, ignoreCase);
}

void QtSerialPort::RemoveTrigger(uint16_t handle) {
  triggers_.Remove(handle);
}

void QtSerialPort::RemoveAllTriggers() {
  triggers_.Clear();
  pendingHits_.clear();
}

void QtSerialPort::SetAvailableThreshold(int bytes) {
  threshold_ = std::max(1, bytes);
  // Bytes may already wait that the new threshold lets through.
  if (port_.isOpen() && Waiting() >= static_cast<size_t>(threshold_))
    QMetaObject::invokeMethod(
        &context_, [this] { Deliver(); }, Qt::QueuedConnection);
}

void QtSerialPort::ReadArrived() {
  const QByteArray data = port_.readAll();
  if (data.isEmpty()) return;
  triggers_.Scan(data.constData(), static_cast<size_t>(data.size()), pendingHits_);
  if (rxHead_ == rx_.size()) {
    rx_.clear();
    rxHead_ = 0;
  } else if (rxHead_ >= 4096) {
    rx_.erase(0, rxHead_);
    rxHead_ = 0;
  }
  rx_.append(data.constData(), static_cast<size_t>(data.size()));
  if (Waiting() > kInputLimit) {
    rxHead_ = rx_.size() - kInputLimit;
    if (!overflowNoted_) {
      overflowNoted_ = true;
      LogWarning(Name() + ": received bytes were not taken; the oldest were dropped");
    }
  }
  if (OnTraffic) {
    const auto handler = OnTraffic;
    const std::weak_ptr<int> alive = alive_;
    Invoke("traffic", handler, true, false);
    if (alive.expired()) return;
  }
  Deliver();
}

void QtSerialPort::Deliver() {
  // One delivery at a time: a handler that waits inside the loop sees later bytes only after
  // it returns, the way the port's worker waits for each delivery.
  if (delivering_) {
    redeliver_ = true;
    return;
  }
  delivering_ = true;
  const std::weak_ptr<int> alive = alive_;
  do {
    redeliver_ = false;
    // The bytes first, then the triggers they completed: a handler woken by a trigger finds the
    // whole text in its buffer. A pending hit lets the bytes through below the threshold too.
    while (Waiting() > 0 &&
           (Waiting() >= static_cast<size_t>(threshold_) || !pendingHits_.empty())) {
      const size_t before = Waiting();
      const auto count = static_cast<uint16_t>(std::min<size_t>(before, 0xFFFF));
      if (!OnAvailable) {
        rxHead_ += count;
        continue;
      }
      const auto handler = OnAvailable;
      Invoke("available-data", handler, count);
      if (alive.expired()) return;
      if (Waiting() >= before) break;  // nothing taken: wait for more rather than spin
    }
    if (!pendingHits_.empty()) {
      std::vector<uint16_t> hits;
      hits.swap(pendingHits_);
      for (const uint16_t handle : hits) {
        if (!OnTrigger || !triggers_.Contains(handle)) continue;
        const auto handler = OnTrigger;
        Invoke("data-trigger", handler, handle);
        if (alive.expired()) return;
      }
    }
  } while (redeliver_);
  delivering_ = false;
}

void QtSerialPort::PortError(QSerialPort::SerialPortError error) {
  // Setting errors are answered where the setting is made; here only the device going away
  // counts. QSerialPort repeats a read error for as long as the descriptor stays open, at full
  // CPU, so the port closes at the first one.
  if (!port_.isOpen()) return;
  // (Qt's error text is not used: it may carry an errno left by a later call.)
  if (error == QSerialPort::ResourceError)
    Fail("the device is gone");
  else if (error == QSerialPort::ReadError)
    Fail("read error");
  else if (error == QSerialPort::WriteError)
    Fail("write error");
}

void QtSerialPort::Fail(const std::string& reason) {
  if (failing_) return;
  failing_ = true;
  const std::string text = Name() + ": the device failed (" + reason + "); the port is closed";
  // The port's owner reports it (once, with what it does about it); nobody else would.
  if (OnFailure)
    LogDebug(text);
  else
    LogWarning(text);
  Close();
  // Reported from the loop, not from inside QSerialPort's notification: the handler may reopen.
  QMetaObject::invokeMethod(
      &context_,
      [this, text] {
        if (!OnFailure) return;
        const auto handler = OnFailure;
        Invoke("failure", handler, text);
      },
      Qt::QueuedConnection);
}

void QtSerialPort::PollLines() {
  if (!port_.isOpen()) return;
  const SerialLineState lines = Lines();
  const bool changed =
      lines.dcd != lastLines_.dcd || lines.cts != lastLines_.cts || lines.dsr != lastLines_.dsr;
  const bool first = !linesReported_;
  lastLines_ = lines;
  linesReported_ = true;
  if ((changed || first) && OnLinesChanged) {
    const auto handler = OnLinesChanged;
    Invoke("line-change", handler, lines);
  }
}

std::unique_ptr<SerialPort> QtSerialPortFactory::CreatePort() {
  return std::make_unique<QtSerialPort>();
}

bool QtSerialPortFactory::PortAvailable(int number, std::string* reason) {
  const std::string com = "COM" + std::to_string(number);
  if (number < 1) {
    if (reason) *reason = "no COM port number is set";
    return false;
  }
  const ComPortLookup lookup = LookUpComPort(number, ComPortPlaces::FromEnvironment());
  const std::string& named = lookup.path;
  char resolved[PATH_MAX];
  if (!realpath(named.c_str(), resolved)) {
    if (reason)
      *reason =
          com + ": no device at " + named + " (" + ErrnoText(errno) + "; " + lookup.How() + ")";
    return false;
  }
  std::string why;
  if (QtSerialPort::Claim(resolved, nullptr, why)) return true;
  if (reason) *reason = com + " (" + resolved + ", " + lookup.How() + "): " + why;
  LogDebug(com + " (" + resolved + ") is not available: " + why);
  return false;
}

}  // namespace qmb
