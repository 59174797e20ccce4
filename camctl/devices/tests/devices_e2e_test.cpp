// Enumeration, selection, removal, device information and the device watcher
// through the COM interfaces of a CameraControl object, against virtual
// camcorders: result codes, out-values and the bytes in each camera's trace.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/devices/tests/fakes.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace camctl::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using TraceLine = vcam::TraceEntry;

std::vector<TraceLine> ReadTrace(const vcam::Camera& camera) { return camera.ReadTrace(); }

size_t CountFrames(const std::vector<TraceLine>& trace, const std::string& channel, const std::string& prefix) {
  size_t n = 0;
  for (const TraceLine& l : trace)
    if (l.channel == channel && l.frame.rfind(prefix, 0) == 0) ++n;
  return n;
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 15]);
  }
  return s;
}

constexpr char kIdentificationQuery[] = "0120000000850010" "13FFFF";
constexpr char kPresetAvailability[] = "0120000000850001" "73FF";

// Run against the KV7 model and another one: selection is the same for both.
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

class DevicesE2eTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = env_.emplace("velquin-devices").Dir();
    SetDeviceSources(DeviceSources{});
  }
  void TearDown() override {
    for (ICDVEnumDevice* o : objects_) o->Release();
    objects_.clear();
    cameras_.clear();
    env_.reset();
  }

  vcam::Camera& AddCamera(const std::string& name, vcam::CameraOptions options = {}) {
    if (options.model == "KV7") options.model = GetParam();  // the default model becomes the one under test
    options.sampleContent = false;
    cameras_.push_back(vcam::CreateCamera(dir_ / "cameras", name, options));
    return *cameras_.back();
  }
  ICDVEnumDevice* NewObject() {
    void* p = nullptr;
    EXPECT_EQ(CameraControl::Create(nullptr, IID_ICDVEnumDevice, &p), S_OK);
    objects_.push_back(static_cast<ICDVEnumDevice*>(p));
    return objects_.back();
  }
  static CameraState& StateOf(ICDVEnumDevice* object) {
    ICDVCameraControl* identity = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_ICDVCameraControl, reinterpret_cast<void**>(&identity)), S_OK);
    CameraState& state = CameraControl::FromIdentity(identity)->State();
    identity->Release();
    return state;
  }
  static std::string IdentifierOf(vcam::Camera& camera) {
    return camera.identity().friendlyName + "#" + camera.identity().uniqueId;
  }
  static void SetIdentityPath(vcam::Camera& camera, const std::string& devicePath) {
    const fs::path file = camera.dir() / "identity";
    std::ifstream in(file);
    std::string text, line;
    while (std::getline(in, line)) text += (line.rfind("device_path=", 0) == 0 ? "device_path=" + devicePath : line) + "\n";
    in.close();
    std::ofstream(file) << text;
  }

  // ---- Device watcher ----
  static HRESULT Select(ICDVEnumDevice* object, vcam::Camera& camera) {
    const Bstr id(IdentifierOf(camera));
    return object->SelectDevice(id.get());
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
    CameraState& state = StateOf(object);
    std::lock_guard<ObjectLock> hold(state.lock);
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
  fs::path dir_;
  std::vector<std::unique_ptr<vcam::Camera>> cameras_;
  std::vector<ICDVEnumDevice*> objects_;
};

TEST_P(DevicesE2eTest, EnumerateWithoutCameras) {
  ICDVEnumDevice* object = NewObject();
  SAFEARRAY* list = reinterpret_cast<SAFEARRAY*>(0x10);
  LONG count = 42;
  EXPECT_EQ(object->EnumerateDevice(&list, &count), S_FALSE);
  EXPECT_EQ(list, reinterpret_cast<SAFEARRAY*>(0x10));
  EXPECT_EQ(count, 42);
  EXPECT_EQ(object->EnumerateDevice(nullptr, &count), E_POINTER);
}

TEST_P(DevicesE2eTest, EnumerateOneCamera) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(object->EnumerateDevice(&list, &count), S_OK);
  EXPECT_EQ(count, 1);
  const auto names = ArrayStrings(list);
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names[0], "DV Camera#" + cam.identity().uniqueId);
  for (size_t i = 1; i < 10; ++i) EXPECT_EQ(names[i], "<null>");
  LONG lower = -1;
  EXPECT_EQ(SafeArrayGetLBound(list, 1, &lower), S_OK);
  EXPECT_EQ(lower, 0);
  SafeArrayDestroy(list);

  const auto trace = ReadTrace(cam);
  ASSERT_EQ(trace.size(), 1u) << "one identification query and nothing else";
  EXPECT_EQ(trace[0].channel, "avc");
  EXPECT_EQ(trace[0].frame, kIdentificationQuery);
  EXPECT_EQ(trace[0].response.substr(18, 4), "0101");
  EXPECT_EQ(StateOf(object).connection, ConnectionState::NoCamera);
}

