// The device watcher through the COM interfaces against virtual camcorders:
// an unplugged camera turns only its own object to CAM_E_REMOVED, also when it
// was plugged in again at once; RemoveDevice then SelectDevice works again;
// unplugs racing RemoveDevice end without deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/devices/device_sources.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace camctl::testing {
namespace {

using namespace std::chrono_literals;

// Ends the process when a test runs far past its time: a deadlock must show
// as a failure, not as a hung run.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) {
    thread_ = std::thread([this, limit] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
        std::fprintf(stderr, "watchdog: no progress for %lld s, deadlocked\n", static_cast<long long>(limit.count()));
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

class WatcherE2eTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    env_.emplace("velquin-watcher");
    SetDeviceSources(DeviceSources{});
  }
  void TearDown() override {
    for (ICDVEnumDevice* o : objects_) o->Release();
    objects_.clear();
    cameras_.clear();
    env_.reset();
  }

  vcam::Camera& AddCamera(const std::string& name) {
    vcam::CameraOptions options;
    options.model = GetParam();
    options.sampleContent = false;
    cameras_.push_back(vcam::CreateCamera(env_->Cameras(), name, options));
    cameras_.back()->Modify([](vcam::State& s) { s.busyMs = 0; });
    return *cameras_.back();
  }
  ICDVEnumDevice* NewObject() {
    void* p = nullptr;
    EXPECT_EQ(CameraControl::Create(nullptr, IID_ICDVEnumDevice, &p), S_OK);
    objects_.push_back(static_cast<ICDVEnumDevice*>(p));
    return objects_.back();
  }
  static HRESULT Select(ICDVEnumDevice* object, vcam::Camera& camera) {
    const platform::ComString id =
        platform::Utf8ToCom(camera.identity().friendlyName + "#" + camera.identity().uniqueId);
    BSTR text = SysAllocStringLen(id.data(), static_cast<UINT>(id.size()));
    const HRESULT hr = object->SelectDevice(text);
    SysFreeString(text);
    return hr;
  }
  // A plain setting write, which answers CAM_E_REMOVED once the object has seen the removal.
  static HRESULT Write(ICDVEnumDevice* object) {
    ICDVCameraControl* control = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&control)), S_OK);
    const HRESULT hr = control->SetStatus(1, 0);
    control->Release();
    return hr;
  }
  static ConnectionState Connection(ICDVEnumDevice* object) {
    ICDVCameraControl* control = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&control)), S_OK);
    CameraState& state = CameraControl::FromIdentity(control)->State();
    control->Release();
    std::lock_guard<std::recursive_mutex> hold(state.lock);
    return state.connection;
  }
  // Waits (bounded) for the object to see its camera's removal.
  static bool BecomesRemoved(ICDVEnumDevice* object) {
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
      if (Connection(object) == ConnectionState::Removed) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  std::vector<std::unique_ptr<vcam::Camera>> cameras_;
  std::vector<ICDVEnumDevice*> objects_;
};

TEST_P(WatcherE2eTest, UnpluggingOneOfTwoCamerasRemovesOnlyItsObject) {
  vcam::Camera& first = AddCamera("first");
  vcam::Camera& second = AddCamera("second");
  ICDVEnumDevice* a = NewObject();
  ICDVEnumDevice* b = NewObject();
  ASSERT_EQ(Select(a, first), S_OK);
  ASSERT_EQ(Select(b, second), S_OK);
  first.SetPlugged(false);
  ASSERT_TRUE(BecomesRemoved(a));
  EXPECT_EQ(Write(a), CAM_E_REMOVED);
  EXPECT_EQ(Select(a, first), CAM_E_LOCK_TIMEOUT) << "removed until the client calls RemoveDevice";
  std::this_thread::sleep_for(50ms);  // a stray notice would have reached the other object by now
  EXPECT_EQ(Connection(b), ConnectionState::Attached);
  EXPECT_EQ(Write(b), S_OK);
}

TEST_P(WatcherE2eTest, UnplugThenReplugStillCountsAsARemoval) {
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  ASSERT_EQ(Select(object, camera), S_OK);
  camera.Modify([](vcam::State& s) { s.plugged = 0; });
  camera.Modify([](vcam::State& s) { s.plugged = 1; });
  ASSERT_TRUE(BecomesRemoved(object));
  EXPECT_EQ(Write(object), CAM_E_REMOVED);
}

TEST_P(WatcherE2eTest, RemoveDeviceThenSelectDeviceWatchesAgain) {
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  ASSERT_EQ(Select(object, camera), S_OK);
  camera.SetPlugged(false);
  ASSERT_TRUE(BecomesRemoved(object));
  EXPECT_EQ(object->RemoveDevice(), S_OK);
  EXPECT_EQ(Connection(object), ConnectionState::NoCamera);
  camera.SetPlugged(true);
  ASSERT_EQ(Select(object, camera), S_OK);
  EXPECT_EQ(Write(object), S_OK);
  camera.SetPlugged(false);
  ASSERT_TRUE(BecomesRemoved(object)) << "the new selection has a watcher of its own";
}

TEST_P(WatcherE2eTest, RemoveDeviceWhileTheNoticeWaitsForTheObjectLock) {
  const Watchdog watchdog(60s);
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  ASSERT_EQ(Select(object, camera), S_OK);
  ICDVCameraControl* control = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&control)), S_OK);
  CameraState& state = CameraControl::FromIdentity(control)->State();
  control->Release();
  {
    // The client holds the object lock while the notice arrives, then stops
    // the watcher from inside RemoveDevice: the notice must give way.
    std::lock_guard<std::recursive_mutex> hold(state.lock);
    camera.SetPlugged(false);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(object->RemoveDevice(), S_OK);
    EXPECT_EQ(state.connection, ConnectionState::NoCamera);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Connection(object), ConnectionState::NoCamera) << "the stale notice changed nothing";
}

TEST_P(WatcherE2eTest, UnplugsRacingRemoveDeviceNeverDeadlock) {
  const Watchdog watchdog(120s);
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    camera.SetPlugged(true);
    ASSERT_EQ(Select(object, camera), S_OK);
    std::thread unplug([&] {
      if (round % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 7)));
      camera.SetPlugged(false);
    });
    if (round % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 5)));
    EXPECT_EQ(object->RemoveDevice(), S_OK);
    unplug.join();
    // A notice that came before RemoveDevice leaves the object removed; one
    // after it finds nothing selected. Either way RemoveDevice resets it.
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(object->RemoveDevice(), S_OK);
    EXPECT_EQ(Connection(object), ConnectionState::NoCamera);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, WatcherE2eTest, ::testing::Values("KV7", "KX1"));

}  // namespace
}  // namespace camctl::testing
