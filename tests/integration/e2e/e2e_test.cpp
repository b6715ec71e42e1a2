// The driver end to end, reached through the driver object exactly as a host reaches it, against
// pymodbus as an independent slave: Modbus ASCII and RTU on pseudo-terminals named by COM number
// (the ASCII site set up as a real device would be, 7 data bits and even parity, which a
// pseudo-terminal cannot carry and passes unchanged), Modbus/TCP on 127.0.0.1 through
// "host:port", and on port 502 when it can be bound. Polling fills every point of every kind for
// two slave addresses; single reads, writes (checked in the slave's own log) and raw requests;
// a slave's exception; the slave stopped and started again (its dropped point retried); noise,
// replies cut short and an echoing adapter on the line; Modbus/TCP replies in pieces, late or of
// the wrong shape.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "platform/ParamList.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "qt/QtTestSupport.h"

namespace qmb::e2e {
namespace {

using test::RunFor;
using test::WaitUntil;

constexpr const char* kReadFailed = "Could not read data from panel.";
constexpr const char* kModifyFailed = "Could not modify point.";

enum class Framing { Ascii, Rtu, Tcp };

std::string FramingName(Framing framing) {
  return framing == Framing::Ascii ? "Ascii" : framing == Framing::Rtu ? "Rtu" : "Tcp";
}

// A port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool CanBind(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Reads holding register 1 over Modbus/TCP on a connection of our own: the slave answers.
bool TcpSlaveAnswers(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const std::string request = FromHex("123400000006FF0300000001");
  ok = ok && write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
  std::string reply;
  pollfd p{fd, POLLIN, 0};
  while (ok && reply.size() < 11 && poll(&p, 1, 3000) > 0) {
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return reply == FromHex("123400000005FF03022711");
}

// One link to a slave: the slave process with its log and, on a serial line, the wire between
// it and the driver.
class Link {
 public:
  Link(Framing framing, int com, const std::string& scratch, uint16_t tcpPort = 0)
      : framing_(framing), com_(com), scratch_(scratch) {
    if (framing_ == Framing::Tcp) {
      port_ = tcpPort ? tcpPort : FreePort();
    } else {
      wire_ = std::make_unique<SerialWire>();
    }
  }

  Framing Kind() const { return framing_; }
  bool Serial() const { return framing_ != Framing::Tcp; }
  SerialWire& Wire() { return *wire_; }
  uint16_t Port() const { return port_; }
  int Com() const { return com_; }
  // The log of the slave's current run.
  const std::string& Log() const { return log_; }
  std::string LogUnit(int unit) const { return Serial() ? std::to_string(unit) : "tcp"; }

  // A point of the given slave address: "2-HREG7" on a serial line; on Modbus/TCP the slave
  // address is not part of the point ("HREG7") and unit 1's data answers.
  std::string At(int unit, const std::string& point) const {
    return Serial() ? std::to_string(unit) + "-" + point : point;
  }

  std::vector<std::string> SiteKeys(const std::string& description) const {
    switch (framing_) {
      case Framing::Ascii:
        return {"DESCRIPTION=" + description,
                "COMPORT=" + std::to_string(com_),
                "BP2=FALSE",
                "BAUDRATE=19200",
                "IP1=1",
                "IP2=2"};
      case Framing::Rtu:
        return {"DESCRIPTION=" + description,
                "COMPORT=" + std::to_string(com_),
                "BP2=TRUE",
                "BAUDRATE=19200",
                "IP1=1",
                "IP2=0"};
      case Framing::Tcp:
        break;
    }
    return {"DESCRIPTION=" + description, "BP3=TRUE",
            port_ == 502 ? "SP3=127.0.0.1" : "SP3=127.0.0.1:" + std::to_string(port_)};
  }

  // Starts the slave with a fresh log and checks that it answers (pymodbus keeps quiet about a
  // serial port it could not open).
  ::testing::AssertionResult StartSlave() {
    log_ = scratch_ + "/" + FramingName(framing_) + "-" + std::to_string(++runs_) + ".log";
    std::vector<std::string> args = {"--log", log_};
    if (Serial()) {
      wire_->FlushSlaveInput();
      args.insert(args.end(), {"--serial", wire_->SlaveDevice(), "--framer",
                               framing_ == Framing::Ascii ? "ascii" : "rtu"});
    } else {
      args.insert(args.end(), {"--tcp", std::to_string(port_)});
    }
    slave_ = std::make_unique<SlaveProcess>(args);
    if (!slave_->Ready())
      return ::testing::AssertionFailure() << "the slave did not start: " << slave_->Output();
    bool answers = false;
    if (framing_ == Framing::Rtu)
      answers = wire_->Probe(WithCrc(FromHex("010300000001")), FromHex("0103022711"));
    else if (framing_ == Framing::Ascii)
      answers = wire_->Probe(":010300000001FB\r\n", ":0103022711");
    else
      answers = TcpSlaveAnswers(port_);
    if (!answers) return ::testing::AssertionFailure() << "the slave does not answer";
    return ::testing::AssertionSuccess();
  }
  void StopSlave() { slave_.reset(); }

 private:
  Framing framing_;
  int com_;
  std::string scratch_;
  uint16_t port_ = 0;
  std::unique_ptr<SerialWire> wire_;
  std::unique_ptr<SlaveProcess> slave_;
  std::string log_;
  int runs_ = 0;
};

std::vector<std::string> PointsList(const std::string& command,
                                    const std::vector<std::string>& addresses) {
  std::vector<std::string> params = {"COMMAND=" + command};
  for (size_t i = 0; i < addresses.size(); ++i)
    params.push_back("POINT" + std::to_string(i) + "={P" + std::to_string(i) + "}{" + addresses[i] +
                     "}");
  return params;
}

std::vector<std::string> GetValue(const std::string& address) {
  return {"COMMAND=POINTGETVALUE", "POINT={Value}{" + address + "}"};
}

std::vector<std::string> Modify(const std::string& address, const std::string& value) {
  return {"COMMAND=POINTMODIFY", "POINT={" + address + "}{" + address + "}{VALUE=" + value + "}{}"};
}

std::vector<std::string> SendCommand(const std::string& hex, const char* returnAsBytes = nullptr) {
  std::vector<std::string> params = {"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND",
                                     "COMMANDSTRING=" + hex};
  if (returnAsBytes) params.push_back(std::string("RETURNASBYTES=") + returnAsBytes);
  return params;
}

// The reply bytes a raw request leaves for the host: in RTU the bytes as received, in ASCII the
// bytes the hex text decodes to; both end with their check.
std::string RawReply(Framing framing, const std::string& hex) {
  const std::string bytes = FromHex(hex);
  return framing == Framing::Rtu ? WithCrc(bytes) : bytes + static_cast<char>(Lrc(bytes));
}

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() : main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus") {}

  Link& AddLink(Framing framing, uint16_t tcpPort = 0) {
    const int com = 3 + static_cast<int>(links.size());
    links.push_back(std::make_unique<Link>(framing, com, scratch.path().toStdString(), tcpPort));
    Link& link = *links.back();
    if (link.Serial()) comDir.Link(com, link.Wire().DriverDevice());
    return link;
  }

  Host& AddHost() {
    hosts.push_back(std::make_unique<Host>(main));
    return *hosts.back();
  }

  // Every point of the host's table holds a value.
  static bool AllPolled(const Host& host) {
    return host.client.Engine->Points.Size() > 0 && Unpolled(host).empty();
  }
  // The points still without a value, for failure messages.
  static std::string Unpolled(const Host& host) {
    std::string keys;
    const PointTable& points = host.client.Engine->Points;
    for (size_t i = 0; i < points.Size(); ++i)
      if (!points.Data(i).HasValue) keys += " " + points.Key(i);
    return keys;
  }
  // Waits until every host's points hold values; the failure names the points without one.
  ::testing::AssertionResult AllHostsPolled(int milliseconds) {
    const auto done = [this] {
      for (const auto& host : hosts)
        if (!AllPolled(*host)) return false;
      return true;
    };
    if (WaitUntil(done, milliseconds)) return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "points without a value:";
    for (const auto& host : hosts) failure << Unpolled(*host);
    return failure;
  }

  // Declared before the main window so that the lines outlive the driver's ports.
  test::ComDirectory comDir;
  QTemporaryDir scratch;
  std::vector<std::unique_ptr<Link>> links;
  QtMessageLoop loop;
  QtSerialPortFactory serialPorts;
  QtTcpClientFactory tcpClients;
  TMainForm main;
  std::vector<std::unique_ptr<Host>> hosts;
};

// ---- Polling ----

// 22 points of all four kinds, for slave addresses 1 and 2 on the serial lines; on Modbus/TCP
// (one unit) the same kinds, one of them with its host named in brackets.
std::vector<std::string> ManyPoints(const Link& link) {
  if (link.Serial())
    return {"1-HREG1",  "1-HREG2", "1-HREG200", "1-IREG1", "1-IREG150", "1-OUT1",
            "1-OUT2",   "1-OUT3",  "1-IN1",     "1-IN2",   "1-IN200",   "2-HREG1",
            "2-HREG99", "2-IREG2", "2-IREG3",   "2-OUT1",  "2-OUT2",    "2-OUT3",
            "2-OUT200", "2-IN1",   "2-IN2",     "2-IN3"};
  std::vector<std::string> points = {"HREG1", "HREG2",  "HREG3",   "HREG100", "HREG200", "IREG1",
                                     "IREG2", "IREG77", "IREG200", "OUT1",    "OUT2",    "OUT3",
                                     "OUT4",  "OUT199", "OUT200",  "IN1",     "IN2",     "IN3",
                                     "IN150", "IN200",  "HREG40"};
  points.push_back("[127.0.0.1:" + std::to_string(link.Port()) + "]-HREG8");
  return points;
}

TEST_F(EndToEnd, PollingFillsEveryPointOfEveryKindOnThreeLinksAtOnce) {
  const std::array<Framing, 3> framings = {Framing::Ascii, Framing::Rtu, Framing::Tcp};
  for (const Framing framing : framings) {
    Link& link = AddLink(framing);
    ASSERT_TRUE(link.StartSlave()) << FramingName(framing);
    Host& host = AddHost();
    ASSERT_TRUE(host.Open(link.SiteKeys("Polling " + FramingName(framing))))
        << FramingName(framing);
    const Outcome sent = host.Run(PointsList("SENDPOINTSLIST", ManyPoints(link)));
    ASSERT_EQ(sent.status, "TRUE") << FramingName(framing) << ": " << sent.error;
  }
  // At least four ticks a point, five in RTU: 22 points take about 11 s; the sites poll side
  // by side.
  ASSERT_TRUE(AllHostsPolled(40000));

  for (size_t i = 0; i < framings.size(); ++i) {
    SCOPED_TRACE(FramingName(framings[i]));
    const Outcome listed = hosts[i]->Run({"COMMAND=GETPOINTSLIST"});
    ASSERT_EQ(listed.status, "TRUE") << listed.error;
    const std::vector<std::string> addresses = ManyPoints(*links[i]);
    std::vector<std::string> expected;
    for (size_t n = 0; n < addresses.size(); ++n)
      expected.push_back("POINT" + std::to_string(n) + "={" + addresses[n] +
                         "}{VALUE=" + ServedValue(addresses[n]) + "}");
    EXPECT_EQ(listed.data, expected);
  }
  // Each serial slave address was asked by its own requests.
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_GE(CountRequests(links[i]->Log(), "1", 3, 199), 1);
    EXPECT_GE(CountRequests(links[i]->Log(), "2", 1, 199), 1);
  }
}

// ---- Host commands ----

class HostCommands : public EndToEnd, public ::testing::WithParamInterface<Framing> {};

TEST_P(HostCommands, ReadWriteRawRequestsAndTheSlavesException) {
  Link& link = AddLink(GetParam());
  ASSERT_TRUE(link.StartSlave());
  Host& host = AddHost();
  ASSERT_TRUE(host.Open(link.SiteKeys("Commands")));
  const std::string unit1 = link.LogUnit(1);
  const std::string unit2 = link.LogUnit(2);

  // Polling runs under the commands: a command that meets a poll exchange is sent again.
  const std::string hreg10 = link.At(1, "HREG10");
  const std::string out10 = link.At(1, "OUT10");
  const std::string other = link.At(2, "HREG20");
  const Variant listed =
      host.client.ExecuteImmediate(List(PointsList("SENDPOINTSLIST", {hreg10, out10, other})));
  ASSERT_EQ(listed.AsArray().Get(0).ToText(), "COMMANDSTATUS=TRUE");
  ASSERT_TRUE(AllHostsPolled(10000));

  // Reads of a register and a coil, of both slave addresses.
  std::vector<std::string> reads = {link.At(1, "HREG7"), link.At(2, "OUT2")};
  if (!link.Serial()) reads.push_back("[127.0.0.1:" + std::to_string(link.Port()) + "]-HREG7");
  for (const std::string& address : reads) {
    const Outcome read = host.Run(GetValue(address));
    EXPECT_EQ(read.status, "TRUE") << address << ": " << read.error;
    EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=" + ServedValue(address), ""}))
        << address;
  }

  // Writes: a coil on and off, registers of both slave addresses; each checked on the slave's
  // side, and the point table holds the written value until the next poll.
  std::vector<std::string> expectedWrites;
  const auto write = [&](const std::string& address, const std::string& value,
                         const std::string& slaveSide, const std::string& tableValue) {
    const Outcome written = host.Run(Modify(address, value));
    EXPECT_EQ(written.status, "TRUE") << address << "=" << value << ": " << written.error;
    expectedWrites.push_back(slaveSide);
    EXPECT_EQ(SlaveWrites(link.Log()), expectedWrites);
    const TPointData* point = host.Point(address);
    ASSERT_NE(point, nullptr) << address;
    EXPECT_EQ(point->Value, tableValue) << address;
  };
  write(out10, "ON", "unit=" + unit1 + " function=5 address=9 values=1", "1");
  EXPECT_EQ(host.Run(GetValue(out10)).data, (std::vector<std::string>{"VALUE=TRUE", ""}));
  write(out10, "OFF", "unit=" + unit1 + " function=5 address=9 values=0", "0");
  write(hreg10, "4321", "unit=" + unit1 + " function=6 address=9 values=4321", "4321");
  write(other, "65535", "unit=" + unit2 + " function=6 address=19 values=65535", "65535");

  // Polling reads back what was written.
  const auto polls = [&] {
    return std::array<int, 3>{CountRequests(link.Log(), unit1, 1, 9),
                              CountRequests(link.Log(), unit1, 3, 9),
                              CountRequests(link.Log(), unit2, 3, 19)};
  };
  const std::array<int, 3> before = polls();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::array<int, 3> now = polls();
        return now[0] > before[0] && now[1] > before[1] && now[2] > before[2];
      },
      10000));
  EXPECT_EQ(host.Point(out10)->Value, "FALSE");
  EXPECT_EQ(host.Point(hreg10)->Value, "4321");
  EXPECT_EQ(host.Point(other)->Value, "65535");

  // A slave's exception (illegal data address) fails the read after one request, and the write.
  const Outcome refused = host.Run(GetValue(link.At(1, "HREG500")));
  EXPECT_EQ(refused.status, "FALSE");
  EXPECT_EQ(refused.error, kReadFailed);
  EXPECT_EQ(CountRequests(link.Log(), unit1, 3, 499), 1);

  if (link.Serial()) {
    const Outcome notWritten = host.Run(Modify(link.At(1, "HREG500"), "1"));
    EXPECT_EQ(notWritten.status, "FALSE");
    EXPECT_EQ(notWritten.error, kModifyFailed);
    EXPECT_EQ(CountRequests(link.Log(), unit1, 6, 499), 1);

    // Raw requests: a write of two registers in the byte form, then reads in both forms.
    const Framing framing = link.Kind();
    const Outcome raw = host.Run(SendCommand("0110006300020441424344", "FALSE"));
    EXPECT_TRUE(raw.raw) << raw.status << " " << raw.error;
    EXPECT_EQ(ToHex(raw.bytes), ToHex(RawReply(framing, "011000630002")));
    expectedWrites.push_back("unit=1 function=16 address=99 values=16706,17220");
    EXPECT_EQ(SlaveWrites(link.Log()), expectedWrites);

    const Outcome bytes = host.Run(SendCommand("010300630002", "FALSE"));
    EXPECT_EQ(ToHex(bytes.bytes), ToHex(RawReply(framing, "01030441424344")));

    // The text form: each reply byte one character, control characters (address, function,
    // count, the CRC's 18) blanked and trimmed; the CRC's 7F and the LRC's EE stay.
    const Outcome text = host.Run(SendCommand("010300630002"));
    EXPECT_EQ(text.status, "TRUE") << text.error;
    EXPECT_EQ(text.data,
              (std::vector<std::string>{
                  framing == Framing::Rtu ? "RETURNVALUE=ABCD\x7F" : "RETURNVALUE=ABCD\xEE", ""}));
    EXPECT_EQ(CountRequests(link.Log(), unit1, 3, 99), 2);
  } else {
    // Raw requests are not carried over Modbus/TCP: the command fails and nothing is sent.
    const Outcome raw = host.Run(SendCommand("010300630002", "FALSE"));
    EXPECT_EQ(raw.status, "FALSE");
    EXPECT_EQ(raw.error, "");
    EXPECT_EQ(CountRequests(link.Log(), unit1, 3, 99), 0);
  }
  EXPECT_EQ(SlaveWrites(link.Log()), expectedWrites);
}

