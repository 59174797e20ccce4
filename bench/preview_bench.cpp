// Cost of the Linux preview: a camera's live picture at 25 frames a second in
// a 720 x 576 video window of a private Xvfb display, shown through the COM
// interfaces. Reported: the CPU time of this process (every thread: drawing,
// events, client) as a share of one core over the measured wall time, the
// frames drawn per second and the heap allocations per frame (counted by the
// replaced operator new). The drawing of one frame is measured on its own too.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/preview/tests/x_display.h"
#include "vcam/isolated_environment.h"
#include "vcam/picture.h"
#include "vcam/vcam.h"
#include "allocation_counter.h"
#include "x11_preview.h"

namespace {

using namespace std::chrono_literals;
using bench::g_allocations;

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_PreviewAt25Fps(benchmark::State& state) {
  if (!camctl::testing::XvfbInstalled()) {
    state.SkipWithError("Xvfb is not installed");
    return;
  }
  const auto display = camctl::testing::PrivateDisplay::Start();
  if (!display) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  vcam::testing::IsolatedEnvironment env("velquin-preview-bench");
  vcam::CameraOptions options;
  options.model = "KX1";
  options.sampleContent = false;
  auto camera = vcam::CreateCamera(env.Cameras(), "cam", options);
  std::optional<camctl::testing::TestClient> client(std::in_place);
  const xcb_window_t owner = client->CreateWindow(vcam::kFrameWidth, vcam::kFrameHeight);

  void* p = nullptr;
  camctl::CameraControl::Create(nullptr, IID_ICDVEnumDevice, &p);
  auto* devices = static_cast<ICDVEnumDevice*>(p);
  devices->QueryInterface(IID_ICDVPreviewControl, &p);
  auto* preview = static_cast<ICDVPreviewControl*>(p);
  const platform::ComString id =
      platform::Utf8ToCom(camera->identity().friendlyName + "#" + camera->identity().uniqueId);
  BSTR name = SysAllocStringLen(id.data(), static_cast<UINT>(id.size()));
  const bool up = devices->SelectDevice(name) == S_OK && preview->SetOwner(static_cast<LONG>(owner)) == S_OK &&
                  preview->SetVisible(-1) == S_OK && preview->StartPreview() == S_OK;
  SysFreeString(name);
  if (!up) {
    state.SkipWithError("the preview did not come up");
  } else {
    std::this_thread::sleep_for(500ms);  // past the first frames and their buffer
    for (auto _ : state) {
      const uint64_t framesBefore = platform::host::PreviewFramesDrawn();
      const uint64_t allocationsBefore = g_allocations.load();
      const double cpuBefore = ProcessCpuSeconds();
      const auto wallBefore = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
      const double cpu = ProcessCpuSeconds() - cpuBefore;
      const auto allocations = static_cast<double>(g_allocations.load() - allocationsBefore);
      const auto frames = static_cast<double>(platform::host::PreviewFramesDrawn() - framesBefore);
      state.SetIterationTime(wall);
      state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
      state.counters["frames_per_s"] = frames / wall;
      state.counters["allocs_per_frame"] = frames > 0 ? allocations / frames : 0.0;
    }
  }
  devices->RemoveDevice();
  preview->Release();
  devices->Release();
}
BENCHMARK(BM_PreviewAt25Fps)->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One frame of the test scene rendered at 720 x 576.
void BM_RenderFrame(benchmark::State& state) {
  vcam::PictureRenderer renderer;
  vcam::State camera = vcam::FactoryState(vcam::CameraOptions{});
  std::vector<uint32_t> pixels(static_cast<size_t>(vcam::kFrameWidth) * vcam::kFrameHeight);
  uint32_t number = 0;
  for (auto _ : state) {
    renderer.Render(camera, number++, pixels.data(), vcam::kFrameWidth, vcam::kFrameHeight, vcam::kFrameWidth);
    benchmark::DoNotOptimize(pixels.data());
  }
}
BENCHMARK(BM_RenderFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
