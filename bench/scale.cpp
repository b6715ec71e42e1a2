// qmb_tcp_scale and qmb_rtu_scale: the driver at scale, on the real Qt loop. Many sites, each
// opened by its own driver object as a host opens it and given its points to poll: Modbus/TCP
// sites all polling one slave on 127.0.0.1, or (built with QMB_SCALE_RTU) Modbus RTU sites each
// on its own pseudo-terminal (COM1 ... COMn, found through QORMODBUS_COMDIR; bench/rtu_slave.cpp
// answers them). After a warm-up it counts, over the measured time, the requests sent, the
// points refreshed, the process CPU, and the failures the point tables record. More open keys
// come from $QMB_SITE_KEYS (POLLMODE=FAST, DECODE=TYPED), and win over the defaults
// (BAUDRATE=9600). $QMB_FLOAT_POINTS adds that many FLOAT points per site over the first registers,
// two at a time (HREG1,0,32,FLOAT, HREG3,0,32,FLOAT
// ...): beside the WORD points on the same registers they show what typed points cost, read by
// their type under DECODE=TYPED and as one register each without it.
//
// Usage: qmb_tcp_scale PORT [SITES] [POINTS] [SECONDS] [WARMUP]
//        qmb_rtu_scale [SITES] [POINTS] [SECONDS] [WARMUP]
//   defaults: 100 sites of 10 points (holding registers 1..POINTS), 60 s measured after 5 s.
// Every poll request sent in the measured time is counted as a completed poll when no point
// failed; the failure count is printed so that a run with failures is seen as such.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "ProcessCpu.h"
#include "host/QorModBusCom.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"

namespace {

using namespace qmb;

// The real TCP client and serial port, counting what the engines send.
long sent = 0;

class CountingSerialPort : public QtSerialPort {
 public:
  void PutBlock(const std::string& bytes) override {
    ++sent;
    QtSerialPort::PutBlock(bytes);
  }
};

class CountingSerialPortFactory : public QtSerialPortFactory {
 public:
  std::unique_ptr<SerialPort> CreatePort() override {
    return std::make_unique<CountingSerialPort>();
  }
};

class CountingTcpClient : public QtTcpClient {
 public:
  void Send(const std::string& bytes) override {
    ++sent;
    QtTcpClient::Send(bytes);
  }
};

class CountingTcpClientFactory : public TcpClientFactory {
 public:
  std::unique_ptr<TcpClient> CreateClient() override {
    return std::make_unique<CountingTcpClient>();
  }
};

Variant List(const std::vector<std::string>& texts) {
  return Variant(SafeArray::OfTexts(texts));
}

}  // namespace

int main(int argc, char** argv) {
  // As the server without windows runs.
  QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
#ifdef QMB_SCALE_RTU
  const bool serial = true;
  const std::string port;
  const int first = 1;
#else
  const bool serial = false;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [SITES] [POINTS] [SECONDS] [WARMUP]\n", argv[0]);
    return 2;
  }
  const std::string port = argv[1];
  const int first = 2;