INSTANTIATE_TEST_SUITE_P(Links, HostCommands,
                         ::testing::Values(Framing::Ascii, Framing::Rtu, Framing::Tcp),
                         [](const auto& info) { return FramingName(info.param); });

// ---- The slave stopped and started again ----

// On each of the three links at once (their failures take seconds each): two points polled,
// the slave stopped, failures counted round the table until one point has failed three times.
// The site is locked there, so that nothing is polled while the slave starts again; after the
// unlock the other point is polled back to health while the dropped one is left out until its
// slow retry, 30 s after it was dropped, finds the slave back and makes it fresh again; commands
// work all along.
TEST_F(EndToEnd, SlaveStoppedMidRunAndStartedAgain) {
  const std::array<Framing, 3> framings = {Framing::Ascii, Framing::Rtu, Framing::Tcp};
  std::vector<std::array<std::string, 2>> points;
  for (const Framing framing : framings) {
    Link& link = AddLink(framing);
    ASSERT_TRUE(link.StartSlave()) << FramingName(framing);
    Host& host = AddHost();
    ASSERT_TRUE(host.Open(link.SiteKeys("Restart " + FramingName(framing))));
    points.push_back({link.At(1, "HREG5"), link.At(2, "OUT7")});
    const Variant listed = host.client.ExecuteImmediate(
        List(PointsList("SENDPOINTSLIST", {points.back()[0], points.back()[1]})));
    ASSERT_EQ(listed.AsArray().Get(0).ToText(), "COMMANDSTATUS=TRUE");
  }
  ASSERT_TRUE(AllHostsPolled(10000));

  for (auto& link : links) link->StopSlave();

  // Every change of a failure count, per site, until each site has a point at three failures
  // and is locked.
  std::vector<std::vector<std::pair<int, int>>> changes(framings.size());
  std::vector<std::array<int, 2>> seen(framings.size(), {0, 0});
  std::vector<QElapsedTimer> sinceDrop(framings.size());
  std::vector<bool> locking(framings.size(), false);
  std::vector<bool> locked(framings.size(), false);
  QDeadlineTimer deadline(40000);
  while (!(locked[0] && locked[1] && locked[2]) && !deadline.hasExpired()) {
    for (size_t i = 0; i < framings.size(); ++i) {
      for (int p = 0; p < 2; ++p) {
        const int count = hosts[i]->Point(points[i][static_cast<size_t>(p)])->FailureCount;
        if (count != seen[i][static_cast<size_t>(p)]) changes[i].emplace_back(p, count);
        seen[i][static_cast<size_t>(p)] = count;
        if (count == 3 && !locking[i]) {
          sinceDrop[i].start();
          hosts[i]->Start({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT"});
          locking[i] = true;
        }
      }
      if (locking[i] && !locked[i]) locked[i] = hosts[i]->Step();
    }
    RunFor(25);
  }
  ASSERT_TRUE(locked[0] && locked[1] && locked[2]) << "no point reached three failures in time";

  std::vector<int> dropped(framings.size());
  for (size_t i = 0; i < framings.size(); ++i) {
    SCOPED_TRACE(FramingName(framings[i]));
    ASSERT_EQ(hosts[i]->Last().status, "TRUE") << hosts[i]->Last().error;
    ASSERT_FALSE(changes[i].empty());
    // Failures go round the table: one per point, three for the first point, and the poller
    // went on to the other point after each one.
    const int a = changes[i].front().first;
    const int b = 1 - a;
    EXPECT_EQ(changes[i],
              (std::vector<std::pair<int, int>>{{a, 1}, {b, 1}, {a, 2}, {b, 2}, {a, 3}}));
    dropped[i] = a;
  }

  for (auto& link : links) ASSERT_TRUE(link->StartSlave());
  for (auto& host : hosts) {
    const Outcome unlocked = host->Run({"COMMAND=GETDATA", "DRIVERCOMMAND=UNLOCKCLIENT"});
    ASSERT_EQ(unlocked.status, "TRUE") << unlocked.error;
  }

  // The point that failed twice is polled again, every cycle; the dropped one is left out.
  const auto readFunction = [](const std::string& address) {
    return address.find("OUT") != std::string::npos ? 1 : 3;
  };
  const auto requestsFor = [&](size_t i, const std::string& address) {
    const int unit = address.rfind("2-", 0) == 0 ? 2 : 1;
    const int wire = std::stoi(address.substr(address.find_first_of("0123456789", 2))) - 1;
    return CountRequests(links[i]->Log(), links[i]->LogUnit(unit), readFunction(address), wire);
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (size_t i = 0; i < framings.size(); ++i)
          if (requestsFor(i, points[i][static_cast<size_t>(1 - dropped[i])]) < 2) return false;
        return true;
      },
      15000))
      << "the points that had not failed three times are not polled again";
  for (size_t i = 0; i < framings.size(); ++i) {
    SCOPED_TRACE(FramingName(framings[i]));
    const std::string& kept = points[i][static_cast<size_t>(1 - dropped[i])];
    const std::string& gone = points[i][static_cast<size_t>(dropped[i])];
    EXPECT_EQ(hosts[i]->Point(kept)->FailureCount, 0);
    EXPECT_EQ(hosts[i]->Point(gone)->FailureCount, 3);
  }

  // The dropped point's retry: none before 30 s from the drop, then one that finds the slave.
  std::vector<qint64> retriedAfter(framings.size(), -1);
  ASSERT_TRUE(WaitUntil(
      [&] {
        bool all = true;
        for (size_t i = 0; i < framings.size(); ++i) {
          if (retriedAfter[i] < 0 && requestsFor(i, points[i][static_cast<size_t>(dropped[i])]) > 0)
            retriedAfter[i] = sinceDrop[i].elapsed();
          all = all && retriedAfter[i] >= 0;
        }
        return all;
      },
      45000))
      << "a dropped point is never tried again";
  for (size_t i = 0; i < framings.size(); ++i) {
    SCOPED_TRACE(FramingName(framings[i]));
    const std::string& gone = points[i][static_cast<size_t>(dropped[i])];
    EXPECT_GE(retriedAfter[i], 29000);
    EXPECT_LE(retriedAfter[i], 36000);
    ASSERT_TRUE(WaitUntil([&] { return hosts[i]->Point(gone)->FailureCount == 0; }, 5000));
    EXPECT_EQ(hosts[i]->Point(gone)->Value, ServedValue(gone));
    const Outcome read = hosts[i]->Run(GetValue(gone));
    EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=" + ServedValue(gone), ""}));
  }
  // Back in every cycle.
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (size_t i = 0; i < framings.size(); ++i)
          if (requestsFor(i, points[i][static_cast<size_t>(dropped[i])]) < 4) return false;
        return true;
      },
      10000))
      << "a point that answers again is not polled every cycle";
}

