// ICDVCameraControl and ICDVDeviceControl of a CameraControl object, attached
// to a scripted transport: the interface methods reach the camera, answer the
// state checks, check their out-pointers first, and a camera mutex held by
// another process stops them without traffic.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/settings/device_modes.h"
#include "settings_test_support.h"
#include "tests/support/test_environment.h"

namespace camctl::settings::testing {
namespace {

namespace fs = std::filesystem;

class InterfaceTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    if (HasFatalFailure()) return;
    dir_ = fs::temp_directory_path() / ("velquin-settings-" + mutexNamespace());
    fs::create_directories(dir_);
    velquin_testing::SetEnvironment("VELQUIN_LOG_DIR", dir_.string());
    ASSERT_EQ(CameraControl::Create(nullptr, IID_ICDVCameraControl, reinterpret_cast<void**>(&control_)), S_OK);
    ASSERT_EQ(control_->QueryInterface(IID_ICDVDeviceControl, reinterpret_cast<void**>(&modes_)), S_OK);
    object_ = &CameraControl::FromIdentity(control_)->State();
    // The fixture's own state stays attached too; every frame here comes from the object.
    objectDevice_ = std::make_unique<FakeDevice>(transport_);
    ASSERT_EQ(AttachTransport(*object_, objectDevice_.get()), S_OK);
  }
  void TearDown() override {
    if (modes_) modes_->Release();
    if (control_) control_->Release();  // detaches the object's camera
    velquin_testing::SetEnvironment("VELQUIN_LOG_DIR", "");
    std::error_code ec;
    fs::remove_all(dir_, ec);
    SettingsTest::TearDown();
  }

  ICDVCameraControl* control_ = nullptr;
  ICDVDeviceControl* modes_ = nullptr;
  CameraState* object_ = nullptr;
  std::unique_ptr<FakeDevice> objectDevice_;
  fs::path dir_;
};

TEST_F(InterfaceTest, SettingsTravelThroughTheCameraInterface) {
  ASSERT_EQ(control_->SetStatus(kFunctionSharpness, 9), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Control(0x47, {0x09}), Status(0x47, 1)}));
  LONG value = 0;
  ASSERT_EQ(control_->GetStatus(kFunctionSharpness, &value), S_OK);
  EXPECT_EQ(value, 9);
  ASSERT_EQ(control_->SetStatus(16, -3), S_OK);
  EXPECT_EQ(frames().back(), Control(0x1D, {0x0B}));
  ASSERT_EQ(control_->GetStatus(16, &value), S_OK);
  EXPECT_EQ(value, -3);

  transport().replies.push_back({0, {0x41, 0x00, 0x7F, 0x06}});
  LONG min = 0, max = 0, def = 0;
  ASSERT_EQ(control_->GetRange(kFunctionColorGain, &min, &max, &def), S_OK);
  EXPECT_EQ((std::vector<LONG>{min, max, def}), (std::vector<LONG>{0, 127, 6}));
}

