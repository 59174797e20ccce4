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

namespace {

std::atomic<uint64_t> g_allocations{0};

void* CountedAlloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* CountedAlignedAlloc(std::size_t size, std::align_val_t align) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const auto a = static_cast<std::size_t>(align);
  const std::size_t rounded = ((size == 0 ? 1 : size) + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded)) return p;
  throw std::bad_alloc();
}

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

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) { return CountedAlignedAlloc(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return CountedAlignedAlloc(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

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