// ---- A bad line ----

class LineFaults : public EndToEnd, public ::testing::WithParamInterface<Framing> {};

TEST_P(LineFaults, NoiseAndRepliesCutShort) {
  const Framing framing = GetParam();
  const bool rtu = framing == Framing::Rtu;
  Link& link = AddLink(framing);
  ASSERT_TRUE(link.StartSlave());
  Host& host = AddHost();
  ASSERT_TRUE(host.Open(link.SiteKeys("Bad line")));
  SerialWire& wire = link.Wire();

  // Noise on an idle line (a fragment of somebody's frame included) is not taken for a reply.
  wire.SendToDriver(rtu ? FromHex("010302FF") : std::string("\xFF\x00:0103\r\nZZ", 11));
  RunFor(300);
  Outcome read = host.Run(GetValue("1-HREG3"));
  EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=10003", ""}));
  EXPECT_EQ(CountRequests(link.Log(), "1", 3, 2), 1);

  // Noise right before the reply: the frame behind it is the reply (in ASCII it starts at its
  // ":"; in RTU it is the frame that ends the read with a good CRC), for reads and raw requests.
  const std::string noise = rtu ? FromHex("00FF55") : std::string("\x00\x7F~?#", 5);
  wire.NoiseBeforeNextReply(noise);
  read = host.Run(GetValue("1-HREG4"));
  EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=10004", ""}));
  EXPECT_EQ(CountRequests(link.Log(), "1", 3, 3), 1);
  wire.NoiseBeforeNextReply(noise);
  Outcome raw = host.Run(SendCommand("010300030001", "FALSE"));
  EXPECT_EQ(ToHex(raw.bytes), ToHex(RawReply(framing, "0103022714")));
  EXPECT_EQ(CountRequests(link.Log(), "1", 3, 3), 2);

  // A reply cut short: the read fails; the raw request's second attempt gets the whole reply.
  const size_t keep = rtu ? 4 : 9;
  wire.CutNextReply(keep);
  read = host.Run(GetValue("1-HREG5"));
  EXPECT_EQ(read.status, "FALSE");
  EXPECT_EQ(read.error, kReadFailed);
  wire.CutNextReply(keep);
  raw = host.Run(SendCommand("010300040001", "FALSE"));
  EXPECT_EQ(ToHex(raw.bytes), ToHex(RawReply(framing, "0103022715")));
  EXPECT_EQ(CountRequests(link.Log(), "1", 3, 4), 3);

  // Polling through a reply cut short: a failure is counted, and the next cycle reads the point.
  const Variant listed =
      host.client.ExecuteImmediate(List(PointsList("SENDPOINTSLIST", {"2-IREG6"})));
  ASSERT_EQ(listed.AsArray().Get(0).ToText(), "COMMANDSTATUS=TRUE");
  ASSERT_TRUE(AllHostsPolled(5000));
  wire.CutNextReply(keep);
  ASSERT_TRUE(WaitUntil([&] { return host.Point("2-IREG6")->FailureCount == 1; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return host.Point("2-IREG6")->FailureCount == 0; }, 5000));
  EXPECT_EQ(host.Point("2-IREG6")->Value, "25006");

  // An adapter that echoes every request: the reply behind the echo counts, never the echo, for
  // reads, writes, raw requests (which show the reply alone) and polls.
  wire.EchoRequests(true);
  read = host.Run(GetValue("1-HREG6"));
  EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=10006", ""})) << read.error;
  const Outcome written = host.Run(Modify("1-HREG8", "1234"));
  EXPECT_EQ(written.status, "TRUE") << written.error;
  EXPECT_EQ(SlaveWrites(link.Log()),
            (std::vector<std::string>{"unit=1 function=6 address=7 values=1234"}));
  EXPECT_EQ(CountRequests(link.Log(), "1", 6, 7), 1);
  raw = host.Run(SendCommand("010300080001", "FALSE"));
  EXPECT_EQ(ToHex(raw.bytes), ToHex(RawReply(framing, "0103022719")));
  const int polled = CountRequests(link.Log(), "2", 4, 5);
  ASSERT_TRUE(WaitUntil([&] { return CountRequests(link.Log(), "2", 4, 5) >= polled + 2; }, 5000));
  EXPECT_EQ(host.Point("2-IREG6")->FailureCount, 0);
  EXPECT_EQ(host.Point("2-IREG6")->Value, "25006");
}

