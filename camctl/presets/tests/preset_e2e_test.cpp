// The preset slots through the COM interfaces against the virtual camcorder:
// enumerate, select, then select/register/reset/protect/name slots, checked in
// the camera's preset files and in its trace of the bytes on the wire.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using camctl::CAM_E_BAD_PRESET_FILE;
using camctl::CAM_E_BUSY;
using camctl::CAM_E_PROTECTED;
using Bytes = std::vector<uint8_t>;

std::atomic<int64_t> g_nowNs{0};
std::chrono::steady_clock::time_point FakeNow() {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(g_nowNs.load())));
}
// Closes the settle window without waiting two seconds.
void PassSettleWindow() { g_nowNs += std::chrono::nanoseconds(3s).count(); }

class Bstr {
 public:
  explicit Bstr(platform::ComStringView text) : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr() = default;
  ~Bstr() { ::SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* out() { return &value_; }
  platform::ComString text() const { return {value_, ::SysStringLen(value_)}; }

 private:
  BSTR value_ = nullptr;
};

using TraceLine = vcam::TraceEntry;

class PresetEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = env_.emplace("velquin-preset-e2e").Dir();
    g_nowNs = 1'000'000'000;
    camctl::SetSettleClock(&FakeNow);
    camctl::StopSettleTimer();

    vcam::CameraOptions options;
    options.model = "DV1";
    options.slotCount = 3;
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(dir_ / "cameras", "cam", options);
    camera_->Modify([](vcam::State& s) { s.busyMs = 0; });

    ASSERT_EQ(camctl::CameraControl::Create(nullptr, IID_ICDVEnumDevice, reinterpret_cast<void**>(&devices_)), S_OK);
    SAFEARRAY* list = nullptr;
    LONG count = 0;
    ASSERT_EQ(devices_->EnumerateDevice(&list, &count), S_OK);
    ASSERT_EQ(count, 1);
    BSTR first = nullptr;
    LONG index = 0;
    ASSERT_EQ(::SafeArrayGetElement(list, &index, &first), S_OK);
    ::SafeArrayDestroy(list);
    const HRESULT selected = devices_->SelectDevice(first);
    ::SysFreeString(first);
    ASSERT_EQ(selected, S_OK);
    ASSERT_EQ(devices_->QueryInterface(IID_ICDVPresetControl, reinterpret_cast<void**>(&presets_)), S_OK);
    camctl::StopSettleTimer();
    camera_->ClearTrace();
  }

  void TearDown() override {
    if (presets_) presets_->Release();
    if (devices_) devices_->Release();
    camera_.reset();
    camctl::SetSettleClock(nullptr);
    camctl::StopSettleTimer();
    env_.reset();
  }

  std::vector<TraceLine> Trace(const std::string& channel) const {
    std::vector<TraceLine> lines = camera_->ReadTrace();
    std::erase_if(lines, [&](const TraceLine& line) { return line.channel != channel; });
    return lines;
  }
  std::vector<std::string> AvcFrames() const {
    std::vector<std::string> frames;
    for (const auto& line : Trace("avc")) frames.push_back(line.frame);
    return frames;
  }

  Bytes PresetFile(uint8_t slot) const {
    std::ifstream in(camera_->PresetFile(slot), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void WritePresetFile(uint8_t slot, const Bytes& bytes) const {
    std::ofstream out(camera_->PresetFile(slot), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  fs::path dir_;
  std::unique_ptr<vcam::Camera> camera_;
  ICDVEnumDevice* devices_ = nullptr;
  ICDVPresetControl* presets_ = nullptr;
};

TEST_F(PresetEndToEnd, CountAndStateOfTheSelectedCamera) {
  LONG count = 0;
  EXPECT_EQ(presets_->GetPresetCount(&count), S_OK);
  EXPECT_EQ(count, 3);
  LONG state = 7;
  EXPECT_EQ(presets_->GetPresetState(&state), S_OK);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(AvcFrames(), std::vector<std::string>{"0120000000850001" "75FF"});
}

TEST_F(PresetEndToEnd, SelectRegisterAndResetRoundTrip) {
  // Register slot 2 under a name: the camera stores its registers and the name.
  Bstr name(COM_TEXT("SUNSET"));
  ASSERT_EQ(presets_->RegisterPreset(2, name.get()), S_OK);
  Bytes file = PresetFile(2);
  ASSERT_EQ(file.size(), vcam::kPresetFileSize);
  EXPECT_EQ(file[0], vcam::kPresetFileSize);
  EXPECT_EQ(Bytes(file.begin() + 2, file.begin() + 10), (Bytes{'S', 'U', 'N', 'S', 'E', 'T', 0, 0}));
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0120000000850001" "7402FF",
                                                   "0020000000850001" "7102" "53554E5345540000"}));

  Bstr read;
  ASSERT_EQ(presets_->GetPresetName(2, read.out()), S_OK);
  EXPECT_EQ(read.text(), COM_TEXT("SUNSET"));

  // Select it: the camera makes it the active slot.
  camera_->ClearTrace();
  ASSERT_EQ(presets_->SelectPreset(2), S_OK);
  EXPECT_EQ(camera_->ReadState().activeSlot, 2);
  // Within the settle window the select is preceded by the busy query.
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0120000000850001" "75FF", "0020000000850001" "7002"}));

  // Reset it: the name is gone, the file keeps its length.
  PassSettleWindow();
  camera_->ClearTrace();
  ASSERT_EQ(presets_->ResetPreset(2), S_OK);
  file = PresetFile(2);
  ASSERT_EQ(file.size(), vcam::kPresetFileSize);
  EXPECT_EQ(Bytes(file.begin() + 2, file.begin() + 10), Bytes(8, 0));
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0120000000850001" "7402FF", "0020000000850001" "7202"}));
}

