// Loading the host registry store: a registry of 100,000 values in one key
// (the worst case of a key whose values used to be found by a linear search),
// parsed from text and read from its file under the shared lock. Target: a
// whole load under 200 ms.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "registry_store.h"

namespace {

std::string ManyValues(int count) {
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\n";
  for (int i = 0; i < count; ++i)
    text += "\"Value" + std::to_string(i) + "\"=\"data of value " + std::to_string(i) + "\"\n";
  return text + "\n";
}

void BM_ParseValuesOfOneKey(benchmark::State& state) {
  const std::string text = ManyValues(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    hostcom::RegTree tree;
    if (!hostcom::RegTree::Parse(text, tree)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(tree);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseValuesOfOneKey)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ReadRegistryFile(benchmark::State& state) {
  std::string dir = (std::filesystem::temp_directory_path() / "registry-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::filesystem::path file = std::filesystem::path(dir) / "registry.reg";
  std::ofstream(file, std::ios::binary) << ManyValues(static_cast<int>(state.range(0)));
  const hostcom::RegistryStore store(file);
  for (auto _ : state) {
    hostcom::RegTree tree;
    if (!store.Read(tree)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(tree);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReadRegistryFile)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