TEST_P(DevicesE2eTest, EnumerateTwoCamerasAndLeaveOutAnUnsupportedOne) {
  vcam::Camera& a = AddCamera("a");
  vcam::CameraOptions other;
  other.supported = false;
  vcam::Camera& b = AddCamera("b", other);
  vcam::CameraOptions named;
  named.friendlyName = "Second DV";
  vcam::Camera& c = AddCamera("c", named);
  ICDVEnumDevice* object = NewObject();
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(object->EnumerateDevice(&list, &count), S_OK);
  EXPECT_EQ(count, 2);
  const auto names = ArrayStrings(list);
  SafeArrayDestroy(list);
  EXPECT_EQ(names[0], IdentifierOf(a));
  EXPECT_EQ(names[1], "Second DV#" + c.identity().uniqueId);
  EXPECT_EQ(names[2], "<null>");
  const auto traceB = ReadTrace(b);
  ASSERT_EQ(traceB.size(), 1u);
  EXPECT_EQ(traceB[0].response.substr(18, 4), "0102");
}

TEST_P(DevicesE2eTest, EnumerateTwelveCamerasListsTen) {
  for (int i = 0; i < 12; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "cam%02d", i);
    AddCamera(name);
  }
  ICDVEnumDevice* object = NewObject();
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(object->EnumerateDevice(&list, &count), S_OK);
  EXPECT_EQ(count, 10);
  const auto names = ArrayStrings(list);
  SafeArrayDestroy(list);
  ASSERT_EQ(names.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(names[i], IdentifierOf(*cameras_[i]));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadTrace(*cameras_[i]).size(), 1u);
  EXPECT_TRUE(ReadTrace(*cameras_[10]).empty());
  EXPECT_TRUE(ReadTrace(*cameras_[11]).empty());
}

TEST_P(DevicesE2eTest, DevicePathWithTooFewHashesEndsTheWalk) {
  vcam::Camera& first = AddCamera("a");
  vcam::Camera& broken = AddCamera("b");
  vcam::Camera& last = AddCamera("c");
  SetIdentityPath(broken, "\\\\?\\avc#marrowfield&kx1&camcorder&dv#" + broken.identity().uniqueId);
  ICDVEnumDevice* object = NewObject();
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(object->EnumerateDevice(&list, &count), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(ArrayStrings(list)[0], IdentifierOf(first));
  SafeArrayDestroy(list);
  EXPECT_TRUE(ReadTrace(last).empty()) << "not visited";

  Bstr lastId(IdentifierOf(last));
  EXPECT_EQ(object->SelectDevice(lastId.get()), E_FAIL);
  Bstr path;
  EXPECT_EQ(object->GetDeviceInfo(lastId.get(), nullptr, path.out(), nullptr), E_FAIL);
  EXPECT_EQ(path.get(), nullptr);
  EXPECT_TRUE(ReadTrace(last).empty());
}

TEST_P(DevicesE2eTest, SelectRemoveAndSelectAgain) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  CameraState& state = StateOf(object);
  Bstr id(IdentifierOf(cam));
  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  EXPECT_EQ(state.connection, ConnectionState::Attached);
  EXPECT_EQ(state.presetCount, 3);
  EXPECT_EQ(state.presetState, 0);
  EXPECT_NE(state.capabilityMask, 0u);
  EXPECT_EQ(platform::ComToUtf8(state.selectedDevicePath), cam.identity().devicePath);

  auto trace = ReadTrace(cam);
  EXPECT_EQ(CountFrames(trace, "avc", kIdentificationQuery), 0u) << "selection does not identify";
  EXPECT_EQ(CountFrames(trace, "avc", "012000000085000" "1F0"), 25u) << "capability inquiry";
  std::vector<uint8_t> count(265, 0);
  const std::string folder = "\\dev\\campset";
  const uint8_t head[] = {0x06, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x00, 12};
  std::copy(std::begin(head), std::end(head), count.begin());
  std::copy(folder.begin(), folder.end(), count.begin() + 10);
  ASSERT_EQ(CountFrames(trace, "storage", ""), 1u);
  const TraceLine& storageLine = trace[trace.size() - 2];
  EXPECT_EQ(storageLine.channel, "storage");
  EXPECT_EQ(storageLine.frame, HexOf(count));
  EXPECT_EQ(storageLine.response.substr(14, 4), "0003");
  EXPECT_EQ(trace.back().frame, kPresetAvailability) << "the availability query comes last";
  const size_t linesAfterFirst = trace.size();

  // Attached: a second selection touches nothing.
  EXPECT_EQ(object->SelectDevice(id.get()), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(ReadTrace(cam).size(), linesAfterFirst);

  EXPECT_EQ(object->RemoveDevice(), S_OK);
  EXPECT_EQ(state.connection, ConnectionState::NoCamera);
  EXPECT_FALSE(state.commandChannel);
  EXPECT_FALSE(state.storageChannel);
  EXPECT_EQ(state.presetState, -1);
  EXPECT_EQ(state.capabilityMask, 0u);
  EXPECT_EQ(state.presetCount, 3) << "the slot count stays";
  EXPECT_TRUE(state.selectedUniqueId.empty());
  EXPECT_EQ(object->RemoveDevice(), S_OK);

  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  EXPECT_EQ(state.connection, ConnectionState::Attached);
  EXPECT_GT(ReadTrace(cam).size(), linesAfterFirst);
}

TEST_P(DevicesE2eTest, SelectArgumentChecks) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  EXPECT_EQ(object->SelectDevice(nullptr), E_INVALIDARG);
  Bstr empty("");
  EXPECT_EQ(object->SelectDevice(empty.get()), E_INVALIDARG);
  std::string upper = IdentifierOf(cam);
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  Bstr wrongCase(upper);
  EXPECT_EQ(object->SelectDevice(wrongCase.get()), E_FAIL);
  EXPECT_TRUE(ReadTrace(cam).empty());
}

