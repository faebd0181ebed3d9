// Cost of the trace-enabled question as every trace call of an application
// asks it: a cache hit (the common case), the rules asked directly (handles
// beyond the cache), and hits from several threads at once.

#include <benchmark/benchmark.h>

#include <string>

#include "TraceFiltering/FilterAnswerCache.h"

namespace {

struct Setup {
  Setup() : labels(rules), clients(rules) {
    for (int i = 0; i < 100; ++i) rules.SetModuleStatus("module" + std::to_string(i), Status::Enabled);
    for (int i = 0; i < 40; ++i)
      rules.SetGlobalLabelStatus("label" + std::to_string(i), i % 2 ? Status::Enabled : Status::Disabled);
    rules.SetGlobalClientStatus("client", Status::Enabled);
    for (int m = 0; m < 100; ++m) rules.RegisterClient(m, "client", 7);
  }
  TraceFilterRules rules;
  KivCachedModuleLabelData<70, 30> labels;
  KivCachedModuleClientLabelData<70, 70, 30> clients;
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void BM_CachedModuleLabel(benchmark::State& state) {
  auto& s = Shared();
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.labels.GetCombinedData(i % 70, i % 30));
    ++i;
  }
}
BENCHMARK(BM_CachedModuleLabel)->ThreadRange(1, 2);

void BM_CachedModuleClientLabel(benchmark::State& state) {
  auto& s = Shared();
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.clients.GetCombinedData(i % 70, 7u, i % 30));
    ++i;
  }
}
BENCHMARK(BM_CachedModuleClientLabel)->ThreadRange(1, 2);

// Module handles 70..99 are beyond the cache: the rules answer under their lock.
void BM_UncachedModuleLabel(benchmark::State& state) {
  auto& s = Shared();
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.labels.GetCombinedData(70 + i % 30, i % 30));
    ++i;
  }
}
BENCHMARK(BM_UncachedModuleLabel)->ThreadRange(1, 2);

}  // namespace

BENCHMARK_MAIN();
