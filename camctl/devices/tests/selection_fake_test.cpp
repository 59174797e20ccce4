// Enumeration, selection, removal and device information on a camera object's
// state, against scripted device sources: the cases a real camera cannot show.
#include <gtest/gtest.h>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/devices/device_selection.h"
#include "camctl/devices/tests/fakes.h"
#include "storage/storage_channel.h"

namespace camctl::testing {
namespace {

class SelectionFakeTest : public FakeWorldTest {
 protected:
  // The object state opens its camera mutex handle in the test's namespace.
  void SetUp() override {
    FakeWorldTest::SetUp();
    state_ = std::make_unique<CameraState>();
  }
  void TearDown() override {
    Remove();
    state_.reset();
    FakeWorldTest::TearDown();
  }
  CameraState& S() { return *state_; }
  // What the object's RemoveDevice does.
  void Remove() {
    std::lock_guard<ObjectLock> hold(S().lock);
    DetachTransport(S());
    CloseStorageChannel(S());
    S().connection = ConnectionState::NoCamera;
    S().presetState = -1;
    S().capabilityMask = 0;
  }
  std::unique_ptr<CameraState> state_;
};

TEST_F(SelectionFakeTest, EnumerateWithNoDeviceLeavesOutValuesAlone) {
  SAFEARRAY* list = reinterpret_cast<SAFEARRAY*>(0x1);
  LONG count = 77;
  EXPECT_EQ(EnumerateDevices(S(), &list, &count), S_FALSE);
  EXPECT_EQ(list, reinterpret_cast<SAFEARRAY*>(0x1));
  EXPECT_EQ(count, 77);
  world_.listResult = static_cast<HRESULT>(0x80040154u);
  EXPECT_EQ(EnumerateDevices(S(), &list, &count), S_FALSE);
  EXPECT_EQ(count, 77);
}

TEST_F(SelectionFakeTest, EnumerateNullPointers) {
  world_.AddCamera("0800460102ab0001");
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  EXPECT_EQ(EnumerateDevices(S(), nullptr, &count), E_POINTER);
  EXPECT_EQ(EnumerateDevices(S(), &list, nullptr), E_POINTER);
  EXPECT_TRUE(world_.cameras[0].frames.empty());
}

TEST_F(SelectionFakeTest, EnumerateUnsupportedOnlyGivesZero) {
  FakeCamera& a = world_.AddCamera("0800460102ab0001");
  a.idByte10 = 2;
  FakeCamera& b = world_.AddCamera("0800460102ab0002");
  b.idFallback = 50;
  FakeCamera& c = world_.AddCamera("0800460102ab0003");
  c.idFallback = 31;
  SAFEARRAY* list = reinterpret_cast<SAFEARRAY*>(0x1);
  LONG count = 77;
  EXPECT_EQ(EnumerateDevices(S(), &list, &count), S_FALSE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list, reinterpret_cast<SAFEARRAY*>(0x1));
  EXPECT_EQ(a.frames.size(), 1u);
  EXPECT_EQ(b.frames.size(), 1u);
  EXPECT_EQ(c.frames.size(), 4u);
}

TEST_F(SelectionFakeTest, EnumerateStopsAtTenAndAtAnIncompleteRecord) {
  for (int i = 0; i < 12; ++i) {
    char id[17];
    std::snprintf(id, sizeof id, "08004601020000%02d", i);
    world_.AddCamera(id);
  }
  world_.cameras[3].idByte10 = 0;  // not supported: skipped, the next one takes its place
  SAFEARRAY* list = nullptr;
  LONG count = 0;
  ASSERT_EQ(EnumerateDevices(S(), &list, &count), S_OK);
  EXPECT_EQ(count, 10);
  const auto names = ArrayStrings(list);
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names[2], "DV Camera#0800460102000002");
  EXPECT_EQ(names[3], "DV Camera#0800460102000004");
  EXPECT_EQ(names[9], "DV Camera#0800460102000010");
  EXPECT_TRUE(world_.cameras[11].frames.empty()) << "no query once ten are listed";
  SafeArrayDestroy(list);

