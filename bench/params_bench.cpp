// Cost of looking keys up in a host's open request: forty elements is a generous open list, and
// every engine reads its command parameters the same way.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/ParamList.h"

namespace {

qmb::Variant FortyElementList() {
  std::vector<std::string> texts;
  for (int k = 0; k < 39; ++k)
    texts.push_back("KEY" + std::to_string(k) + "=value " + std::to_string(k));
  texts.push_back("COMPORT=12");
  return qmb::Variant(qmb::SafeArray::OfTexts(texts));
}

void BM_GetParamStrFoundLast(benchmark::State& state) {
  const qmb::Variant list = FortyElementList();
  std::string value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qmb::GetParamStr(list, "COMPORT", value));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetParamStrFoundLast);

void BM_GetParamStrAbsent(benchmark::State& state) {
  const qmb::Variant list = FortyElementList();
  std::string value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qmb::GetParamStr(list, "PHONENUMBER", value));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetParamStrAbsent);

void BM_GetParamIntFoundLast(benchmark::State& state) {
  const qmb::Variant list = FortyElementList();
  int32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qmb::GetParamInt(list, "COMPORT", value));
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_GetParamIntFoundLast);

}  // namespace