TEST_P(DevicesE2eTest, TwoObjectsOnOneCamera) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* first = NewObject();
  ICDVEnumDevice* second = NewObject();
  Bstr id(IdentifierOf(cam));
  ASSERT_EQ(first->SelectDevice(id.get()), S_OK);
  ASSERT_EQ(second->SelectDevice(id.get()), S_OK);
  // Enumeration works beside an attached object and leaves it alone.
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(first->EnumerateDevice(&list, &count), S_OK);
  EXPECT_EQ(count, 1);
  SafeArrayDestroy(list);
  EXPECT_EQ(StateOf(first).connection, ConnectionState::Attached);
  EXPECT_EQ(first->RemoveDevice(), S_OK);
  EXPECT_EQ(StateOf(second).connection, ConnectionState::Attached);
  EXPECT_TRUE(StateOf(second).storageChannel);
}

TEST_P(DevicesE2eTest, BusySlotCountIsAskedFiveTimes) {
  vcam::Camera& cam = AddCamera("cam");
  vcam::Fault busy;
  busy.kind = vcam::FaultKind::StorageStatus;
  busy.code = 0x06;
  busy.value = 0x80;
  cam.AddFault(busy);
  ICDVEnumDevice* object = NewObject();
  CameraState& state = StateOf(object);
  Bstr id(IdentifierOf(cam));
  EXPECT_EQ(object->SelectDevice(id.get()), CAM_E_BUSY);
  const auto trace = ReadTrace(cam);
  EXPECT_EQ(CountFrames(trace, "storage", "06"), 20u) << "five counts of four attempts";
  EXPECT_EQ(state.connection, ConnectionState::Attached) << "no roll back";
  EXPECT_EQ(state.presetCount, 0);
  EXPECT_EQ(state.presetState, 0) << "the availability is asked whatever the count's result";
  EXPECT_EQ(trace.back().frame, kPresetAvailability);
  EXPECT_EQ(object->SelectDevice(id.get()), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(object->RemoveDevice(), S_OK);
  cam.ClearFaults();
  EXPECT_EQ(object->SelectDevice(id.get()), S_OK);
  EXPECT_EQ(state.presetCount, 3);
}

TEST_P(DevicesE2eTest, SelectionTimeQueryOutcomes) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  CameraState& state = StateOf(object);
  Bstr id(IdentifierOf(cam));

  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  EXPECT_EQ(state.presetState, 0) << "answered 1";
  EXPECT_EQ(ReadTrace(cam).back().response.substr(18, 2), "01");
  ASSERT_EQ(object->RemoveDevice(), S_OK);

  cam.Modify([](vcam::State& s) { s.presetAvailable = 0; });
  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  EXPECT_EQ(state.presetState, -2) << "answered other than 1";
  EXPECT_EQ(ReadTrace(cam).back().frame, kPresetAvailability);
  ASSERT_EQ(object->RemoveDevice(), S_OK);

  cam.Modify([](vcam::State& s) { s.presetAvailable = 1; });
  vcam::Fault refused;
  refused.kind = vcam::FaultKind::AvcResult;
  refused.avcFrame = 1;
  refused.key = 0x0001;
  refused.code = 0x73;
  refused.value = 71;
  cam.AddFault(refused);
  EXPECT_EQ(object->SelectDevice(id.get()), S_OK) << "the outcome does not change the result";
  EXPECT_EQ(state.presetState, -1) << "refused: no answer";
  const auto trace = ReadTrace(cam);
  EXPECT_EQ(trace.back().frame, kPresetAvailability);
  EXPECT_EQ(trace.back().result, 71);
}

