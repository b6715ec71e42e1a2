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
#include <QDeadlineTimer>
#include <QElapsedTimer>
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

#include "host/QorModBusCom.h"
#include "platform/Log.h"
#include "platform/ParamList.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"

namespace {

using namespace qmb;

Variant List(const std::vector<std::string>& texts) {
  return Variant(SafeArray::OfTexts(texts));
}

std::string Status(const Variant& reply) {
  std::string status;
  GetParamStr(reply, "COMMANDSTATUS", status);
  return status;
}

bool Ended(const std::string& status) {
  return status == "TRUE" || status == "FALSE" || status == "LOCKED";
}

// Runs the loop for about the given time, waking every millisecond.
void RunFor(int milliseconds) {
  QDeadlineTimer deadline(milliseconds);
  QTimer wake;
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(1);
  while (!deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

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

bool Open(TQorModBusCom& host, const std::vector<std::string>& keys) {
  host.SetDriverOption(List({"VERSIONCHECK=1.8"}));
  if (!host.OpenSite(List(keys))) return false;
  for (int i = 0; i < 100; ++i) {
    const std::string status = Status(host.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})));
    if (status == "TRUE") return true;
    if (status == "FALSE") return false;
    RunFor(20);
  }
  return false;
}

// One POINTGETVALUE; milliseconds from its acceptance to its result, negative on failure.
double TimedRead(TQorModBusCom& host, const std::string& address) {
  const Variant command = List({"COMMAND=POINTGETVALUE", "POINT={p}{" + address + "}"});
  QElapsedTimer clock;
  std::string status;
  for (int tries = 0; tries < 5000; ++tries) {
    clock.start();
    status = Status(host.ExecuteCommand(command));
    if (status != "Waiting for driver...") break;
    RunFor(1);
  }
  const Variant poll = List({"COMMAND=COMMANDSTATUS"});
  while (!Ended(status) && clock.elapsed() < 60000) {
    RunFor(1);
    status = Status(host.ExecuteCommand(poll));
  }
  return status == "TRUE" ? static_cast<double>(clock.nsecsElapsed()) / 1e6 : -1.0;
}

double Median(std::vector<double> times) {
  if (times.empty()) return -1;
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
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
        const double ms = TimedRead(*healthy, "HREG4");
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
