// ICDVCameraControl and ICDVDeviceControl through the COM interfaces against a
// virtual camcorder selected the ordinary way: the bytes in the camera's
// trace, result codes and out-values.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/devices/device_sources.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/device_modes.h"
#include "camctl/settings/preset_zero.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace camctl::settings::testing {
namespace {

namespace fs = std::filesystem;

using TraceLine = vcam::TraceEntry;

std::vector<std::string> Frames(const std::vector<TraceLine>& trace) {
  std::vector<std::string> out;
  for (const TraceLine& l : trace) out.push_back(l.frame);
  return out;
}

// Vendor frames of command set 0x0001 in the trace's hex form.
std::string VendorControl(const std::string& codeAndOperands) { return "0020000000850001" + codeAndOperands; }
std::string VendorStatus(const std::string& codeAndCells) { return "0120000000850001" + codeAndCells; }

class SettingsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = env_.emplace("velquin-settings-e2e").Dir();
    SetDeviceSources(DeviceSources{});
    StopSettleTimer();
  }
  void TearDown() override {
    if (modes_) modes_->Release();
    if (presets_) presets_->Release();
    if (control_) control_->Release();
    camera_.reset();
    env_.reset();
  }

  // A camera of a model without the preset zero re-apply, selected by a new
  // object; `prepare` changes the camera's state before the selection.
  template <class F>
  void SelectCamera(F&& prepare) {
    vcam::CameraOptions options;
    options.model = model_;
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(dir_ / "cameras", "cam", options);
    camera_->Modify(prepare);
    ASSERT_EQ(CameraControl::Create(nullptr, IID_ICDVCameraControl, reinterpret_cast<void**>(&control_)), S_OK);
    ASSERT_EQ(control_->QueryInterface(IID_ICDVDeviceControl, reinterpret_cast<void**>(&modes_)), S_OK);
    ASSERT_EQ(control_->QueryInterface(IID_ICDVPresetControl, reinterpret_cast<void**>(&presets_)), S_OK);
    ICDVEnumDevice* devices = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_ICDVEnumDevice, reinterpret_cast<void**>(&devices)), S_OK);
    const platform::ComString id =
        platform::Utf8ToCom(camera_->identity().friendlyName + "#" + camera_->identity().uniqueId);
    BSTR bstr = SysAllocStringLen(id.data(), static_cast<UINT>(id.size()));
    const HRESULT selected = devices->SelectDevice(bstr);
    SysFreeString(bstr);
    devices->Release();
    ASSERT_EQ(selected, S_OK);
    camera_->ClearTrace();
  }
  void SelectCamera() {
    SelectCamera([](vcam::State&) {});
  }

  std::vector<TraceLine> Trace() { return camera_->ReadTrace(); }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  fs::path dir_;
  std::string model_ = "KX1";
  std::unique_ptr<vcam::Camera> camera_;
  ICDVCameraControl* control_ = nullptr;
  ICDVDeviceControl* modes_ = nullptr;
  ICDVPresetControl* presets_ = nullptr;
};

TEST_F(SettingsE2eTest, APictureWriteIsReadBackAndReadAgain) {
  SelectCamera();
  ASSERT_EQ(control_->SetStatus(kFunctionColorGain, 9), S_OK);
  const auto trace = Trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].frame, VendorControl("4109"));
  EXPECT_EQ(trace[1].frame, VendorStatus("41FF"));
  EXPECT_EQ(trace[1].response.substr(18), "09") << "the camera shows the written value at once";
  LONG value = 0;
  ASSERT_EQ(control_->GetStatus(kFunctionColorGain, &value), S_OK);
  EXPECT_EQ(value, 9);
}