INSTANTIATE_TEST_SUITE_P(SerialLines, LineFaults, ::testing::Values(Framing::Ascii, Framing::Rtu),
                         [](const auto& info) { return FramingName(info.param); });

// ---- Modbus/TCP replies as a network or a peer may deliver them ----

TEST_F(EndToEnd, TcpRepliesInPiecesLateOrWrong) {
  using Shape = TcpRelay::Shape;
  Link& link = AddLink(Framing::Tcp);
  ASSERT_TRUE(link.StartSlave());
  TcpRelay relay(link.Port());
  Host& host = AddHost();
  ASSERT_TRUE(host.Open(
      {"DESCRIPTION=Relay", "BP3=TRUE", "SP3=127.0.0.1:" + std::to_string(relay.Port())}));

  // A reply in pieces, or behind a late one, is the reply: polls, reads and writes succeed.
  relay.SetShape(Shape::ByteByByte);
  ASSERT_EQ(host.Run(PointsList("SENDPOINTSLIST", {"HREG3", "OUT4"})).status, "TRUE");
  ASSERT_TRUE(AllHostsPolled(10000));
  EXPECT_EQ(host.Point("HREG3")->Value, ServedValue("HREG3"));
  EXPECT_EQ(host.Point("OUT4")->Value, ServedValue("OUT4"));
  std::vector<std::string> writes;
  int value = 100;
  for (const Shape shape : {Shape::TwoPieces, Shape::ByteByByte, Shape::LateFirst}) {
    SCOPED_TRACE(static_cast<int>(shape));
    relay.SetShape(shape);
    const Outcome read = host.Run(GetValue("HREG7"));
    EXPECT_EQ(read.data, (std::vector<std::string>{"VALUE=10007", ""})) << read.error;
    const Outcome written = host.Run(Modify("HREG9", std::to_string(++value)));
    EXPECT_EQ(written.status, "TRUE") << written.error;
    writes.push_back("unit=tcp function=6 address=8 values=" + std::to_string(value));
  }
  EXPECT_EQ(SlaveWrites(link.Log()), writes);

  // A reply of the wrong shape gives no value: one data byte for a register fails the read at
  // once; function 4 for 3 is no answer at all, and the poll fails.
  relay.SetShape(Shape::OneByte);
  const Outcome cut = host.Run(GetValue("HREG7"));
  EXPECT_EQ(cut.status, "FALSE");
  EXPECT_EQ(cut.error, kReadFailed);
  relay.SetShape(Shape::Function4);
  ASSERT_EQ(host.Run(PointsList("SENDPOINTSLIST", {"HREG12"})).status, "TRUE");
  ASSERT_TRUE(WaitUntil([&] { return host.Point("HREG12")->FailureCount == 1; }, 5000));
  EXPECT_FALSE(host.Point("HREG12")->HasValue);
  relay.SetShape(Shape::Whole);
  ASSERT_TRUE(WaitUntil([&] { return host.Point("HREG12")->HasValue; }, 5000));
  EXPECT_EQ(host.Point("HREG12")->Value, "10012");
}

