// The preset slots through the COM interfaces against the virtual camcorder:
// enumerate, select, then select/register/reset/protect/name slots, checked in
// the camera's preset files and in its trace of the bytes on the wire.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/presets/preset_transfer.h"
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

// Run against the KV7 model (which re-applies preset 0 before picture writes)
// and another model: nothing here may differ between them.
class PresetEndToEnd : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = env_.emplace("velquin-preset-e2e").Dir();
    g_nowNs = 1'000'000'000;
    camctl::SetSettleClock(&FakeNow);
    camctl::StopSettleTimer();

    vcam::CameraOptions options;
    options.model = GetParam();
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

TEST_P(PresetEndToEnd, CountAndStateOfTheSelectedCamera) {
  LONG count = 0;
  EXPECT_EQ(presets_->GetPresetCount(&count), S_OK);
  EXPECT_EQ(count, 3);
  LONG state = 7;
  EXPECT_EQ(presets_->GetPresetState(&state), S_OK);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(AvcFrames(), std::vector<std::string>{"0120000000850001" "75FF"});
}

TEST_P(PresetEndToEnd, SelectRegisterAndResetRoundTrip) {
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

TEST_P(PresetEndToEnd, RegisterWithoutNameKeepsTheStoredName) {
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

TEST_P(PresetEndToEnd, SlotRangesSendNothingOutside) {
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

TEST_P(PresetEndToEnd, SettleWindowStopsASecondCommandWhileTheCameraIsBusy) {
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

TEST_P(PresetEndToEnd, ProtectedSlotRefusesChanges) {
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

TEST_P(PresetEndToEnd, NamesRoundTripKeepingTheRestOfTheFile) {
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

TEST_P(PresetEndToEnd, BadPresetFilesAreRefusedAndLeftAlone) {
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

// ---- Export and import -------------------------------------------------------------

using camctl::CAM_E_FILE_EXISTS;
constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003u);
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002u);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT kInvalidFile = static_cast<HRESULT>(0x80070006u);

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
Bstr PathText(const fs::path& path) { return Bstr(platform::Utf8ToCom(path.string())); }

// What is at the PC path before an export.
enum class Before { Nothing, File, Folder, DanglingLink, MissingFolder, Fifo };
// What must be there afterwards.
enum class After { CameraBytes, OldBytes, Folder, DanglingLink, Nothing, Fifo };

TEST_P(PresetEndToEnd, ExportCopiesTheCameraFileUnderTheOverwriteRules) {
  const Bytes old = {'o', 'l', 'd'};
  const struct {
    const char* name;
    Before before;
    LONG overwrite;
    HRESULT expected;
    After after;
    // Permissions of the existing file, which it keeps (none: left as made).
    fs::perms mode = fs::perms::none;
  } cases[] = {
      {"new file", Before::Nothing, 0, S_OK, After::CameraBytes},
      {"existing file kept", Before::File, 0, CAM_E_FILE_EXISTS, After::OldBytes},
      {"existing file replaced", Before::File, -1, S_OK, After::CameraBytes},
      {"read-only file never replaced", Before::File, -1, kAccessDenied, After::OldBytes, fs::perms(0444)},
      {"replaced file keeps its permissions", Before::File, 1, S_OK, After::CameraBytes, fs::perms(0640)},
      {"folder kept", Before::Folder, 0, CAM_E_FILE_EXISTS, After::Folder},
      {"folder never replaced", Before::Folder, 1, kAccessDenied, After::Folder},
      {"dangling link kept", Before::DanglingLink, 0, CAM_E_FILE_EXISTS, After::DanglingLink},
      {"dangling link replaced", Before::DanglingLink, 1, S_OK, After::CameraBytes},
      {"missing folder", Before::MissingFolder, 0, kPathNotFound, After::Nothing},
      {"missing folder, overwriting", Before::MissingFolder, 1, kPathNotFound, After::Nothing},
      {"fifo never opened", Before::Fifo, 1, kInvalidFile, After::Fifo},
  };
  const Bytes camera = PresetFile(2);
  ASSERT_EQ(camera.size(), vcam::kPresetFileSize);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = dir_ / ("export-" + std::to_string(n++));
    fs::create_directories(folder);
    fs::path target = folder / "preset.pst";
    switch (c.before) {
      case Before::Nothing: break;
      case Before::File:
        WriteBytes(target, old);
        if (c.mode != fs::perms::none) fs::permissions(target, c.mode);
        break;
      case Before::Folder: fs::create_directory(target); break;
      case Before::DanglingLink: fs::create_symlink(folder / "nowhere", target); break;
      case Before::MissingFolder: target = folder / "missing" / "preset.pst"; break;
      case Before::Fifo: ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0); break;
    }
    camera_->ClearTrace();
    const Bstr path = PathText(target);
    EXPECT_EQ(presets_->ExportPreset(2, path.get(), c.overwrite), c.expected);
    switch (c.after) {
      case After::CameraBytes: EXPECT_EQ(ReadBytes(target), camera); break;
      case After::OldBytes: EXPECT_EQ(ReadBytes(target), old); break;
      case After::Folder: EXPECT_TRUE(fs::is_directory(fs::symlink_status(target))); break;
      case After::DanglingLink: EXPECT_TRUE(fs::is_symlink(fs::symlink_status(target))); break;
      case After::Nothing: EXPECT_FALSE(fs::exists(fs::symlink_status(target))); break;
      case After::Fifo: EXPECT_TRUE(fs::is_fifo(fs::symlink_status(target))); break;
    }
    if (c.mode != fs::perms::none) {
      EXPECT_EQ(fs::status(target).permissions(), c.mode);
    }
    // Nothing else is left beside the target (no temporary file).
    const size_t entries = static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
    EXPECT_EQ(entries, c.after == After::Nothing ? 0u : 1u);
    // An existing file is refused before anything is sent; the camera's file is
    // read only when it is to be written.
    const auto storage = Trace("storage");
    if (c.expected == CAM_E_FILE_EXISTS) {
      EXPECT_TRUE(storage.empty());
    }
    if (c.expected == S_OK) {
      ASSERT_EQ(storage.size(), 1u);
      EXPECT_EQ(storage[0].frame.substr(0, 2), "09");
    }
  }
  EXPECT_FALSE(camctl::SettleTimerRunning()) << "an export does not open the settle window";
}

TEST_P(PresetEndToEnd, ExportOfSlotZeroAndRefusedArguments) {
  const fs::path target = dir_ / "zero.pst";
  const Bstr path = PathText(target);
  ASSERT_EQ(presets_->ExportPreset(0, path.get(), 0), S_OK);
  EXPECT_EQ(ReadBytes(target), PresetFile(0));

  camera_->ClearTrace();
  const fs::path other = dir_ / "other.pst";
  const Bstr otherPath = PathText(other);
  EXPECT_EQ(presets_->ExportPreset(-1, otherPath.get(), 0), E_INVALIDARG);
  EXPECT_EQ(presets_->ExportPreset(4, otherPath.get(), 0), E_INVALIDARG);
  EXPECT_EQ(presets_->ImportPreset(0, path.get()), E_INVALIDARG);
  EXPECT_EQ(presets_->ImportPreset(4, path.get()), E_INVALIDARG);
  // No path, or one that a conversion would have to change.
  const platform::ComString base = platform::Utf8ToCom(other.string());
  const Bstr withNul(base + platform::ComString(1, u'\0') + u"x");
  const Bstr loneHigh(base + platform::ComString(1, static_cast<char16_t>(0xD800)));
  const Bstr loneLow(base + platform::ComString(1, static_cast<char16_t>(0xDC00)) + u"x");
  const Bstr empty(platform::ComString{});
  for (BSTR bad : {static_cast<BSTR>(nullptr), withNul.get(), loneHigh.get(), loneLow.get(), empty.get()}) {
    EXPECT_EQ(presets_->ExportPreset(1, bad, 1), E_INVALIDARG);
    EXPECT_EQ(presets_->ImportPreset(1, bad), E_INVALIDARG);
  }
  EXPECT_FALSE(fs::exists(other));
  EXPECT_TRUE(Trace("avc").empty() && Trace("storage").empty());
}

TEST_P(PresetEndToEnd, ImportChecksTheFileLengthBeforeWriting) {
  const auto sized = [](size_t size, uint8_t lengthByte) {
    Bytes file(size, 0x33);
    if (size > 0) file[0] = lengthByte;
    return file;
  };
  const struct {
    const char* name;
    Bytes file;
    HRESULT expected;
  } cases[] = {
      {"10 bytes", sized(10, 10), CAM_E_BAD_PRESET_FILE},
      {"11 bytes", sized(11, 11), S_OK},
      {"25 bytes", sized(25, 25), S_OK},
      {"255 bytes", sized(255, 255), S_OK},
      {"256 bytes", sized(256, 0), CAM_E_BAD_PRESET_FILE},
      {"4 KiB", sized(4096, 0), CAM_E_BAD_PRESET_FILE},
      {"length byte too small", sized(25, 24), CAM_E_BAD_PRESET_FILE},
      {"length byte too large", sized(25, 26), CAM_E_BAD_PRESET_FILE},
      {"empty", Bytes{}, CAM_E_BAD_PRESET_FILE},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PassSettleWindow();
    const Bytes before = PresetFile(3);
    const fs::path source = dir_ / ("import-" + std::to_string(n++) + ".pst");
    WriteBytes(source, c.file);
    camera_->ClearTrace();
    const Bstr path = PathText(source);
    EXPECT_EQ(presets_->ImportPreset(3, path.get()), c.expected);
    const auto storage = Trace("storage");
    if (c.expected == S_OK) {
      EXPECT_EQ(PresetFile(3), c.file);
      ASSERT_EQ(storage.size(), 1u);
      EXPECT_EQ(storage[0].frame.substr(0, 2), "0A");
      EXPECT_TRUE(camctl::SettleTimerRunning()) << "an import opens the settle window";
    } else {
      EXPECT_EQ(PresetFile(3), before);
      EXPECT_TRUE(storage.empty()) << "no write frame for a refused file";
    }
    EXPECT_EQ(AvcFrames(), std::vector<std::string>{"0120000000850001" "7403FF"});
  }
}

TEST_P(PresetEndToEnd, ImportRefusesUnusablePcFiles) {
  const fs::path folder = dir_ / "pc";
  fs::create_directories(folder / "a-folder");
  ASSERT_EQ(::mkfifo((folder / "a-fifo").c_str(), 0600), 0);
  const struct {
    fs::path path;
    HRESULT expected;
  } cases[] = {
      {folder / "missing.pst", kFileNotFound},
      {folder / "no-such-folder" / "x.pst", kPathNotFound},
      {folder / "a-folder", kAccessDenied},
      {folder / "a-fifo", kInvalidFile},  // opened without blocking, then refused
  };
  const Bytes before = PresetFile(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    const Bstr path = PathText(c.path);
    EXPECT_EQ(presets_->ImportPreset(1, path.get()), c.expected);
  }
  EXPECT_EQ(PresetFile(1), before);
  EXPECT_TRUE(Trace("storage").empty());
}

TEST_P(PresetEndToEnd, ImportIntoAProtectedSlotIsRefusedBeforeThePcFileIsOpened) {
  ASSERT_EQ(presets_->SetAccessPermission(2, 1), S_OK);
  PassSettleWindow();
  const Bytes before = PresetFile(2);
  camera_->ClearTrace();
  // A missing file would answer 0x80070002 had it been opened.
  const Bstr path = PathText(dir_ / "missing.pst");
  EXPECT_EQ(presets_->ImportPreset(2, path.get()), CAM_E_PROTECTED);
  EXPECT_EQ(PresetFile(2), before);
  EXPECT_EQ(AvcFrames(), std::vector<std::string>{"0120000000850001" "7402FF"});
  EXPECT_TRUE(Trace("storage").empty());
}

TEST_P(PresetEndToEnd, ExportedFileImportsIntoAnotherSlot) {
  Bstr name(COM_TEXT("TRAVEL"));
  ASSERT_EQ(presets_->SetPresetName(1, name.get()), S_OK);
  PassSettleWindow();
  const fs::path file = dir_ / "travel.pst";
  const Bstr path = PathText(file);
  ASSERT_EQ(presets_->ExportPreset(1, path.get(), 0), S_OK);
  ASSERT_EQ(presets_->ImportPreset(3, path.get()), S_OK);
  EXPECT_EQ(PresetFile(3), PresetFile(1));
  // Within the settle window the next command asks the camera first.
  camera_->ClearTrace();
  ASSERT_EQ(presets_->SelectPreset(3), S_OK);
  EXPECT_EQ(AvcFrames(), (std::vector<std::string>{"0120000000850001" "75FF", "0020000000850001" "7003"}));
  Bstr read;
  PassSettleWindow();
  ASSERT_EQ(presets_->GetPresetName(3, read.out()), S_OK);
  EXPECT_EQ(read.text(), COM_TEXT("TRAVEL"));
}

TEST(PcFileFailure, CategoriesOfSystemErrors) {
  const struct {
    uint32_t error;
    uint32_t category;
  } cases[] = {{2, 2},   {107, 2},  {3, 3},   {206, 3},  {267, 3},   {4, 4},   {113, 4},  {5, 5},
               {80, 5},  {183, 5},  {999, 5}, {11, 6},   {193, 6},   {16, 7},  {145, 7},  {62, 8},
               {24, 9},  {132, 9},  {23, 10}, {997, 10}, {32, 11},   {33, 12}, {167, 12}, {39, 13},
               {112, 13}, {38, 14}, {1, 1},   {87, 1},   {1617, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(camctl::PcFileFailure(c.error), static_cast<HRESULT>(0x80070000u | c.category)) << c.error;
  EXPECT_EQ(camctl::PcFileFailure(0), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Models, PresetEndToEnd, ::testing::Values("KV7", "DV1"));

}  // namespace