TEST_F(SettingsE2eTest, RefusedValuesNeverReachTheCamera) {
  SelectCamera();
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 128), CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(control_->SetStatus(kFunctionVDetail, 2), E_INVALIDARG);
  EXPECT_EQ(control_->SetStatus(14, 0), CAM_E_NOT_SUPPORTED);
  LONG v = 0;
  EXPECT_EQ(control_->GetStatus(6, &v), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(control_->GetRange(1, &v, &v, &v), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(modes_->SetCVMode(0x38 + 256), E_INVALIDARG);
  EXPECT_EQ(modes_->SetColorBars(4), E_INVALIDARG);
  EXPECT_TRUE(Trace().empty());
}

TEST_F(SettingsE2eTest, EncodingsAndPairedFunctionsRoundTrip) {
  SelectCamera();
  LONG v = 0;
  ASSERT_EQ(control_->SetStatus(16, -1), S_OK);
  ASSERT_EQ(control_->GetStatus(16, &v), S_OK);
  EXPECT_EQ(v, -1);
  ASSERT_EQ(control_->SetStatus(17, -16), S_OK);
  ASSERT_EQ(control_->GetStatus(17, &v), S_OK);
  EXPECT_EQ(v, -16);
  ASSERT_EQ(control_->SetStatus(8, 50), S_OK);
  ASSERT_EQ(control_->SetStatus(7, 0), S_OK);  // the switch alone: the level stays
  ASSERT_EQ(control_->GetStatus(8, &v), S_OK);
  EXPECT_EQ(v, 50);
  ASSERT_EQ(control_->GetStatus(7, &v), S_OK);
  EXPECT_EQ(v, 0);
  ASSERT_EQ(control_->GetStatus(14, &v), S_OK);
  EXPECT_EQ(v, 4660);
  EXPECT_EQ(Frames(Trace()),
            (std::vector<std::string>{VendorControl("1D09"), VendorStatus("1DFF"), VendorControl("1C20"),
                                      VendorStatus("1CFF"), VendorControl("170132"), VendorControl("1700FF"),
                                      VendorStatus("17FFFF"), VendorStatus("17FFFF"), VendorStatus("24FFFF")}));
}

TEST_F(SettingsE2eTest, RangeComesFromTheCameraUnconverted) {
  SelectCamera();
  LONG min = -1, max = -1, def = -1;
  ASSERT_EQ(control_->GetRange(kFunctionSharpness, &min, &max, &def), S_OK);
  EXPECT_EQ((std::vector<LONG>{min, max, def}), (std::vector<LONG>{0, 12, 6}));
  EXPECT_EQ(Frames(Trace()), std::vector<std::string>{VendorStatus("2147FFFFFF")});
}

TEST_F(SettingsE2eTest, ACameraRefusalBecomesOutOfRangeOnlyWithTheCapabilityBit) {
  // The camera's colour gain goes to 12 and answers "not implemented" above;
  // its gamma command is not implemented at all, so the inquiry leaves bit 24 clear.
  SelectCamera([](vcam::State& s) { s.SetImplemented(0x46, false); });
  LONG mask = 0;
  ASSERT_EQ(control_->GetCapability(&mask), S_OK);
  EXPECT_EQ(static_cast<uint32_t>(mask), 0x0FFFFE3Fu & ~(1u << 24));
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 100), CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(control_->SetStatus(kFunctionCoring, 13), CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(control_->SetStatus(kFunctionGamma, 1), CAM_E_NOT_SUPPORTED);
  const auto trace = Trace();
  ASSERT_EQ(trace.size(), 4u) << "mode query, then one write each, none read back";
  EXPECT_EQ(trace[1].frame, VendorControl("4164"));
  EXPECT_EQ(trace[1].result, vcam::kAvcNotImplemented);
  EXPECT_EQ(trace[3].frame, VendorControl("4601"));
}

TEST_F(SettingsE2eTest, ModesGuardTheCapabilityAndTheColourBars) {
  SelectCamera();
  ASSERT_EQ(modes_->SetColorBars(0), S_OK);
  ASSERT_EQ(modes_->SetCVMode(kVcrMode), S_OK);
  LONG mode = 0, emergency = 7;
  ASSERT_EQ(modes_->GetCVMode(&mode, &emergency), S_OK);
  EXPECT_EQ(mode, kVcrMode);
  EXPECT_EQ(emergency, 0);
  LONG mask = 5;
  EXPECT_EQ(control_->GetCapability(&mask), CAM_E_REJECTED);
  EXPECT_EQ(mask, 5);
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 3), CAM_E_REJECTED) << "picture settings are refused in VCR mode";

  ASSERT_EQ(modes_->SetCVMode(kCameraMode), S_OK);
  ASSERT_EQ(modes_->SetColorBars(2 + 256), S_OK);
  LONG bars = 0;
  ASSERT_EQ(modes_->GetColorBars(&bars), S_OK);
  EXPECT_EQ(bars, 2);
  EXPECT_EQ(modes_->SetCVMode(kVcrMode), CAM_E_REJECTED);
  ASSERT_EQ(modes_->SetEvfDisplay(2), S_OK);
  LONG evf = 0;
  ASSERT_EQ(modes_->GetEvfDisplay(&evf), S_OK);
  EXPECT_EQ(evf, 2);

  EXPECT_EQ(Frames(Trace()),
            (std::vector<std::string>{
                VendorControl("1600"), VendorStatus("16FF"),                  // bars off, read back
                VendorStatus("16FF"), "00FF20A000002020",                      // VCR mode after the guard
                "01200000008500100" "9FFFFFFFF",                               // mode query
                "01200000008500100" "9FFFFFFFF",                               // the capability's mode query
                VendorControl("4103"),                                         // refused write
                "00FF200038382020",                                            // camera mode
                VendorControl("1602"), VendorStatus("16FF"), VendorStatus("16FF"),  // bars on, read back, read
                VendorStatus("16FF"),                                          // the guard: no mode command
                VendorControl("1202"), VendorStatus("12FF")}));
}

