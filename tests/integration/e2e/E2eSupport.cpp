#include "E2eSupport.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <QTimer>

#include "platform/ParamList.h"
#include "qt/QtTestSupport.h"

extern char** environ;

namespace qmb::e2e {

using test::RunFor;
using test::WaitUntil;

// ---- Modbus arithmetic ----

uint16_t Crc16(std::string_view bytes) {
  uint16_t crc = 0xFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

std::string WithCrc(std::string bytes) {
  const uint16_t crc = Crc16(bytes);
  bytes += static_cast<char>(crc & 0xFF);
  bytes += static_cast<char>(crc >> 8);
  return bytes;
}

uint8_t Lrc(std::string_view bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(-sum);
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

std::string ToHex(std::string_view bytes) {
  std::string text;
  char part[4];
  for (const char c : bytes) {
    std::snprintf(part, sizeof part, "%02X ", static_cast<uint8_t>(c));
    text += part;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

// ---- What the slave serves ----

std::string ServedValue(const std::string& address) {
  static const std::regex kAddress(R"(^(?:(\d+)-|\[[^\]]*\]-)?(OUT|IN|HREG|IREG)(\d+)$)");
  std::smatch match;
  if (!std::regex_match(address, match, kAddress))
    throw std::invalid_argument("not a point address of these tests: " + address);
  const int unit = match[1].matched ? std::stoi(match[1]) : 1;
  const std::string kind = match[2];
  const int n = std::stoi(match[3]);
  if (kind == "HREG") return std::to_string(unit * 10000 + n);
  if (kind == "IREG") return std::to_string(unit * 10000 + 5000 + n);
  if (kind == "OUT") return (n + unit) % 3 == 0 ? "TRUE" : "FALSE";
  return (n + unit) % 2 == 0 ? "TRUE" : "FALSE";
}

std::vector<SlaveRecord> ReadSlaveLog(const std::string& path) {
  static const std::regex kLine(
      R"(^(REQUEST|WRITE) unit=(\S+) function=(\d+) address=(\d+) (.*)$)");
  std::vector<SlaveRecord> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) continue;
    records.push_back({match[1], match[2], std::stoi(match[3]), std::stoi(match[4]), match[5]});
  }
  return records;
}

int CountRequests(const std::string& logPath, const std::string& unit, int function, int address) {
  int count = 0;
  for (const SlaveRecord& r : ReadSlaveLog(logPath))
    if (r.type == "REQUEST" && r.unit == unit && r.function == function && r.address == address)
      ++count;
  return count;
}

std::vector<std::string> SlaveWrites(const std::string& logPath) {
  std::vector<std::string> writes;
  for (const SlaveRecord& r : ReadSlaveLog(logPath))
    if (r.type == "WRITE")
      writes.push_back("unit=" + r.unit + " function=" + std::to_string(r.function) +
                       " address=" + std::to_string(r.address) + " " + r.detail);
  return writes;
}

// ---- The slave process ----

SlaveProcess::SlaveProcess(const std::vector<std::string>& arguments) {
  std::vector<std::string> args = {"/usr/bin/python3", QMB_E2E_SLAVE};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  // Ready once it has printed its "ready" line (pymodbus takes a while to import on a busy
  // machine: up to fifteen seconds are allowed); the driver's loop keeps running meanwhile.
  bool ended = pid_ <= 0;
  QSocketNotifier readable(out[0], QSocketNotifier::Read);
  QObject::connect(&readable, &QSocketNotifier::activated, [&] {
    char buffer[256];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0)
      output_.append(buffer, static_cast<size_t>(n));
    if (n == 0) {
      ended = true;
      readable.setEnabled(false);
    }
  });
  WaitUntil([&] { return ended || output_.find('\n') != std::string::npos; }, 15000);
  readable.setEnabled(false);
  ::close(out[0]);
  ready_ = output_.rfind("ready ", 0) == 0;
}

SlaveProcess::~SlaveProcess() {
  Stop();
}

void SlaveProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  // A child's end is no event of the loop: look for it every few milliseconds.
  bool reaped = false;
  QDeadlineTimer deadline(2000);
  while (!(reaped = waitpid(pid_, nullptr, WNOHANG) == pid_) && !deadline.hasExpired()) RunFor(5);
  if (!reaped) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

// ---- The serial line ----

namespace {

void OpenRawPair(int& master, int& slave, std::string& device) {
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  device = ttyname(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
}

std::string DrainFd(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  return bytes;
}

}  // namespace

SerialWire::SerialWire() {
  OpenRawPair(driverMaster_, driverHold_, driverDevice_);
  OpenRawPair(slaveMaster_, slaveHold_, slaveDevice_);
  driverNotifier_ = std::make_unique<QSocketNotifier>(driverMaster_, QSocketNotifier::Read);
  slaveNotifier_ = std::make_unique<QSocketNotifier>(slaveMaster_, QSocketNotifier::Read);
  QObject::connect(driverNotifier_.get(), &QSocketNotifier::activated, [this] { DriverSent(); });
  QObject::connect(slaveNotifier_.get(), &QSocketNotifier::activated, [this] { SlaveSent(); });
}

SerialWire::~SerialWire() {
  driverNotifier_.reset();
  slaveNotifier_.reset();
  for (const int fd : {driverMaster_, driverHold_, slaveMaster_, slaveHold_})
    if (fd >= 0) ::close(fd);
}

void SerialWire::WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  for (int stalls = 0; done < bytes.size() && stalls < 100;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      // A full queue (nobody reading the far side): what does not fit is lost, as on a line.
      ++stalls;
      usleep(1000);
    }
  }
}

void SerialWire::DriverSent() {
  const std::string bytes = DrainFd(driverMaster_);
  if (bytes.empty()) return;
  // A request after a reply started is the next exchange: the last one's fault is over.
  if (replyBytes_ > 0) {
    noise_.clear();
    cut_ = 0;
    replyBytes_ = 0;
  }
  if (noise_.empty() && cut_ == 0) {
    noise_ = std::move(noiseArmed_);
    noiseArmed_.clear();
    cut_ = cutArmed_;
    cutArmed_ = 0;
  }
  if (echo_) WriteAll(driverMaster_, bytes);
  WriteAll(slaveMaster_, bytes);
}

void SerialWire::SlaveSent() {
  std::string bytes = DrainFd(slaveMaster_);
  if (bytes.empty()) return;
  if (probing_) {
    probeReply_ += bytes;
    return;
  }
  if (!noise_.empty()) {
    WriteAll(driverMaster_, noise_);
    noise_.clear();
  }
  if (cut_ > 0) {
    const size_t room = cut_ > replyBytes_ ? cut_ - replyBytes_ : 0;
    replyBytes_ += bytes.size();
    bytes.resize(std::min(room, bytes.size()));
  } else {
    replyBytes_ += bytes.size();
  }
  if (!bytes.empty()) WriteAll(driverMaster_, bytes);
}

void SerialWire::SendToDriver(const std::string& bytes) {
  WriteAll(driverMaster_, bytes);
}

void SerialWire::FlushSlaveInput() {
  tcflush(slaveHold_, TCIFLUSH);
}

bool SerialWire::Probe(const std::string& request, const std::string& replyPrefix,
                       int milliseconds) {
  probing_ = true;
  probeReply_.clear();
  WriteAll(slaveMaster_, request);
  const bool answered =
      WaitUntil([&] { return probeReply_.size() >= replyPrefix.size() + 2; }, milliseconds);
  // Whatever else of the reply is still on its way goes nowhere.
  RunFor(50);
  probing_ = false;
  return answered && probeReply_.compare(0, replyPrefix.size(), replyPrefix) == 0;
}

// ---- The Modbus/TCP relay ----

TcpRelay::TcpRelay(uint16_t slavePort)
    : slavePort_(slavePort), server_(std::make_unique<QTcpServer>()) {
  server_->listen(QHostAddress::LocalHost);
  QObject::connect(server_.get(), &QTcpServer::newConnection, [this] { Accept(); });
}

TcpRelay::~TcpRelay() {
  if (slave_) slave_->disconnect();
  if (driver_) driver_->disconnect();
}

uint16_t TcpRelay::Port() const {
  return server_->serverPort();
}

void TcpRelay::Accept() {
  // One driver connection at a time, each with its own connection to the slave.
  if (driver_) {
    driver_->disconnect();
    driver_->deleteLater();
  }
  driver_ = server_->nextPendingConnection();
  slave_ = std::make_unique<QTcpSocket>();
  fromSlave_.clear();
  slave_->connectToHost(QHostAddress::LocalHost, slavePort_);
  slave_->waitForConnected(3000);
  QObject::connect(slave_.get(), &QTcpSocket::readyRead, [this] { FromSlave(); });
  QObject::connect(driver_, &QTcpSocket::readyRead, [this] {
    const QByteArray bytes = driver_->readAll();
    if (slave_) slave_->write(bytes);
  });
}

void TcpRelay::FromSlave() {
  fromSlave_ += slave_->readAll().toStdString();
  // The slave writes each reply whole; cut them apart by the length in their header.
  while (fromSlave_.size() >= 6) {
    const size_t size =
        6 + static_cast<uint8_t>(fromSlave_[4]) * 256u + static_cast<uint8_t>(fromSlave_[5]);
    if (fromSlave_.size() < size) break;
    const std::string reply = fromSlave_.substr(0, size);
    fromSlave_.erase(0, size);
    Deliver(reply);
    lastReply_ = reply;
  }
}

void TcpRelay::Deliver(const std::string& reply) {
  QTcpSocket* driver = driver_;
  if (!driver) return;
  const auto writeIn = [driver](int ms, const std::string& bytes) {
    QTimer::singleShot(ms, driver, [driver, bytes] {
      driver->write(bytes.data(), static_cast<qint64>(bytes.size()));
      driver->flush();
    });
  };
  const bool registerRead = reply.size() == 11 && reply[7] == 3;
  switch (shape_) {
    case Shape::Whole:
      writeIn(0, reply);
      break;
    case Shape::TwoPieces:
      writeIn(0, reply.substr(0, 7));
      writeIn(50, reply.substr(7));
      break;
    case Shape::ByteByByte:
      for (size_t i = 0; i < reply.size(); ++i)
        writeIn(static_cast<int>(20 * i), reply.substr(i, 1));
      break;
    case Shape::LateFirst:
      writeIn(0, lastReply_ + reply);
      break;
    case Shape::Function4:
      writeIn(0, registerRead ? reply.substr(0, 7) + '\x04' + reply.substr(8) : reply);
      break;
    case Shape::OneByte:
      writeIn(0, registerRead ? reply.substr(0, 5) + std::string("\x04", 1) + reply.substr(6, 2) +
                                    '\x01' + reply.substr(10, 1)
                              : reply);
      break;
  }
}

// ---- A host ----

Variant List(const std::vector<std::string>& elements) {
  return Variant(SafeArray::OfTexts(elements));
}

namespace {

constexpr const char* kWaiting = "Waiting for driver...";

Outcome Read(const Variant& reply) {
  Outcome outcome;
  if (reply.IsByteType()) {
    outcome.raw = true;
    outcome.finished = true;
    outcome.bytes = reply.IsArray() ? reply.AsArray().Bytes() : std::string(1, reply.AsByte());
    return outcome;
  }
  GetParamStr(reply, "COMMANDSTATUS", outcome.status);
  GetParamStr(reply, "COMMANDERROR", outcome.error);
  if (outcome.status == "TRUE" && reply.IsArray()) {
    const SafeArray& elements = reply.AsArray();
    for (int32_t i = 3; i <= elements.UpperBound(); ++i)
      outcome.data.push_back(elements.Get(i).ToText());
  }
  outcome.finished =
      outcome.status == "TRUE" || outcome.status == "FALSE" || outcome.status == "LOCKED";
  return outcome;
}

}  // namespace

bool Host::Open(const std::vector<std::string>& siteKeys) {
  if (!client.SetDriverOption(List({"VERSIONCHECK=1.8"}))) return false;
  std::vector<std::string> keys = siteKeys;
  keys.push_back("LOCALCLIENT=TRUE");
  if (!client.OpenSite(List(keys))) return false;
  // The connect runs as this client's command: a serial site opens its port on the next tick.
  params_.clear();
  accepted_ = true;
  outcome_ = {};
  return Finish(10000).status == "TRUE";
}

void Host::Start(const std::vector<std::string>& params) {
  params_ = params;
  accepted_ = false;
  outcome_ = {};
}

bool Host::Step() {
  if (outcome_.finished) return true;
  const Variant reply = client.ExecuteCommand(
      List(accepted_ ? std::vector<std::string>{"COMMAND=COMMANDSTATUS"} : params_));
  outcome_ = Read(reply);
  if (outcome_.finished) return true;
  // Anything but the waiting text is the command's progress: it was taken.
  if (outcome_.status != kWaiting) accepted_ = true;
  return false;
}

Outcome Host::Run(const std::vector<std::string>& params, int milliseconds) {
  Start(params);
  return Finish(milliseconds);
}

const Outcome& Host::Finish(int milliseconds) {
  // A host asks about every 25 ms; the driver's loop runs in between.
  QDeadlineTimer deadline(milliseconds);
  while (!Step() && !deadline.hasExpired()) RunFor(25);
  return outcome_;
}

const TPointData* Host::Point(const std::string& key) const {
  if (!client.Engine) return nullptr;
  const int32_t position = client.Engine->Points.IndexOf(key);
  return position < 0 ? nullptr : &client.Engine->Points.Data(static_cast<size_t>(position));
}

}  // namespace qmb::e2e