// ---- Modbus/TCP on its own port ----

TEST_F(EndToEnd, ModbusTcpOnPort502) {
  if (!CanBind(502)) GTEST_SKIP() << "port 502 cannot be bound here (not root, or in use)";
  Link& link = AddLink(Framing::Tcp, 502);
  ASSERT_TRUE(link.StartSlave());
  Host& host = AddHost();
  ASSERT_TRUE(host.Open(link.SiteKeys("Standard port")));
  const std::vector<std::string> addresses = {"HREG11", "IREG12", "OUT13", "IN14"};
  ASSERT_EQ(host.Run(PointsList("SENDPOINTSLIST", addresses)).status, "TRUE");
  ASSERT_TRUE(AllHostsPolled(10000));
  for (const std::string& address : addresses)
    EXPECT_EQ(host.Point(address)->Value, ServedValue(address)) << address;
  EXPECT_EQ(host.Run(Modify("HREG11", "99")).status, "TRUE");
  EXPECT_EQ(SlaveWrites(link.Log()),
            (std::vector<std::string>{"unit=tcp function=6 address=10 values=99"}));
  EXPECT_EQ(host.Run(GetValue("HREG11")).data, (std::vector<std::string>{"VALUE=99", ""}));
}

}  // namespace
}  // namespace qmb::e2e
