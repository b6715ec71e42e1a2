// qmb_silent_sites: what sites whose devices never answer cost a healthy site, in-process on the
// real Qt loop. For 0, 4 and 50 silent sites (Modbus/TCP devices that accept the connection and
// never answer, each with a POINTGETVALUE in flight all the time), it measures on the healthy
// site: the time from a host's POINTGETVALUE to its result (median of COUNT reads, the host asking
// every millisecond), and its polling rate (requests per second with ten points registered, from
// the frame trace). It also gives the resident memory each silent site adds.
//
// Usage: qmb_silent_sites TCPHOST:PORT [COUNT] [SECONDS]
//   the healthy slave (holding registers 1-10); COUNT reads (default 30), SECONDS of polling
//   (default 10) per stage.
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "host/QorModBusCom.h"
#include "platform/Log.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"

namespace {

using namespace qmb;
using namespace qmb::bench;

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Devices that take every connection and never say a word.
class SilentPeer {
 public:
  SilentPeer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) kept_.push_back(socket);
    });
  }
  uint16_t Port() const { return server_.serverPort(); }

 private:
  QTcpServer server_;
  std::vector<QTcpSocket*> kept_;  // owned by the server
};

struct SilentSite {
  std::unique_ptr<TQorModBusCom> host;
};

}  // namespace

int main(int argc, char** argv) {
  // On the dispatcher of the server without windows.
  QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s TCPHOST:PORT [COUNT] [SECONDS]\n", argv[0]);
    return 2;
  }
  const std::string tcp = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 30;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;

  // The healthy site's requests are counted from the frame trace; nothing else is printed.
  long healthyRequests = 0;
  const std::string healthyPrefix = "[trace] Site \"Healthy\": > ";
  SetLogLevel(LogLevel::Warning);
  SetCategoryLevel(LogCategory::Trace, LogLevel::Debug);
  SetLogSink([&](LogLevel, const std::string& line) {
    if (line.compare(0, healthyPrefix.size(), healthyPrefix) == 0) ++healthyRequests;
  });

  QtMessageLoop loop;
  QtSerialPortFactory serialPorts;
  QtTcpClientFactory tcpClients;
  TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                     QCoreApplication::applicationFilePath().toStdString());
  SilentPeer peer;
  int result = 0;
  QTimer::singleShot(0, [&] {
    auto healthy = std::make_unique<TQorModBusCom>(mainForm);
    if (!Open(*healthy, {"DESCRIPTION=Healthy", "BP3=TRUE", "SP3=" + tcp, "LOCALCLIENT=TRUE"})) {
      std::fprintf(stderr, "qmb_silent_sites: the healthy site did not open\n");
      result = 1;
      QCoreApplication::exit(1);
      return;
    }
    std::vector<std::string> points{"COMMAND=SENDPOINTSLIST"};
    for (int i = 0; i < 10; ++i)
      points.push_back("POINT" + std::to_string(i) + "={p" + std::to_string(i) + "}{HREG" +
                       std::to_string(i + 1) + "}");

    std::vector<SilentSite> silent;
    // Keeps a read in flight on every silent site: a new one as soon as the last has failed.
    QTimer keepReading;
    QObject::connect(&keepReading, &QTimer::timeout, [&] {
      for (SilentSite& site : silent) {
        const std::string status =
            Status(site.host->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})));
        if (Ended(status) || status.empty())
          site.host->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{HREG1}"}));
      }
    });
    keepReading.start(250);

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase(0, 100);
    std::printf("%-16s %12s %12s %12s %14s\n", "silent sites", "read median", "read max",
                "reads failed", "polls/second");
    for (const int stage : {0, 4, 50}) {
      const long rssBefore = ResidentKiB();
      while (static_cast<int>(silent.size()) < stage) {
        SilentSite site{std::make_unique<TQorModBusCom>(mainForm)};
        const std::string name = "Silent " + std::to_string(silent.size());
        if (!Open(*site.host,
                  {"DESCRIPTION=" + name, "BP3=TRUE",
                   "SP3=127.0.0.1:" + std::to_string(peer.Port()), "LOCALCLIENT=TRUE"})) {
          std::fprintf(stderr, "qmb_silent_sites: %s did not open\n", name.c_str());
          result = 1;
        }
        site.host->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{HREG1}"}));
        silent.push_back(std::move(site));
      }
      RunFor(2000);  // every silent read is waiting for its device now
      const long rssAfter = ResidentKiB();

      healthy->ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST"}));  // no polling while reading
      TimedRead(*healthy, "HREG4");  // the connection is made on first use
      std::vector<double> times;
      int failures = 0;
      for (int i = 0; i < count; ++i) {
        RunFor(phase(random));
        const double ms = TimedRead(*healthy, "HREG4", 60000);
        if (ms < 0)
          ++failures;
        else
          times.push_back(ms);
      }
      healthy->ExecuteImmediate(List(points));
      RunFor(1000);
      const long requestsBefore = healthyRequests;
      RunFor(seconds * 1000);
      const double pollRate = static_cast<double>(healthyRequests - requestsBefore) / seconds;

      std::printf("%-16d %9.1f ms %9.1f ms %12d %14.1f\n", stage, Median(times),
                  times.empty() ? -1.0 : *std::max_element(times.begin(), times.end()), failures,
                  pollRate);
      if (stage > 0 && rssAfter > rssBefore) {
        const int added = stage - (stage == 50 ? 4 : 0);
        std::printf("%-16s %.1f KiB resident per silent site (%d added)\n", "",
                    static_cast<double>(rssAfter - rssBefore) / added, added);
      }
      std::fflush(stdout);
      if (failures) result = 1;
    }
    keepReading.stop();
    silent.clear();
    QCoreApplication::exit(result);
  });
  const int loopResult = QCoreApplication::exec();
  SetLogSink(nullptr);
  return result ? result : loopResult;
}
