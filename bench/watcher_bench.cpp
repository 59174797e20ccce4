// How soon a camera control object sees its camera unplugged: the time from
// the unplug (what `vcam unplug` does) until the object answers
// CAM_E_REMOVED. Target: median under 20 ms.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "camctl/common/results.h"
#include "camctl/object/class_factory.h"
#include "camctl/object/interfaces.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

class Session {
 public:
  Session() {
    const std::string tag = std::to_string(std::random_device{}());
    root_ = fs::temp_directory_path() / ("velquin-watch-bench-" + tag);
    fs::create_directories(root_);
    setenv("VCAM_HOME", (root_ / "cameras").c_str(), 1);
    setenv("HOSTCOM_REGISTRY", (root_ / "registry.reg").c_str(), 1);
    setenv("VELQUIN_LOG_DIR", root_.c_str(), 1);
    setenv("VELQUIN_MUTEX_NAMESPACE", ("watch-bench-" + tag).c_str(), 1);
    vcam::CameraOptions options;
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(root_ / "cameras", "cam", options);
    camctl::CameraControlClassObject()->CreateInstance(nullptr, IID_ICDVEnumDevice,
                                                       reinterpret_cast<void**>(&devices_));
    devices_->QueryInterface(IID_ICDVPresetControl, reinterpret_cast<void**>(&presets_));
    const std::string id = camera_->identity().friendlyName + "#" + camera_->identity().uniqueId;
    id_ = SysAllocString(std::u16string(id.begin(), id.end()).c_str());
  }
  ~Session() {
    SysFreeString(id_);
    presets_->Release();
    devices_->Release();
    camera_.reset();
    fs::remove_all(root_);
  }

  bool Select() {
    devices_->RemoveDevice();
    camera_->SetPlugged(true);
    return devices_->SelectDevice(id_) == S_OK;
  }
  void Unplug() { camera_->SetPlugged(false); }
  bool Removed() {
    LONG count = 0;
    return presets_->GetPresetCount(&count) == camctl::CAM_E_REMOVED;
  }

 private:
  fs::path root_;
  std::unique_ptr<vcam::Camera> camera_;
  ICDVEnumDevice* devices_ = nullptr;
  ICDVPresetControl* presets_ = nullptr;
  BSTR id_ = nullptr;
};

void BM_RemovalSeen(benchmark::State& state) {
  Session session;
  for (auto _ : state) {
    if (!session.Select()) return state.SkipWithError("selection failed");
    const auto start = std::chrono::steady_clock::now();
    session.Unplug();
    const auto limit = start + std::chrono::seconds(2);
    while (!session.Removed()) {
      if (std::chrono::steady_clock::now() > limit) return state.SkipWithError("removal not seen in 2 s");
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_RemovalSeen)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(40)
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
