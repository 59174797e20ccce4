// One vendor STATUS command through the command channel against a transport
// that answers at once, camera mutex included. Reports the time per command and
// the heap allocations per command (counted by the replaced operator new).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "camctl/channel/command_channel.h"

#include "allocation_counter.h"

namespace {

using bench::g_allocations;

// Answers every STATUS at once with a fixed operand byte.
class InstantTransport final : public platform::AvcTransport {
 public:
  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t) noexcept override {
    frame[0] = 0x0C;  // STABLE
    frame[9] = 0x01;
    return 0;
  }
};

void BM_VendorStatusCommand(benchmark::State& state) {
  auto channel = std::make_unique<camctl::CommandChannel>(std::make_shared<InstantTransport>());
  if (!channel->HasMutex()) {
    state.SkipWithError("camera mutex unavailable");
    return;
  }
  uint8_t cell = 0xFF;
  int32_t failures = 0;
  const uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    cell = 0xFF;
    if (channel->SendVendorCommand(camctl::kCommandSetCamera, 0x75, camctl::Ctype::Status, {&cell}) != S_OK)
      ++failures;
    benchmark::DoNotOptimize(cell);
  }
  const uint64_t allocations = g_allocations.load(std::memory_order_relaxed) - before;
  if (failures != 0 || cell != 0x01) state.SkipWithError("command failed");
  state.counters["allocs_per_cmd"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_VendorStatusCommand)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // Keep the run's camera mutex apart from any real use on this machine.
  ::setenv("VELQUIN_MUTEX_NAMESPACE", "channel-bench", 0);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
