// Cost of one exchange with the virtual camcorder: an AV/C STATUS and a
// CONTROL frame, and a 32 KiB storage ReadFile. Each runs the whole path:
// camera lock, state file read, answer, state write when changed, trace line.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "storage/frames.h"
#include "vcam/vcam.h"

namespace {

class BenchCamera {
 public:
  BenchCamera() {
    char templ[] = "/tmp/vcam-bench-XXXXXX";
    if (::mkdtemp(templ) == nullptr) std::abort();
    root_ = templ;
    vcam::CameraOptions options;
    options.uniqueId = "0800460102ab00be";
    camera_ = vcam::CreateCamera(root_, "bench", options);
    camera_->Modify([](vcam::State& s) { s.busyMs = 0; });
  }
  ~BenchCamera() {
    camera_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  vcam::Camera& camera() { return *camera_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<vcam::Camera> camera_;
};

void BM_AvcStatusExchange(benchmark::State& state) {
  BenchCamera bench;
  for (auto _ : state) {
    uint8_t frame[vcam::kAvcFrameSize] = {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF};
    const int32_t result = bench.camera().AvcExchange(frame, 10);
    if (result != 0) state.SkipWithError("exchange failed");
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_AvcStatusExchange)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_AvcControlExchange(benchmark::State& state) {
  BenchCamera bench;
  uint8_t value = 0;
  for (auto _ : state) {
    // A changing value, so that every exchange rewrites the state file.
    uint8_t frame[vcam::kAvcFrameSize] = {0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x41, value};
    value = static_cast<uint8_t>((value + 1) % 13);
    if (bench.camera().AvcExchange(frame, 10) != 0) state.SkipWithError("exchange failed");
  }
}
BENCHMARK(BM_AvcControlExchange)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_StorageQueryMode(benchmark::State& state) {
  BenchCamera bench;
  for (auto _ : state) {
    uint8_t frame[storage::kQueryModeLength];
    storage::BuildQueryMode(frame);
    if (bench.camera().StorageExchange(frame, sizeof frame, nullptr, 0) != 0 ||
        frame[storage::query_mode::kMode] != storage::query_mode::kModeStorage) {
      state.SkipWithError("query failed");
    }
  }
}
BENCHMARK(BM_StorageQueryMode)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_StorageReadFile32K(benchmark::State& state) {
  BenchCamera bench;
  const uint8_t identity = bench.camera().ReadState().media[0].identity;
  std::vector<uint8_t> area(storage::kTransferAreaSize);
  for (auto _ : state) {
    uint8_t frame[storage::kReadFileLength];
    storage::BuildReadFile(frame, storage::Address{0, 0, identity}, "\\DCIM\\100KV7\\IMG_0001.JPG",
                           storage::kTransferAreaSize, storage::kTransferAreaSize, area.data());
    const int32_t result = bench.camera().StorageExchange(frame, sizeof frame, area.data(), static_cast<uint32_t>(area.size()));
    if (result != 0 || frame[1] != 0 || storage::GetBe32(frame + storage::read_file::kDelivered) != storage::kTransferAreaSize) {
      state.SkipWithError("read failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * storage::kTransferAreaSize);
}
BENCHMARK(BM_StorageReadFile32K)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
