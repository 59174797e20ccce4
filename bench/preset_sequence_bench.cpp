// The two camera operations of the preset manager, through the COM interfaces
// against a virtual camcorder that is never busy:
//   Set Preset: select the slot, wait for preset state 0, fifteen SetStatus
//               writes in the editors' order, RegisterPreset.
//   Read Preset: select the slot, wait for state 0, fifteen GetStatus reads,
//               GetPresetName.
// Set Preset's floor is its fixed waits: every picture write pauses 32 ms
// before its read-back, fifteen times. On the KV7 every picture write first
// re-applies preset 0 (a file read and fifteen frames), which must stay within
// 5 % of that floor. Set Preset runs under the operation lock that the
// window and presetctl hold around it (taken and given back every time), and
// must stay within 5 % of its floor with it.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "app/access/operation_lock.h"
#include "camctl/object/class_factory.h"
#include "camctl/object/interfaces.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

// Function numbers in the editors' order, and a camera value for each.
constexpr LONG kFunctions[15] = {31, 32, 33, 34, 29, 30, 20, 21, 24, 25, 26, 22, 23, 27, 28};
// Two sets that differ in every value, taken in turn, so every write changes
// the camera's setting (on a KV7 also its preset 0, the working copy).
constexpr LONG kValues[2][15] = {{1, 2, 0, 3, 1, 0, 6, 12, 0, 7, 5, 6, 9, 6, 3},
                                 {0, 1, 2, 2, 0, 1, 7, 11, 1, 8, 4, 5, 10, 7, 2}};
constexpr LONG kSlot = 2;

// One folder of cameras for the whole run.
class Root {
 public:
  Root() {
    const std::string tag = std::to_string(std::random_device{}());
    root_ = fs::temp_directory_path() / ("velquin-bench-" + tag);
    fs::create_directories(root_);
    setenv("VCAM_HOME", (root_ / "cameras").c_str(), 1);
    setenv("HOSTCOM_REGISTRY", (root_ / "registry.reg").c_str(), 1);
    setenv("VELQUIN_LOG_DIR", root_.c_str(), 1);
    setenv("VELQUIN_MUTEX_NAMESPACE", ("bench-" + tag).c_str(), 1);
  }
  ~Root() { fs::remove_all(root_); }
  fs::path Cameras() const { return root_ / "cameras"; }

 private:
  fs::path root_;
};

Root& TheRoot() {
  static Root root;
  return root;
}

// An object with its own camera of the given model selected.
class Session {
 public:
  explicit Session(const std::string& model) {
    vcam::CameraOptions options;
    options.model = model;
    auto camera = vcam::CreateCamera(TheRoot().Cameras(), model, options);
    camera->Modify([](vcam::State& state) { state.busyMs = 0; });

    camctl::CameraControlClassObject()->CreateInstance(nullptr, IID_ICDVEnumDevice,
                                                       reinterpret_cast<void**>(&devices_));
    devices_->QueryInterface(IID_ICDVPresetControl, reinterpret_cast<void**>(&presets_));
    devices_->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&camera_));
    const std::string id = camera->identity().friendlyName + "#" + camera->identity().uniqueId;
    identifier_ = id;
    BSTR text = SysAllocString(std::u16string(id.begin(), id.end()).c_str());
    ok_ = devices_->SelectDevice(text) == S_OK;
    SysFreeString(text);
  }
  ~Session() {
    camera_->Release();
    presets_->Release();
    devices_->Release();
  }

  bool ok() const { return ok_; }

  bool SelectAndWait() {
    if (presets_->SelectPreset(kSlot) != S_OK) return false;
    LONG state = 1;
    for (int polls = 0; polls < 1000; ++polls) {
      if (presets_->GetPresetState(&state) != S_OK) return false;
      if (state == 0) return true;
    }
    return false;
  }

  bool SetPreset() {
    presets::OperationLocks lock;
    if (lock.Acquire(identifier_) != presets::LockOutcome::Held) return false;
    if (!SelectAndWait()) return false;
    const LONG* values = kValues[round_++ % 2];
    for (int i = 0; i < 15; ++i)
      if (camera_->SetStatus(kFunctions[i], values[i]) != S_OK) return false;
    BSTR name = SysAllocString(u"BENCH");
    const bool registered = presets_->RegisterPreset(kSlot, name) == S_OK;
    SysFreeString(name);
    return registered;
  }

  bool ReadPreset() {
    if (!SelectAndWait()) return false;
    for (int i = 0; i < 15; ++i) {
      LONG value = -1;
      if (camera_->GetStatus(kFunctions[i], &value) != S_OK) return false;
    }
    BSTR name = nullptr;
    const bool named = presets_->GetPresetName(kSlot, &name) == S_OK;
    SysFreeString(name);
    return named;
  }

 private:
  ICDVEnumDevice* devices_ = nullptr;
  ICDVPresetControl* presets_ = nullptr;
  ICDVCameraControl* camera_ = nullptr;
  std::string identifier_;
  bool ok_ = false;
  unsigned round_ = 0;
};

Session& TheSession() {
  static Session session("KX1");
  return session;
}
Session& TheKv7Session() {
  static Session session("KV7");
  return session;
}

void RunSetPreset(benchmark::State& state, Session& session) {
  if (!session.ok()) return state.SkipWithError("no virtual camera selected");
  for (auto _ : state)
    if (!session.SetPreset()) return state.SkipWithError("Set Preset failed");
  state.counters["floor_ms"] = 15 * 32;
}

void BM_SetPreset(benchmark::State& state) { RunSetPreset(state, TheSession()); }
BENCHMARK(BM_SetPreset)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3)
    ->ReportAggregatesOnly(true)->UseRealTime();

// The same on a KV7: every picture write re-applies preset 0 first.
void BM_SetPresetKv7(benchmark::State& state) { RunSetPreset(state, TheKv7Session()); }
BENCHMARK(BM_SetPresetKv7)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3)
    ->ReportAggregatesOnly(true)->UseRealTime();

// The operation lock alone: opened, taken and given back, as every Set Preset does.
void BM_OperationLock(benchmark::State& state) {
  for (auto _ : state) {
    presets::OperationLocks lock;
    if (lock.Acquire("DV Camera#bench") != presets::LockOutcome::Held) return state.SkipWithError("not taken");
  }
}
BENCHMARK(BM_OperationLock)->Unit(benchmark::kMicrosecond);

void BM_ReadPreset(benchmark::State& state) {
  auto& session = TheSession();
  if (!session.ok()) return state.SkipWithError("no virtual camera selected");
  for (auto _ : state)
    if (!session.ReadPreset()) return state.SkipWithError("Read Preset failed");
}
BENCHMARK(BM_ReadPreset)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
