// One in-process COMMANDSTATUS round trip through the driver object, as a host polls it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/QorModBusCom.h"
#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace {

using namespace qmb;

// A driver in virtual time with one host on an offline site whose open was collected: the
// session is idle from here on.
struct OfflineHost {
  OfflineHost() {
    client.SetDriverOption(Variant(SafeArray::OfTexts({"VERSIONCHECK=1.8"})));
    client.OpenSite(Variant(SafeArray::OfTexts({"DESCRIPTION=Bench", "OFFLINE=TRUE"})));
    client.ExecuteCommand(Variant(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"})));
  }
  test::VirtualLoop loop;
  test::FakeSerialPortFactory serialPorts{loop};
  test::FakeTcpClientFactory tcpClients{loop};
  TMainForm main{loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus"};
  TQorModBusCom client{main};
};

void BM_CommandStatusRoundTrip(benchmark::State& state) {
  OfflineHost host;
  TQorModBusCom& client = host.client;
  const Variant poll(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"}));
  for (auto _ : state) {
    Variant reply = client.ExecuteCommand(poll);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_CommandStatusRoundTrip);

}  // namespace

// A host's SENDPOINTSLIST of state.range(0) distinct points through ExecuteImmediate: the
// driver's own share of a large list (the bus's share is in bench/points_list_bench.py). The list
// alternates between two key sets so that every send rebuilds the whole table.
void BM_SendPointsListImmediate(benchmark::State& state) {
  OfflineHost host;
  TQorModBusCom& client = host.client;
  std::vector<Variant> lists;
  for (const int slave : {1, 2}) {
    std::vector<std::string> texts{"COMMAND=SENDPOINTSLIST"};
    for (int64_t i = 0; i < state.range(0); ++i)
      texts.push_back("POINT" + std::to_string(i) + "={tag " + std::to_string(i) + "}{" +
                      std::to_string(slave) + "-HREG" + std::to_string(i) + "}");
    lists.emplace_back(SafeArray::OfTexts(texts));
  }
  size_t turn = 0;
  for (auto _ : state) {
    // The bus hands its list over; copying one is the bench's business, not the driver's.
    state.PauseTiming();
    Variant list = lists[turn++ % 2];
    state.ResumeTiming();
    Variant reply = client.ExecuteImmediate(std::move(list));
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SendPointsListImmediate)
    ->Arg(20000)
    ->Arg(40000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// The engine's own work per Modbus/TCP poll: the process ticks of a site polling 10 points, each
// request framed, its reply checked and shown, the value stored, on a device that answers within
// the tick. The user-space share of bench/tcp_scale.sh's CPU per poll, without the loop and the
// system calls, in the steady state that run is too short to reach: the site window's log full
// (its 5000 lines take a polling site about 45 minutes), each new line dropping the oldest.
void BM_TcpPollCycle(benchmark::State& state) {
  test::VirtualLoop loop;
  test::FakeSerialPortFactory serialPorts(loop);
  test::FakeTcpClientFactory tcpClients(loop);
  TMainForm main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus");
  TQorModBusCom client(main);
  client.SetDriverOption(Variant(SafeArray::OfTexts({"VERSIONCHECK=1.8"})));
  client.OpenSite(Variant(
      SafeArray::OfTexts({"DESCRIPTION=Bench", "BP3=TRUE", "SP3=10.0.0.5", "LOCALCLIENT=TRUE"})));
  client.ExecuteCommand(Variant(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"})));
  std::vector<std::string> list{"COMMAND=SENDPOINTSLIST"};
  for (int p = 0; p < 10; ++p)
    list.push_back("POINT" + std::to_string(p) + "={P" + std::to_string(p) + "}{HREG" +
                   std::to_string(p + 1) + "}");
  client.ExecuteImmediate(Variant(SafeArray::OfTexts(list)));
  test::FakeTcpClient& tcp = *tcpClients.Created.back();
  int64_t polls = 0;
  tcp.OnSend = [&](const std::string& frame) {
    ++polls;
    tcp.Sent.clear();
    // The request's header back, with a length of 5 and one register's value.
    std::string reply = frame.substr(0, 4) + std::string("\x00\x05", 2) + frame[6] + "\x03\x02";
    reply += std::string("\x00\x07", 2);
    loop.ScheduleIn(1, [&tcp, reply] { tcp.DeliverData(reply); });
  };
  for (size_t i = 0; i < SiteWindowModel::kMaxLogLines; ++i)
    client.Engine->Model.AddLogLine("Data In: [00][01][00][00][00][05][FF][03][02][00][07]");
  loop.RunFor(10000);  // connected and polling
  polls = 0;
  for (auto _ : state) loop.RunFor(100);  // one process tick
  state.counters["per_poll"] = benchmark::Counter(
      static_cast<double>(polls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TcpPollCycle);
