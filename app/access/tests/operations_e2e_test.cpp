// The camera operations through the registered library, created through COM
// by its class identifier, against the virtual camcorder: the frames on the
// wire in the camera's trace, and what the operations read back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/access/camera_operations.h"
#include "camctl/common/results.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace presets {
namespace {

class MessageLog final : public OperationFeedback {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void SetBusy(bool busy) override { busyNow = busy; }
  std::vector<std::string> messages;
  bool busyNow = false;
};

constexpr const char* kVendorControl = "0020000000850001";

class OperationsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.emplace("presets-operations-e2e");
    const std::string command = std::string(REGSVR_PATH) + " /s " + VELQUIN_SERVER_PATH;
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    camera_ = MakeCamera("cam");
    access_.emplace(ComCameraObjectFactory());
  }
  void TearDown() override {
    access_.reset();
    ::CoUninitialize();
    camera_.reset();
    env_.reset();
  }
  std::unique_ptr<vcam::Camera> MakeCamera(const std::string& name, const std::string& model = "DV1") {
    vcam::CameraOptions options;
    options.model = model;
    options.sampleContent = false;
    auto camera = vcam::CreateCamera(env_->Cameras(), name, options);
    camera->Modify([](vcam::State& s) { s.busyMs = 40; });
    return camera;
  }
  // The vendor CONTROL frames the camera received, in order.
  std::vector<std::string> ControlFrames(const vcam::Camera& camera) const {
    std::vector<std::string> frames;
    for (const auto& line : camera.ReadTrace())
      if (line.channel == "avc" && line.frame.rfind(kVendorControl, 0) == 0)
        frames.push_back(line.frame.substr(16));
    return frames;
  }
  void WritePresetFile(uint8_t slot, const std::map<uint8_t, uint8_t>& values) {
    uint8_t file[vcam::kPresetFileSize] = {vcam::kPresetFileSize, 1, 'D', 'U', 'S', 'K'};
    for (size_t i = 0; i < 15; ++i) file[10 + i] = values.at(vcam::kPresetFileCodes[i]);
    std::ofstream(camera_->PresetFile(slot), std::ios::binary).write(reinterpret_cast<const char*>(file), sizeof file);
  }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  std::unique_ptr<vcam::Camera> camera_;
  std::optional<CameraAccess> access_;
  MessageLog feedback_;
};

TEST_F(OperationsEndToEnd, SetPresetSendsTheSettingsInTheirOrderThenRegisters) {
  EditorValues values = DefaultValues();
  values.presetName = COM_TEXT("SUNSET");
  values[Setting::Gamma] = 1;
  values[Setting::NR] = 3;
  values[Setting::ColorGain] = -6;
  values[Setting::Blue] = 2;
  values[Setting::MasterPed] = 6;
  camera_->ClearTrace();
  const OperationResult result = SetPreset(*access_, feedback_, 2, values);
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_FALSE(feedback_.busyNow);
  EXPECT_EQ(ControlFrames(*camera_),
            (std::vector<std::string>{"7002",                                        // select slot 2
                                      "4601", "4501", "4A01", "4E03", "4400", "4900",  // lists: their positions
                                      "4100", "4006", "4B06", "4C06", "4D08",          // levels + 6
                                      "4706", "4806", "4F06", "500C",
                                      "7102" "53554E5345540000"}));                   // register with the name

  EditorValues read = DefaultValues();
  ASSERT_TRUE(ReadPreset(*access_, feedback_, 2, read).ok()) << feedback_.messages.back();
  EXPECT_EQ(read, values);
  EXPECT_TRUE(feedback_.messages.empty());
}

// Set Preset then Read Preset with all fifteen settings away from their
// defaults, on each model: the slot's file holds every value in the camera's
// byte order, and the read gives the editors back. On a KV7 the library
// re-applies preset 0 before each picture write, so a camera whose preset 0
// did not follow its writes would keep only the last one.
TEST_F(OperationsEndToEnd, SetThenReadKeepsAllFifteenOnEveryModel) {
  EditorValues values = DefaultValues();
  values.presetName = COM_TEXT("ALL15");
  for (const auto& [setting, value] :
       {std::pair{Setting::Gamma, 1}, {Setting::Knee, 2}, {Setting::Black, 0}, {Setting::NR, 3},
        {Setting::VDetail, 1}, {Setting::ColorMatrix, 1}, {Setting::ColorGain, -6}, {Setting::ColorPhase, 5},
        {Setting::Red, -1}, {Setting::Green, 3}, {Setting::Blue, -4}, {Setting::Sharpness, 6},
        {Setting::SetupLevel, -2}, {Setting::Coring, 1}, {Setting::MasterPed, -5}})
    values[setting] = value;
  // Bytes 10-24: codes 41 40 47 48 4B 4C 4D 4E 44 49 46 45 4A 4F 50.
  const std::vector<uint8_t> pictureBytes = {0, 11, 12, 4, 5, 9, 2, 3, 1, 1, 1, 2, 0, 7, 1};
  for (const char* model : {"KV7", "KX1", "DV1"}) {
    SCOPED_TRACE(model);
    access_.emplace(ComCameraObjectFactory());
    camera_.reset();
    vcam::DeleteCamera(env_->Cameras(), "cam");
    camera_ = MakeCamera("cam", model);
    const OperationResult set = SetPreset(*access_, feedback_, 2, values);
    ASSERT_TRUE(set.ok()) << set.message;
    std::ifstream in(camera_->PresetFile(2), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(file.size(), vcam::kPresetFileSize);
    EXPECT_EQ(file.substr(2, 8), std::string("ALL15\0\0\0", 8));
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 10, file.end()), pictureBytes);
    EditorValues read = DefaultValues();
    const OperationResult back = ReadPreset(*access_, feedback_, 2, read);
    ASSERT_TRUE(back.ok()) << back.message;
    EXPECT_EQ(read, values);
  }
}

