// qmb_point_latency: how long a host waits for POINTGETVALUE on an idle site, in-process on the
// real Qt loop: from the ExecuteCommand that the driver takes to the COMMANDSTATUS reply that
// carries the value. The host asks every millisecond, so the figure is the driver's own time,
// which the 100 ms tick bounds from below by design: the command starts on the next process tick
// (0-100 ms), a Modbus/TCP read then waits one Delay(1) (100-200 ms) for its reply, and an RTU
// read waits in passes of Delay(2) (200-300 ms each) until a pass brings no byte (two passes).
// Commands are spread over the tick's phase by a random pause before each.
//
// Usage: qmb_point_latency TCPHOST:PORT COM [COUNT]
//   reads holding register 4 of the Modbus/TCP slave and of slave 1 on the RTU line at COM
//   (found through QORMODBUS_COMDIR), COUNT times each (default 50).
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "host/QorModBusCom.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"

namespace {

using namespace qmb;
using namespace qmb::bench;

void Report(const char* what, std::vector<double> times, int failures) {
  std::sort(times.begin(), times.end());
  if (times.empty()) {
    std::printf("%s: no successful read (%d failed)\n", what, failures);
    return;
  }
  const size_t n = times.size();
  const double median = Median(times);
  std::printf("%s: %zu reads, median %.1f ms, min %.1f ms, max %.1f ms, %d failed\n", what, n,
              median, times.front(), times.back(), failures);
}

}  // namespace

int main(int argc, char** argv) {
  // On the dispatcher of the server without windows.
  QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TCPHOST:PORT COM [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string tcp = argv[1];
  const std::string com = argv[2];
  const int count = argc > 3 ? std::atoi(argv[3]) : 50;

  QtMessageLoop loop;
  QtSerialPortFactory serialPorts;
  QtTcpClientFactory tcpClients;
  TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                     QCoreApplication::applicationFilePath().toStdString());
  int result = 0;
  QTimer::singleShot(0, [&] {
    auto tcpHost = std::make_unique<TQorModBusCom>(mainForm);
    auto rtuHost = std::make_unique<TQorModBusCom>(mainForm);
    if (!Open(*tcpHost,
              {"DESCRIPTION=Latency TCP", "BP3=TRUE", "SP3=" + tcp, "LOCALCLIENT=TRUE"}) ||
        !Open(*rtuHost, {"DESCRIPTION=Latency RTU", "COMPORT=" + com, "BP2=TRUE", "IP1=1",
                         "LOCALCLIENT=TRUE"})) {
      std::fprintf(stderr, "qmb_point_latency: a site did not open\n");
      result = 1;
      QCoreApplication::exit(1);
      return;
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase(0, 100);
    const std::pair<TQorModBusCom*, std::string> sites[] = {{tcpHost.get(), "HREG4"},
                                                            {rtuHost.get(), "1-HREG4"}};
    const char* names[] = {"idle Modbus/TCP site", "idle RTU site"};
    for (int s = 0; s < 2; ++s) {
      TimedRead(*sites[s].first, sites[s].second);  // the TCP connection is made on first use
      std::vector<double> times;
      int failures = 0;
      for (int i = 0; i < count; ++i) {
        RunFor(phase(random));
        const double ms = TimedRead(*sites[s].first, sites[s].second);
        if (ms < 0)
          ++failures;
        else
          times.push_back(ms);
      }
      Report(names[s], times, failures);
      if (failures) result = 1;
    }
    std::fflush(stdout);
    QCoreApplication::exit(result);
  });
  const int loopResult = QCoreApplication::exec();
  return result ? result : loopResult;
}