TEST_F(SettingsE2eTest, APictureSettingWaitsForTheCameraAfterAPresetChange) {
  SelectCamera([](vcam::State& s) { s.busyMs = 2000; });
  ASSERT_EQ(presets_->SelectPreset(1), S_OK);
  camera_->ClearTrace();
  EXPECT_EQ(control_->SetStatus(kFunctionSharpness, 4), CAM_E_BUSY);
  EXPECT_EQ(Frames(Trace()), std::vector<std::string>{VendorStatus("75FF")});
  LONG v = 0;
  EXPECT_EQ(control_->GetStatus(kFunctionSharpness, &v), CAM_E_BUSY);
  // Functions outside the picture set do not ask.
  EXPECT_EQ(control_->SetStatus(1, 2), S_OK);
}

TEST_F(SettingsE2eTest, AnUnpluggedCameraIsReportedAsRemoved) {
  SelectCamera();
  camera_->AddFault(vcam::Fault{vcam::FaultKind::AvcResult, 1, 0, 0, vcam::kAny, vcam::kAny, vcam::kAny, 0,
                                vcam::kDeviceRemoved, vcam::kForever});
  LONG v = 0;
  EXPECT_EQ(control_->SetStatus(1, 0), CAM_E_REMOVED);
  EXPECT_EQ(control_->GetStatus(kFunctionNR, &v), CAM_E_REMOVED);
  EXPECT_EQ(modes_->GetCVMode(&v, &v), CAM_E_REMOVED);
}

