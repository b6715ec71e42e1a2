// One in-process COMMANDSTATUS round trip through the driver object, as a host polls it.
#include <benchmark/benchmark.h>

#include <utility>

#include "host/QorModBusCom.h"
#include "support/FakeLinks.h"
#include "support/VirtualLoop.h"

namespace {

using namespace qmb;

void BM_CommandStatusRoundTrip(benchmark::State& state) {
  test::VirtualLoop loop;
  test::FakeSerialPortFactory serialPorts(loop);
  test::FakeTcpClientFactory tcpClients(loop);
  TMainForm main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus");
  TQorModBusCom client(main);
  client.SetDriverOption(Variant(SafeArray::OfTexts({"VERSIONCHECK=1.8"})));
  client.OpenSite(Variant(SafeArray::OfTexts({"DESCRIPTION=Bench", "OFFLINE=TRUE"})));
  const Variant poll(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"}));
  client.ExecuteCommand(poll);  // collects the open's result: the session is idle from here on
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
  test::VirtualLoop loop;
  test::FakeSerialPortFactory serialPorts(loop);
  test::FakeTcpClientFactory tcpClients(loop);
  TMainForm main(loop, loop, serialPorts, tcpClients, "/usr/bin/qormodbus");
  TQorModBusCom client(main);
  client.SetDriverOption(Variant(SafeArray::OfTexts({"VERSIONCHECK=1.8"})));
  client.OpenSite(Variant(SafeArray::OfTexts({"DESCRIPTION=Bench", "OFFLINE=TRUE"})));
  client.ExecuteCommand(Variant(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"})));
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