  // A broken device path ends the walk: those behind it are not listed.
  world_.cameras[5].devicePath = "x#maker&kv7&dv#0800460102000005";
  ASSERT_EQ(EnumerateDevices(S(), &list, &count), S_OK);
  EXPECT_EQ(count, 4);
  const auto shorter = ArrayStrings(list);
  ASSERT_EQ(shorter.size(), 10u);
  EXPECT_EQ(shorter[3], "DV Camera#0800460102000004");
  for (size_t i = 4; i < 10; ++i) EXPECT_EQ(shorter[i], "<null>");
  SafeArrayDestroy(list);
  EXPECT_EQ(S().connection, ConnectionState::NoCamera) << "enumeration does not change the object";
  EXPECT_FALSE(S().commandChannel);
}

TEST_F(SelectionFakeTest, SelectFollowsEveryStep) {
  FakeCamera& cam = world_.AddCamera("0800460102AB0001");
  world_.AddImaging("0800460102ab9999", "{cls}\\0000");
  world_.AddImaging("0800460102ab0001", "{cls}\\0001");  // the match ignores case
  world_.storage.count = 120;
  Bstr id("DV Camera#0800460102AB0001");
  ASSERT_EQ(SelectDevice(S(), id.get()), S_OK);
  EXPECT_EQ(S().connection, ConnectionState::Attached);
  EXPECT_TRUE(S().commandChannel);
  ASSERT_TRUE(S().storageChannel);
  EXPECT_EQ(S().presetCount, 99) << "more than 99 slots are cut to 99";
  EXPECT_EQ(S().presetState, 0);
  EXPECT_EQ(platform::ComToUtf8(S().selectedUniqueId), "0800460102AB0001");
  EXPECT_EQ(world_.storage.openedPath, "\\\\?\\1394#maker&kv7#0800460102ab0001#{6bdd1fc6}");
  EXPECT_EQ(cam.CountCode(0x0010, 0x13), 0u) << "selection does not identify";
  EXPECT_EQ(cam.CountCode(0x0001, 0xF0), 25u) << "the capability inquiry ran";
  ASSERT_EQ(cam.CountCode(0x0001, 0x73), 1u);
  EXPECT_EQ(cam.frames.back(), (Bytes{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x73, 0xFF}));
  ASSERT_EQ(world_.storage.frames.size(), 1u);
  EXPECT_EQ(world_.storage.frames[0][0], 0x06);
}

TEST_F(SelectionFakeTest, SelectArgumentAndStateChecks) {
  world_.AddCamera("0800460102ab0001");
  world_.AddImaging("0800460102ab0001", "{cls}\\0001");
  EXPECT_EQ(SelectDevice(S(), nullptr), E_INVALIDARG);
  Bstr empty("");
  EXPECT_EQ(SelectDevice(S(), empty.get()), E_INVALIDARG);
  Bstr caseDiffers("dv camera#0800460102ab0001");
  EXPECT_EQ(SelectDevice(S(), caseDiffers.get()), E_FAIL);
  EXPECT_EQ(S().connection, ConnectionState::NoCamera);
  EXPECT_EQ(world_.cameras[0].binds, 0);

  S().connection = ConnectionState::Removed;
  Bstr id("DV Camera#0800460102ab0001");
  EXPECT_EQ(SelectDevice(S(), id.get()), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(world_.cameras[0].binds, 0);
  S().connection = ConnectionState::NoCamera;
}

TEST_F(SelectionFakeTest, SelectFailuresBeforeAndAfterAttaching) {
  FakeCamera& cam = world_.AddCamera("0800460102ab0001");
  Bstr id("DV Camera#0800460102ab0001");

  cam.bindable = false;
  EXPECT_EQ(SelectDevice(S(), id.get()), E_FAIL);
  EXPECT_EQ(platform::ComToUtf8(S().selectedUniqueId), "0800460102ab0001") << "kept after a failure";
  EXPECT_EQ(S().connection, ConnectionState::NoCamera);
  cam.bindable = true;

  cam.hasTransport = false;
  EXPECT_EQ(SelectDevice(S(), id.get()), E_FAIL);
  EXPECT_EQ(S().connection, ConnectionState::NoCamera);
  cam.hasTransport = true;

  // No imaging device carries the id: attached, but without storage.
  world_.AddImaging("0800460102ab0002", "{cls}\\0002");
  world_.imaging.push_back({0x00010000, "{cls}\\0003", "\\??\\x#y#0800460102ab0001#z"});  // a scanner
  EXPECT_EQ(SelectDevice(S(), id.get()), E_FAIL);
  EXPECT_EQ(S().connection, ConnectionState::Attached);
  EXPECT_FALSE(S().storageChannel);
  EXPECT_EQ(SelectDevice(S(), id.get()), CAM_E_LOCK_TIMEOUT) << "no roll back";
  Remove();

  world_.imagingResult = E_ACCESSDENIED;
  EXPECT_EQ(SelectDevice(S(), id.get()), E_FAIL);
  Remove();
}

TEST_F(SelectionFakeTest, StorageOpenFailureIsTheResult) {
  world_.AddCamera("0800460102ab0001");
  world_.AddImaging("0800460102ab0001", "{cls}\\0001");
  world_.storage.openError = 5;
  Bstr id("DV Camera#0800460102ab0001");
  EXPECT_EQ(SelectDevice(S(), id.get()), static_cast<HRESULT>(0x80070005u));
  EXPECT_FALSE(S().storageChannel);
  EXPECT_EQ(S().presetState, -1);
  EXPECT_EQ(world_.cameras[0].CountCode(0x0001, 0x73), 0u);
}

struct SlotCountCase {
  const char* name;
  std::vector<uint8_t> statuses;
  uint8_t fallback;
  HRESULT result;
  size_t frames;
  int32_t presetCount;
};

class SlotCountTest : public SelectionFakeTest, public ::testing::WithParamInterface<SlotCountCase> {};

TEST_P(SlotCountTest, BusyIsAskedFiveTimes) {
  const SlotCountCase& c = GetParam();
  world_.AddCamera("0800460102ab0001");
  world_.AddImaging("0800460102ab0001", "{cls}\\0001");
  world_.storage.statuses.assign(c.statuses.begin(), c.statuses.end());
  world_.storage.fallbackStatus = c.fallback;
  world_.storage.count = 3;
  Bstr id("DV Camera#0800460102ab0001");
  EXPECT_EQ(SelectDevice(S(), id.get()), c.result);
  EXPECT_EQ(world_.storage.frames.size(), c.frames);
  EXPECT_EQ(S().presetCount, c.presetCount);
  EXPECT_EQ(S().connection, ConnectionState::Attached);
  EXPECT_TRUE(S().storageChannel);
  EXPECT_EQ(S().presetState, 0) << "the availability query runs whatever the count's result";
  EXPECT_TRUE(world_.storage.sleeps.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SlotCountTest,
    ::testing::Values(SlotCountCase{"BusyThroughout", {}, 0x80, CAM_E_BUSY, 20, 0},
                      SlotCountCase{"BusySevenTimes", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, 0, S_OK, 8, 3},
                      SlotCountCase{"Protected", {}, 0xA8, CAM_E_PROTECTED, 1, 0},
                      SlotCountCase{"Failure", {}, 0x82, E_FAIL, 1, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SelectionFakeTest, PresetAvailabilityOutcomes) {
  struct Case {
    uint8_t answer;
    int32_t result;
    int32_t state;
  };
  const Case cases[] = {{1, 0, 0}, {0, 0, -2}, {2, 0, -2}, {1, 71, -1}, {1, 50, -1}};
  for (const Case& c : cases) {
    world_.cameras.clear();
    world_.imaging.clear();
    FakeCamera& cam = world_.AddCamera("0800460102ab0001");
    world_.AddImaging("0800460102ab0001", "{cls}\\0001");
    cam.presetAvailable = c.answer;
    cam.presetAvailableResult = c.result;
    Bstr id("DV Camera#0800460102ab0001");
    EXPECT_EQ(SelectDevice(S(), id.get()), S_OK) << "the outcome never changes the result";
    EXPECT_EQ(S().presetState, c.state) << int(c.answer) << " " << c.result;
    Remove();
  }
}

TEST_F(SelectionFakeTest, DeviceInfo) {
  world_.AddCamera("0800460102ab0001");
  FakeCamera& plain = world_.AddCamera("0800460102ab0002");
  plain.devicePath = "\\\\?\\avc#makerdv#0800460102ab0002#{guid}";
  plain.pnpFriendlyName.clear();
  Bstr friendly, path, model;
  Bstr id("DV Camera#0800460102ab0001");
  ASSERT_EQ(GetDeviceInfo(id.get(), friendly.out(), path.out(), model.out()), S_OK);
  EXPECT_EQ(friendly.utf8(), "Marrowfield DV Camera");
  EXPECT_EQ(path.utf8(), world_.cameras[0].devicePath);
  EXPECT_EQ(model.utf8(), "KV7");

  Bstr id2("DV Camera#0800460102ab0002");
  ASSERT_EQ(GetDeviceInfo(id2.get(), friendly.out(), path.out(), model.out()), S_OK);
  EXPECT_EQ(friendly.get(), nullptr);
  EXPECT_EQ(model.get(), nullptr);
  EXPECT_EQ(path.utf8(), plain.devicePath);

  // Only the pointers given are written.
  ASSERT_EQ(GetDeviceInfo(id.get(), nullptr, nullptr, model.out()), S_OK);
  EXPECT_EQ(model.utf8(), "KV7");

  EXPECT_EQ(GetDeviceInfo(nullptr, friendly.out(), nullptr, nullptr), E_INVALIDARG);
  Bstr other("DV Camera#0800460102ab0003");
  BSTR stale = SysAllocString(platform::Utf8ToCom("stale").c_str());
  BSTR kept = stale;
  EXPECT_EQ(GetDeviceInfo(other.get(), &kept, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(kept, nullptr) << "out-values are nulled first";
  SysFreeString(stale);

  world_.listResult = static_cast<HRESULT>(0x80040154u);
  EXPECT_EQ(GetDeviceInfo(id.get(), nullptr, nullptr, nullptr), static_cast<HRESULT>(0x80040154u));
  world_.listResult = S_OK;
  world_.cameras.clear();
  EXPECT_EQ(GetDeviceInfo(id.get(), nullptr, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(S().connection, ConnectionState::NoCamera);
}

}  // namespace
}  // namespace camctl::testing