TEST_F(SettingsE2eTest, ACameraMutexHeldByAnotherProcessStopsPictureSettings) {
  SelectCamera();
  const fs::path ready = dir_ / "held";
  const fs::path release = dir_ / "release";
  int status = -1;
  std::thread other([&] {
    const std::string cmd =
        std::string("'") + SETTINGS_MUTEX_HOLDER + "' '" + ready.string() + "' '" + release.string() + "'";
    status = std::system(cmd.c_str());
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(ready) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const bool held = fs::exists(ready);
  HRESULT picture = S_OK, plain = S_OK;
  if (held) {
    picture = control_->SetStatus(kFunctionColorGain, 3);
    plain = control_->SetStatus(1, 3);
  }
  std::ofstream(release) << "go\n";
  other.join();
  ASSERT_TRUE(held);
  EXPECT_EQ(picture, CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(plain, CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Trace().empty());
}


TEST_F(SettingsE2eTest, TwoProcessesWithTheirOwnObjectsNeverInterleaveAWriteAndItsReadBack) {
  SelectCamera();
  int statusA = -1, statusB = -1;
  auto run = [](LONG function, LONG value, int& status) {
    const std::string cmd = std::string("'") + SETTINGS_PICTURE_WRITER + "' " + std::to_string(function) + " " +
                            std::to_string(value) + " 12 >/dev/null";
    status = std::system(cmd.c_str());
  };
  std::thread a(run, kFunctionColorGain, 3, std::ref(statusA));
  std::thread b(run, kFunctionSharpness, 9, std::ref(statusB));
  a.join();
  b.join();
  ASSERT_EQ(statusA, 0);
  ASSERT_EQ(statusB, 0);

  // Every picture write is followed at once by the read-back of the same
  // register: the other process's frames only come between whole operations.
  const auto trace = Trace();
  size_t writes = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    const std::string& frame = trace[i].frame;
    if (frame.rfind("0020000000850001", 0) != 0 || frame.size() != 20) continue;
    const std::string code = frame.substr(16, 2);
    if (code < "40" || code > "50") continue;
    ++writes;
    ASSERT_LT(i + 1, trace.size());
    EXPECT_EQ(trace[i + 1].frame, VendorStatus(code + "FF")) << "line " << i;
  }
  EXPECT_GE(writes, 2u);
}

// A non-KV7 camera refuses a bad picture value without waiting for the object
// lock: only the KV7 step may run before the value check.
TEST_F(SettingsE2eTest, ABadPictureValueIsRefusedWhileAnotherThreadHoldsTheObjectLock) {
  SelectCamera();
  auto& lock = CameraControl::FromIdentity(control_)->State().lock;
  std::promise<void> held, release;
  std::thread holder([&] {
    std::lock_guard hold(lock);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  auto write = std::async(std::launch::async, [&] { return control_->SetStatus(kFunctionColorGain, 500); });
  const bool prompt = write.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  holder.join();
  EXPECT_TRUE(prompt);
  EXPECT_EQ(write.get(), CAM_E_OUT_OF_RANGE);
  EXPECT_TRUE(Trace().empty());
}

// ---- Preset zero re-apply on the KV7 --------------------------------------------------

class Kv7ReapplyTest : public SettingsE2eTest {
 protected:
  Kv7ReapplyTest() { model_ = "KV7"; }

  std::vector<uint8_t> PresetZero() const {
    std::ifstream in(camera_->PresetFile(0), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  void WritePresetZero(const std::vector<uint8_t>& bytes) const {
    std::ofstream out(camera_->PresetFile(0), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // The fifteen frames that re-apply this preset 0 file, in wire order.
  static std::vector<std::string> ReapplyFrames(const std::vector<uint8_t>& file, size_t count = 15) {
    std::vector<std::string> frames;
    for (size_t i = 0; i < count; ++i) {
      char operands[5];
      std::snprintf(operands, sizeof operands, "%02X%02X", kReapplyOrder[i].code, file[kReapplyOrder[i].fileByte]);
      frames.push_back(VendorControl(operands));
    }
    return frames;
  }
  std::vector<std::string> Channel(const std::string& channel) {
    std::vector<std::string> frames;
    for (const TraceLine& line : Trace())
      if (line.channel == channel) frames.push_back(line.frame);
    return frames;
  }
};

TEST_F(Kv7ReapplyTest, PictureWritesReapplyPresetZeroFirstInWireOrder) {
  SelectCamera();
  // Stored values that differ from byte to byte, each within its code's range.
  std::vector<uint8_t> file = PresetZero();
  ASSERT_EQ(file.size(), 25u);
  const vcam::State before = camera_->ReadState();
  for (const ReapplyValue& v : kReapplyOrder) {
    const int span = before.maximum[v.code] - before.minimum[v.code] + 1;
    file[v.fileByte] = static_cast<uint8_t>(before.minimum[v.code] + v.fileByte % span);
  }
  WritePresetZero(file);

  std::vector<std::string> expected = ReapplyFrames(file);
  expected.push_back(VendorControl("4601"));
  expected.push_back(VendorStatus("46FF"));
  ASSERT_EQ(control_->SetStatus(kFunctionGamma, 1), S_OK);
  EXPECT_EQ(Channel("avc"), expected);
  const auto storage = Channel("storage");
  ASSERT_EQ(storage.size(), 1u) << "preset 0 is read from the camera, once";
  EXPECT_EQ(storage[0].substr(0, 2), "09");
  std::string presetZeroPath;  // the camera-side path of preset 0, as the frame shows it in hex
  for (const char c : std::string("\\dev\\campset\\Preset00.pst")) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(c));
    presetZeroPath += hex;
  }
  EXPECT_NE(storage[0].find(presetZeroPath), std::string::npos);
  // Kept where a later read sees it.
  const vcam::State state = camera_->ReadState();
  EXPECT_EQ(state.value[0x40][0], file[11]);
  EXPECT_EQ(state.value[0x50][0], file[24]);

  // A KV7 keeps its working settings in preset 0, so the Gamma write is in
  // it now. A value the range check refuses still comes after the re-apply.
  file[20] = 1;
  EXPECT_EQ(PresetZero(), file);
  camera_->ClearTrace();
  EXPECT_EQ(control_->SetStatus(kFunctionColorGain, 500), CAM_E_OUT_OF_RANGE);
  EXPECT_EQ(Channel("avc"), ReapplyFrames(file));
}

TEST_F(Kv7ReapplyTest, NothingIsReappliedForOtherCallsOrFiles) {
  SelectCamera();
  const std::vector<uint8_t> factory = PresetZero();
  LONG v = 0;
  const struct {
    const char* name;
    std::vector<uint8_t> presetZero;
    std::function<HRESULT()> call;
    std::vector<std::string> avc;
    size_t storage;
  } cases[] = {
      {"plain write", factory, [&] { return control_->SetStatus(1, 0); }, {VendorControl("2600")}, 0},
      {"picture read", factory, [&] { return control_->GetStatus(kFunctionColorGain, &v); }, {VendorStatus("41FF")}, 0},
      {"range", factory, [&] { return control_->GetRange(kFunctionColorGain, &v, &v, &v); },
       {VendorStatus("2141FFFFFF")}, 0},
      {"24-byte preset 0", std::vector<uint8_t>(factory.begin(), factory.end() - 1),
       [&] { return control_->SetStatus(kFunctionColorGain, 3); }, {VendorControl("4103"), VendorStatus("41FF")}, 1},
      {"26-byte preset 0", [&] { auto f = factory; f.push_back(0); f[0] = 26; return f; }(),
       [&] { return control_->SetStatus(kFunctionColorGain, 3); }, {VendorControl("4103"), VendorStatus("41FF")}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WritePresetZero(c.presetZero);
    camera_->ClearTrace();
    EXPECT_EQ(c.call(), S_OK);
    EXPECT_EQ(Channel("avc"), c.avc);
    EXPECT_EQ(Channel("storage").size(), c.storage);
  }
}

TEST_F(Kv7ReapplyTest, TheReapplyStopsAtTheFirstFailureAndTheWriteGoesAhead) {
  SelectCamera();
  const std::vector<uint8_t> file = PresetZero();
  vcam::Fault refuse;
  refuse.kind = vcam::FaultKind::AvcResult;
  refuse.avcFrame = 1;
  refuse.code = 0x44;
  refuse.ctype = 0x00;
  refuse.value = vcam::kAvcRejected;
  refuse.times = 1;
  camera_->AddFault(refuse);
  ASSERT_EQ(control_->SetStatus(kFunctionGamma, 1), S_OK);
  std::vector<std::string> expected = ReapplyFrames(file, 3);
  expected.push_back(VendorControl("4601"));
  expected.push_back(VendorStatus("46FF"));
  EXPECT_EQ(Channel("avc"), expected);
}

TEST_F(Kv7ReapplyTest, ABusyCameraIsAskedFourTimesThenTheWriteGoesAhead) {
  SelectCamera([](vcam::State& s) { s.busyMs = 60000; });
  ASSERT_EQ(presets_->SelectPreset(1), S_OK);  // busy for a minute, settle window open
  camera_->ClearTrace();
  // Four re-apply runs each find the camera busy; the write's own settle check then does too.
  EXPECT_EQ(control_->SetStatus(kFunctionGamma, 1), CAM_E_BUSY);
  EXPECT_EQ(Channel("avc"), std::vector<std::string>(5, VendorStatus("75FF")));
  EXPECT_TRUE(Channel("storage").empty());
  StopSettleTimer();
}

}  // namespace
}  // namespace camctl::settings::testing