TEST_P(DevicesE2eTest, UnpluggedCameraCannotBeSelected) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  Bstr id(IdentifierOf(cam));
  cam.SetPlugged(false);
  EXPECT_EQ(object->SelectDevice(id.get()), E_FAIL);
  SAFEARRAY* list = reinterpret_cast<SAFEARRAY*>(0x10);
  LONG count = 5;
  EXPECT_EQ(object->EnumerateDevice(&list, &count), S_FALSE);
  EXPECT_EQ(count, 5);
  cam.SetPlugged(true);
  EXPECT_EQ(object->SelectDevice(id.get()), S_OK);
}

TEST_P(DevicesE2eTest, DeviceInfoWithAndWithoutAttachment) {
  vcam::Camera& cam = AddCamera("cam");
  vcam::CameraOptions kv7;
  kv7.model = "kv7";
  vcam::Camera& other = AddCamera("other", kv7);
  // kv7 in lower case stays a KV7: AddCamera only replaces the default model.
  ICDVEnumDevice* object = NewObject();
  Bstr friendly, path, model;
  Bstr id(IdentifierOf(cam));
  ASSERT_EQ(object->GetDeviceInfo(id.get(), friendly.out(), path.out(), model.out()), S_OK);
  EXPECT_EQ(friendly.utf8(), cam.identity().pnpFriendlyName);
  EXPECT_EQ(path.utf8(), cam.identity().devicePath);
  EXPECT_EQ(model.utf8(), GetParam());
  Bstr otherId(IdentifierOf(other));
  ASSERT_EQ(object->GetDeviceInfo(otherId.get(), nullptr, nullptr, model.out()), S_OK);
  EXPECT_EQ(model.utf8(), "KV7");
  EXPECT_TRUE(ReadTrace(cam).empty()) << "no camera traffic";

  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  ASSERT_EQ(object->GetDeviceInfo(otherId.get(), friendly.out(), nullptr, nullptr), S_OK);
  EXPECT_EQ(friendly.utf8(), other.identity().pnpFriendlyName);

  EXPECT_EQ(object->GetDeviceInfo(nullptr, friendly.out(), nullptr, nullptr), E_INVALIDARG);
  Bstr unknown("DV Camera#0000000000000000");
  EXPECT_EQ(object->GetDeviceInfo(unknown.get(), friendly.out(), path.out(), model.out()), E_FAIL);
  EXPECT_EQ(friendly.get(), nullptr);
  EXPECT_EQ(path.get(), nullptr);
  EXPECT_EQ(model.get(), nullptr);
}

TEST_P(DevicesE2eTest, ReleasingTheObjectClosesItsChannels) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  Bstr id(IdentifierOf(cam));
  ASSERT_EQ(object->SelectDevice(id.get()), S_OK);
  const int32_t attached = AttachedCameraCount();
  objects_.clear();
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(AttachedCameraCount(), attached - 1);
  // A new object can take the camera at once.
  ICDVEnumDevice* next = NewObject();
  EXPECT_EQ(next->SelectDevice(id.get()), S_OK);
}

// ---- Device watcher ------------------------------------------------------------------