TEST_F(PresetEndToEnd, RegisterWithoutNameKeepsTheStoredName) {
  Bstr name(COM_TEXT("KEEPME"));
  ASSERT_EQ(presets_->SetPresetName(1, name.get()), S_OK);
  PassSettleWindow();
  camera_->ClearTrace();
  ASSERT_EQ(presets_->RegisterPreset(1, nullptr), S_OK);
  const Bytes file = PresetFile(1);
  ASSERT_EQ(file.size(), vcam::kPresetFileSize);
  EXPECT_EQ(Bytes(file.begin() + 2, file.begin() + 10), (Bytes{'K', 'E', 'E', 'P', 'M', 'E', 0, 0}));
  const auto storage = Trace("storage");
  ASSERT_EQ(storage.size(), 1u);
  EXPECT_EQ(storage[0].frame.substr(0, 2), "09");
  EXPECT_EQ(AvcFrames().back(), "0020000000850001" "7101" "4B4545504D450000");
}

TEST_F(PresetEndToEnd, SlotRangesSendNothingOutside) {
  EXPECT_EQ(presets_->SelectPreset(0), E_INVALIDARG);
  EXPECT_EQ(presets_->SelectPreset(4), E_INVALIDARG);
  EXPECT_EQ(presets_->SetAccessPermission(0, 1), E_INVALIDARG);
  Bstr name;
  EXPECT_EQ(presets_->GetPresetName(4, name.out()), E_INVALIDARG);
  EXPECT_TRUE(camera_->TraceFiles().empty() || (Trace("avc").empty() && Trace("storage").empty()));
  ASSERT_EQ(presets_->ResetPreset(0), S_OK);
  LONG permission = -1;
  PassSettleWindow();
  ASSERT_EQ(presets_->GetAccessPermission(0, &permission), S_OK);
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0020000000850001" "7200", "0120000000850001" "7400FF"}));
}

TEST_F(PresetEndToEnd, SettleWindowStopsASecondCommandWhileTheCameraIsBusy) {
  camera_->Modify([](vcam::State& s) { s.busyMs = 60000; });
  ASSERT_EQ(presets_->SelectPreset(2), S_OK);
  LONG permission = -1;
  EXPECT_EQ(presets_->GetAccessPermission(2, &permission), CAM_E_BUSY);
  EXPECT_EQ(permission, -1);
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0020000000850001" "7002", "0120000000850001" "75FF"}));
  LONG state = 0;
  EXPECT_EQ(presets_->GetPresetState(&state), S_OK);
  EXPECT_EQ(state, 1);
}

TEST_F(PresetEndToEnd, ProtectedSlotRefusesChanges) {
  ASSERT_EQ(presets_->SetAccessPermission(1, 1), S_OK);
  EXPECT_EQ(camera_->ReadState().permission[1], 1);
  PassSettleWindow();
  const Bytes before = PresetFile(1);
  camera_->ClearTrace();
  EXPECT_EQ(presets_->ResetPreset(1), CAM_E_PROTECTED);
  Bstr name(COM_TEXT("NEW"));
  EXPECT_EQ(presets_->RegisterPreset(1, name.get()), CAM_E_PROTECTED);
  EXPECT_EQ(presets_->SetPresetName(1, name.get()), CAM_E_PROTECTED);
  EXPECT_EQ(PresetFile(1), before);
  for (const auto& frame : AvcFrames()) EXPECT_EQ(frame, "0120000000850001" "7401FF");
  EXPECT_EQ(AvcFrames().size(), 3u);
  EXPECT_TRUE(Trace("storage").empty());
}

TEST_F(PresetEndToEnd, NamesRoundTripKeepingTheRestOfTheFile) {
  const Bytes before = PresetFile(3);
  ASSERT_EQ(before.size(), vcam::kPresetFileSize);
  const platform::ComString name = u"Caf\u00E9\u20AC";
  Bstr in(name);
  ASSERT_EQ(presets_->SetPresetName(3, in.get()), S_OK);
  const Bytes after = PresetFile(3);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(Bytes(after.begin() + 2, after.begin() + 10), (Bytes{'C', 'a', 'f', 0xE9, 0x80, 0, 0, 0}));
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_EQ(Bytes(after.begin() + 10, after.end()), Bytes(before.begin() + 10, before.end()));
  PassSettleWindow();
  Bstr out;
  ASSERT_EQ(presets_->GetPresetName(3, out.out()), S_OK);
  EXPECT_EQ(out.text(), name);
}

TEST_F(PresetEndToEnd, BadPresetFilesAreRefusedAndLeftAlone) {
  Bytes file = PresetFile(2);
  file[0] = static_cast<uint8_t>(file.size() + 1);
  WritePresetFile(2, file);
  Bstr name;
  EXPECT_EQ(presets_->GetPresetName(2, name.out()), CAM_E_BAD_PRESET_FILE);
  Bstr newName(COM_TEXT("NEW"));
  EXPECT_EQ(presets_->SetPresetName(2, newName.get()), CAM_E_BAD_PRESET_FILE);
  EXPECT_EQ(PresetFile(2), file);
  WritePresetFile(2, Bytes{9, 0, 'S', 'H', 'O', 'R', 'T', 0, 0});
  EXPECT_EQ(presets_->SetPresetName(2, newName.get()), CAM_E_BAD_PRESET_FILE);
  EXPECT_EQ(PresetFile(2).size(), 9u);
}

}  // namespace