#endif
  const auto number = [&](int at, int otherwise) {
    return argc > first + at ? std::atoi(argv[first + at]) : otherwise;
  };
  const int sites = number(0, 100);
  const int points = number(1, 10);
  const int seconds = number(2, 60);
  const int warmup = number(3, 5);
  const char* floatsText = std::getenv("QMB_FLOAT_POINTS");
  const int floats = floatsText ? std::atoi(floatsText) : 0;

  QtMessageLoop loop;
  CountingSerialPortFactory serialPorts;
  CountingTcpClientFactory tcpClients;
  TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                     QCoreApplication::applicationFilePath().toStdString());

  std::vector<std::unique_ptr<TQorModBusCom>> hosts;
  for (int s = 0; s < sites; ++s) {
    auto host = std::make_unique<TQorModBusCom>(mainForm);
    host->SetDriverOption(List({"VERSIONCHECK=1.8"}));
    const std::vector<std::string> keys =
        serial ? std::vector<std::string>{"DESCRIPTION=RTU site " + std::to_string(s),
                                          "COMPORT=" + std::to_string(s + 1), "BP2=TRUE",
                                          "BAUDRATE=115200", "LOCALCLIENT=TRUE"}
               : std::vector<std::string>{"DESCRIPTION=Scale site " + std::to_string(s), "BP3=TRUE",
                                          "SP3=127.0.0.1:" + port, "LOCALCLIENT=TRUE"};
    // The extra keys go first, so that they win over the defaults here (BAUDRATE=9600 for a
    // paced simulator): the first of two equal keys is the one read.
    if (!host->OpenSite(List(bench::Joined(bench::ExtraSiteKeys(), keys)))) {
      std::fprintf(stderr, "%s: site %d did not open\n", argv[0], s);
      return 1;
    }
    host->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));  // collects the open's result
    std::vector<std::string> list = {"COMMAND=SENDPOINTSLIST"};
    for (int p = 0; p < points; ++p)
      list.push_back("POINT" + std::to_string(p) + "={P" + std::to_string(p) + "}{" +
                     (serial ? "1-" : "") + "HREG" + std::to_string(p + 1) + "}");
    for (int f = 0; f < floats; ++f)
      list.push_back("POINT" + std::to_string(points + f) + "={F" + std::to_string(f) + "}{" +
                     (serial ? "1-" : "") + "HREG" + std::to_string(2 * f + 1) + ",0,32,FLOAT}");
    host->ExecuteImmediate(List(list));
    hosts.push_back(std::move(host));
  }

  long sentBefore = 0;
  uint64_t storedBefore = 0;
  const auto stored = [&hosts] {
    uint64_t sum = 0;
    for (const auto& host : hosts) sum += host->Engine->Points.StoredValues();
    return sum;
  };
  double cpuBefore = 0.0;
  double userBefore = 0.0;
  int64_t wallBefore = 0;
  QTimer::singleShot(warmup * 1000, [&] {
    sentBefore = sent;
    storedBefore = stored();
    userBefore = bench::ProcessUserSeconds();
    cpuBefore = bench::ProcessCpuSeconds();
    wallBefore = loop.MonotonicMs();
  });
  QTimer::singleShot((warmup + seconds) * 1000, [&] {
    const double user = bench::ProcessUserSeconds() - userBefore;
    const double cpu = bench::ProcessCpuSeconds() - cpuBefore;
    const double wall = static_cast<double>(loop.MonotonicMs() - wallBefore) / 1000.0;
    const long polls = sent - sentBefore;
    long failing = 0;
    long valued = 0;
    for (const auto& host : hosts) {
      const PointTable& table = host->Engine->Points;
      for (size_t i = 0; i < table.Size(); ++i) {
        failing += table.Data(i).FailureCount;
        valued += table.Data(i).HasValue ? 1 : 0;
      }
    }
    std::printf(
        "driver: %d sites x %d points, %.1f s measured: %ld polls = %.1f polls/s; process CPU "
        "%.3f s (getrusage user %.3f s) = %.1f us per poll; points with a value %ld of %d; failure "
        "counts now %ld\n",
        sites, points + floats, wall, polls, static_cast<double>(polls) / wall, cpu, user,
        polls ? cpu / static_cast<double>(polls) * 1e6 : 0.0, valued, sites * (points + floats),
        failing);
    const uint64_t refreshed = stored() - storedBefore;
    std::printf("driver: points refreshed %llu = %.1f/s (%.2f per request)\n",
                static_cast<unsigned long long>(refreshed), static_cast<double>(refreshed) / wall,
                polls ? static_cast<double>(refreshed) / static_cast<double>(polls) : 0.0);
    std::fflush(stdout);
    QCoreApplication::exit(failing == 0 ? 0 : 1);
  });
  const int result = QCoreApplication::exec();
  hosts.clear();
  return result;
}