TEST_F(OperationsEndToEnd, ReadMapsCameraValuesToLevels) {
  std::map<uint8_t, uint8_t> values;
  for (uint8_t code = 0x40; code <= 0x50; ++code) values[code] = 6;
  values[0x41] = 0;   // Color Gain
  values[0x50] = 12;  // Master Ped.
  values[0x46] = 1;   // Gamma
  values[0x45] = 2;   // Knee
  values[0x4E] = 1;   // NR "High"
  values[0x44] = 0;
  values[0x49] = 1;
  values[0x4A] = 0;
  WritePresetFile(1, values);
  EditorValues read = DefaultValues();
  ASSERT_TRUE(ReadPreset(*access_, feedback_, 1, read).ok()) << feedback_.messages.back();
  EXPECT_EQ(read.presetName, COM_TEXT("DUSK"));
  EXPECT_EQ(read[Setting::ColorGain], -6);
  EXPECT_EQ(read[Setting::MasterPed], 6);
  EXPECT_EQ(read[Setting::Red], 0);
  EXPECT_EQ(read[Setting::Gamma], 1);
  EXPECT_EQ(read[Setting::Knee], 2);
  EXPECT_EQ(read[Setting::NR], 1);
  EXPECT_EQ(read[Setting::ColorMatrix], 1);

  // A level outside 0..12 in the camera fails the read; the editors keep it out.
  values[0x4F] = 13;  // Coring
  WritePresetFile(1, values);
  read = DefaultValues();
  const OperationResult bad = ReadPreset(*access_, feedback_, 1, read);
  EXPECT_EQ(bad.result, camctl::CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(read[Setting::Coring], 0);
  EXPECT_NE(bad.message.find("GetStatus(27, Coring)"), std::string::npos) << bad.message;
}

TEST_F(OperationsEndToEnd, ClearResetsTheSlotAndReadsItBack) {
  EditorValues values = DefaultValues();
  values.presetName = COM_TEXT("TEMP");
  values[Setting::Sharpness] = 5;
  ASSERT_TRUE(SetPreset(*access_, feedback_, 3, values).ok());
  camera_->ClearTrace();
  ASSERT_TRUE(ClearPreset(*access_, feedback_, 3, values).ok()) << feedback_.messages.back();
  const auto frames = ControlFrames(*camera_);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], "7203");
  EXPECT_EQ(frames[1], "7003");
  EXPECT_TRUE(values.presetName.empty());
  const vcam::State state = camera_->ReadState();
  EXPECT_EQ(ToCamera(Setting::Sharpness, values[Setting::Sharpness]), state.fallback[0x47]);
}

TEST_F(OperationsEndToEnd, LockTogglesThePermission) {
  LONG permission = -1;
  ASSERT_TRUE(QueryPermission(*access_, feedback_, 1, permission).ok());
  EXPECT_EQ(permission, kUnlocked);
  ASSERT_TRUE(ApplyLock(*access_, feedback_, 1, true).ok());
  ASSERT_TRUE(QueryPermission(*access_, feedback_, 1, permission).ok());
  EXPECT_EQ(permission, kLocked);

  const OperationResult refused = SetPreset(*access_, feedback_, 1, DefaultValues());
  EXPECT_EQ(refused.result, camctl::CAM_E_PROTECTED);
  EXPECT_NE(refused.message.find("RegisterPreset(1) returned CAM_E_PROTECTED"), std::string::npos);
  EXPECT_FALSE(feedback_.busyNow);

  ASSERT_TRUE(ApplyLock(*access_, feedback_, 1, false).ok());
  ASSERT_TRUE(QueryPermission(*access_, feedback_, 1, permission).ok());
  EXPECT_EQ(permission, kUnlocked);
  const auto frames = ControlFrames(*camera_);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "740101"), 1);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "740100"), 1);
}

TEST_F(OperationsEndToEnd, NoCameraAndTwoCameras) {
  camera_->SetPlugged(false);
  EditorValues values = DefaultValues();
  const OperationResult none = ReadPreset(*access_, feedback_, 1, values);
  EXPECT_EQ(none.status, OperationStatus::NoCamera);
  EXPECT_EQ(feedback_.messages, std::vector<std::string>{"Camera not found. "});
  EXPECT_EQ(values, DefaultValues());

  camera_->SetPlugged(true);
  auto second = MakeCamera("second");
  camera_->ClearTrace();
  second->ClearTrace();
  const OperationResult several = SetPreset(*access_, feedback_, 1, DefaultValues());
  EXPECT_EQ(several.status, OperationStatus::SeveralCameras);
  EXPECT_FALSE(feedback_.busyNow);
  EXPECT_TRUE(ControlFrames(*camera_).empty());
  EXPECT_TRUE(ControlFrames(*second).empty()) << "no preset command reaches either camera";
}

}  // namespace
}  // namespace presets
