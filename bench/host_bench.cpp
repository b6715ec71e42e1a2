// One in-process COMMANDSTATUS round trip through the driver object, as a host polls it.
#include <benchmark/benchmark.h>

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