TEST_P(DevicesE2eTest, UnpluggingOneOfTwoCamerasRemovesOnlyItsObject) {
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

TEST_P(DevicesE2eTest, UnplugThenReplugStillCountsAsARemoval) {
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  ASSERT_EQ(Select(object, camera), S_OK);
  camera.Modify([](vcam::State& s) { s.plugged = 0; });
  camera.Modify([](vcam::State& s) { s.plugged = 1; });
  ASSERT_TRUE(BecomesRemoved(object));
  EXPECT_EQ(Write(object), CAM_E_REMOVED);
}

TEST_P(DevicesE2eTest, RemoveDeviceThenSelectDeviceWatchesAgain) {
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

TEST_P(DevicesE2eTest, RemoveDeviceWhileTheNoticeWaitsForTheObjectLock) {
  const Watchdog watchdog(60s);
  vcam::Camera& camera = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  ASSERT_EQ(Select(object, camera), S_OK);
  CameraState& state = StateOf(object);
  {
    // The client holds the object lock while the notice arrives, then stops
    // the watcher from inside RemoveDevice: the notice must give way.
    std::lock_guard<ObjectLock> hold(state.lock);
    camera.SetPlugged(false);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(object->RemoveDevice(), S_OK);
    EXPECT_EQ(state.connection, ConnectionState::NoCamera);
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Connection(object), ConnectionState::NoCamera) << "the stale notice changed nothing";
}

TEST_P(DevicesE2eTest, UnplugsRacingRemoveDeviceNeverDeadlock) {
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

// Enumeration takes the object lock and then the camera mutex, as selection
// and removal do; in the other order the two threads below deadlock within a
// few rounds. A watchdog turns such a hang into a failure.
TEST_P(DevicesE2eTest, EnumeratingWhileAnotherThreadSelectsAndRemovesFinishes) {
  vcam::Camera& cam = AddCamera("cam");
  ICDVEnumDevice* object = NewObject();
  Bstr id(IdentifierOf(cam));
  constexpr int kRounds = 40;
  const Watchdog watchdog(60s);
  std::atomic<int> listed{0};
  std::thread enumerator([&] {
    for (int round = 0; round < kRounds; ++round) {
      SAFEARRAY* list = nullptr;
      LONG count = 0;
      if (object->EnumerateDevice(&list, &count) == S_OK && count == 1) listed.fetch_add(1);
      if (list != nullptr) SafeArrayDestroy(list);
    }
  });
  int selected = 0;
  for (int round = 0; round < kRounds; ++round) {
    if (object->SelectDevice(id.get()) == S_OK) ++selected;
    EXPECT_EQ(object->RemoveDevice(), S_OK);
  }
  enumerator.join();
  EXPECT_EQ(selected, kRounds);
  EXPECT_EQ(listed.load(), kRounds);
}

// The object lock goes to the threads in the order they asked for it: a thread
// that selects and removes in a loop never keeps an enumerating thread out.
// Ten cameras make each call hold the lock a while. The window closes as soon
// as both threads have made five calls, and at the latest after six seconds.
TEST_P(DevicesE2eTest, EnumeratingAndSelectingThreadsBothMakeProgress) {
  vcam::Camera& cam = AddCamera("cam");
  for (int i = 1; i < 10; ++i) AddCamera("other" + std::to_string(i));
  ICDVEnumDevice* object = NewObject();
  Bstr id(IdentifierOf(cam));
  constexpr int kEach = 5;
  const auto end = std::chrono::steady_clock::now() + 6s;
  std::atomic<int> enumerated{0}, cycled{0};
  const auto windowOpen = [&] {
    return (enumerated.load() < kEach || cycled.load() < kEach) && std::chrono::steady_clock::now() < end;
  };
  std::thread enumerator([&] {
    while (windowOpen()) {
      SAFEARRAY* list = nullptr;
      LONG count = 0;
      EXPECT_EQ(object->EnumerateDevice(&list, &count), S_OK);
      if (list != nullptr) SafeArrayDestroy(list);
      enumerated.fetch_add(1);
    }
  });
  while (windowOpen()) {
    EXPECT_EQ(object->SelectDevice(id.get()), S_OK);
    EXPECT_EQ(object->RemoveDevice(), S_OK);
    cycled.fetch_add(1);
  }
  enumerator.join();
  EXPECT_GE(enumerated.load(), kEach) << "against " << cycled.load() << " select and remove cycles";
  EXPECT_GE(cycled.load(), kEach) << "against " << enumerated.load() << " enumerations";
}

INSTANTIATE_TEST_SUITE_P(Models, DevicesE2eTest, ::testing::Values("KX1", "KV7"));

}  // namespace
}  // namespace camctl::testing