TEST_F(InterfaceTest, RefusalsAndNullPointersSendNothing) {
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 128), CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(control_->SetStatus(kFunctionVDetail, 2), E_INVALIDARG);
  EXPECT_EQ(control_->SetStatus(14, 0), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(control_->GetStatus(6, nullptr), E_POINTER);
  LONG v = 0;
  EXPECT_EQ(control_->GetStatus(6, &v), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(control_->GetRange(1, &v, &v, &v), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(control_->GetRange(20, &v, nullptr, &v), E_POINTER);
  EXPECT_EQ(control_->GetCapability(nullptr), E_POINTER);
  EXPECT_EQ(modes_->SetCVMode(0), E_INVALIDARG);
  EXPECT_EQ(modes_->GetCVMode(&v, nullptr), E_POINTER);
  EXPECT_EQ(modes_->SetEvfDisplay(258), E_INVALIDARG);
  EXPECT_EQ(modes_->GetEvfDisplay(nullptr), E_POINTER);
  EXPECT_EQ(modes_->SetColorBars(4), E_INVALIDARG);
  EXPECT_EQ(modes_->GetColorBars(nullptr), E_POINTER);
  EXPECT_TRUE(frames().empty());
}

TEST_F(InterfaceTest, CapabilityFollowsTheModeTheDeviceInterfaceSets) {
  ProbeCapabilities(*object_);
  EXPECT_EQ(frames().size(), 25u);
  transport().frames.clear();

  transport().replies.push_back({0, {0x38, 0x00, 0x00, 0x00}});
  LONG mask = 0;
  ASSERT_EQ(control_->GetCapability(&mask), S_OK);
  EXPECT_EQ(static_cast<uint32_t>(mask), 0x0FFFFE3Fu);

  camera_.values[0x16] = {0x00};
  ASSERT_EQ(modes_->SetCVMode(kVcrMode), S_OK);
  transport().replies.push_back({0, {0x20, 0x00, 0x00, 0x00}});
  mask = 1;
  EXPECT_EQ(control_->GetCapability(&mask), CAM_E_REJECTED);
  EXPECT_EQ(mask, 1);

  ASSERT_EQ(modes_->SetColorBars(2), S_OK);
  EXPECT_EQ(modes_->SetCVMode(kVcrMode), CAM_E_REJECTED);
  LONG bars = 0;
  ASSERT_EQ(modes_->GetColorBars(&bars), S_OK);
  EXPECT_EQ(bars, 2);
}

TEST_F(InterfaceTest, RemovedAndDetachedObjectsAnswerTheirState) {
  DetachTransport(*object_);
  object_->connection = ConnectionState::Removed;
  LONG v = 0;
  EXPECT_EQ(control_->SetStatus(1, 0), CAM_E_REMOVED);
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 0), CAM_E_NOT_CONNECTED);
  EXPECT_EQ(control_->GetCapability(&v), CAM_E_REMOVED);
  EXPECT_EQ(modes_->GetEvfDisplay(&v), CAM_E_REMOVED);
  ICDVEnumDevice* devices = nullptr;
  ASSERT_EQ(control_->QueryInterface(IID_ICDVEnumDevice, reinterpret_cast<void**>(&devices)), S_OK);
  EXPECT_EQ(devices->RemoveDevice(), S_OK);  // back to no camera
  devices->Release();
  EXPECT_EQ(control_->SetStatus(1, 0), CAM_E_NOT_CONNECTED);
  EXPECT_EQ(modes_->SetCVMode(kCameraMode), CAM_E_NOT_CONNECTED);
  EXPECT_TRUE(frames().empty());
}

// Another process takes the camera mutex and keeps it until told to let go.
class OtherProcessHolds {
 public:
  explicit OtherProcessHolds(const fs::path& dir) : ready_(dir / "held"), release_(dir / "release") {
#ifdef _WIN32
    // cmd.exe drops the first and the last quote of the line: give it a pair to drop.
    const std::string cmd = std::string("\"\"") + SETTINGS_MUTEX_HOLDER + "\" \"" + ready_.string() + "\" \"" +
                            release_.string() + "\"\"";
#else
    const std::string cmd =
        std::string("'") + SETTINGS_MUTEX_HOLDER + "' '" + ready_.string() + "' '" + release_.string() + "'";
#endif
    runner_ = std::thread([this, cmd] { status_ = std::system(cmd.c_str()); });
  }
  ~OtherProcessHolds() { Release(); }
  OtherProcessHolds(const OtherProcessHolds&) = delete;
  OtherProcessHolds& operator=(const OtherProcessHolds&) = delete;

  bool WaitHeld() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(ready_)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  int Release() {
    if (runner_.joinable()) {
      std::ofstream(release_) << "go\n";
      runner_.join();
    }
    return status_;
  }

 private:
  fs::path ready_;
  fs::path release_;
  std::thread runner_;
  int status_ = -1;
};

TEST_F(InterfaceTest, ACameraMutexHeldByAnotherProcessTimesOutWithoutTraffic) {
  OtherProcessHolds other(dir_);
  ASSERT_TRUE(other.WaitHeld());
  LONG v = 0;
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 1), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(control_->GetStatus(kFunctionGamma, &v), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(control_->SetStatus(2, 1), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(modes_->SetColorBars(1), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(modes_->GetCVMode(&v, &v), CAM_E_LOCK_TIMEOUT);
  EXPECT_TRUE(frames().empty());
  EXPECT_EQ(other.Release(), 0);
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 1), S_OK);
}

}  // namespace
}  // namespace camctl::settings::testing
