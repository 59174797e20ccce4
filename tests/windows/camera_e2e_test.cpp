// The library as a Windows client meets it: CameraControl created through COM
// from the registered VELQUIN.dll, cameras found through the system device
// enumerator's video input category (the virtual DV camera filter, registered
// for the cameras of a private root), AV/C through IAMExtTransport, the
// imaging-service match, the named camera mutex across processes and late
// binding through the registered type library. The bytes are checked in each
// camera's trace.
//
// Needs VCAM_FILTER_DLL (the virtual camera filter, a Windows path) and a
// display for windows; VELQUIN.dll and the imaging-service test double must be
// registered already.
#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/object/interfaces.h"
#include "platform/win32/com_ref.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;
using platform::win32::ComRef;

constexpr LONG kFunctionColorGain = 20;
constexpr LONG kFunctionSharpness = 22;
constexpr LONG kCameraMode = 0x38;
constexpr LONG kVcrMode = 0x20;
constexpr char kIdentificationQuery[] = "0120000000850010" "13FFFF";
constexpr char kPresetAvailability[] = "0120000000850001" "73FF";

std::string VendorControl(const std::string& codeAndOperands) { return "0020000000850001" + codeAndOperands; }
std::string VendorStatus(const std::string& codeAndCells) { return "0120000000850001" + codeAndCells; }

std::vector<std::string> Frames(const vcam::Camera& camera) {
  std::vector<std::string> frames;
  for (const vcam::TraceEntry& line : camera.ReadTrace()) frames.push_back(line.frame);
  return frames;
}

class Bstr {
 public:
  explicit Bstr(const std::string& text) {
    const platform::ComString wide = platform::Utf8ToCom(text);
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  Bstr() = default;
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* out() { return &value_; }
  std::string text() const {
    return value_ ? platform::ComToUtf8(platform::ComStringView(value_, SysStringLen(value_))) : std::string();
  }

 private:
  BSTR value_ = nullptr;
};

// Sets a variable for this process's C runtime and for the processes it starts.
void SetVariable(const wchar_t* name, const std::wstring& value) {
  SetEnvironmentVariableW(name, value.c_str());
  _wputenv_s(name, value.c_str());
}

// Registers the filter for the cameras of the current root, as installing
// their driver would; the previous registration's cameras are replaced.
HRESULT RegisterVirtualCameras() {
  const wchar_t* path = _wgetenv(L"VCAM_FILTER_DLL");
  if (path == nullptr || *path == L'\0') return E_INVALIDARG;
  const HMODULE module = LoadLibraryW(path);  // kept: COM binds the same module afterwards
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  return registerServer ? registerServer() : E_NOINTERFACE;
}

std::wstring ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// A client process running this program with `arguments`; waits at most 120 s.
DWORD RunSelf(const std::wstring& arguments) {
  std::wstring command = L"\"" + ExecutablePath() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return 0xFFFFFFFFu;
  DWORD code = 0xFFFFFFFEu;
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

struct CameraSpec {
  const char* name;
  const char* model;
  bool supported;
};

// A private root of virtual cameras, registered with the filter; the
// registration is emptied again when the test ends.
class CameraE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    root_ = fs::path(temp) / ("velquin-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::create_directories(root_);
    SetVariable(L"VCAM_HOME", root_.wstring());
  }
  void TearDown() override {
    devices_.Reset();
    for (const std::string& name : vcam::ListCameras(root_)) vcam::DeleteCamera(root_, name);
    cameras_.clear();
    EXPECT_EQ(RegisterVirtualCameras(), S_OK);  // no camera left registered
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void MakeCameras(const std::vector<CameraSpec>& specs) {
    for (const CameraSpec& spec : specs) {
      vcam::CameraOptions options;
      options.model = spec.model;
      options.supported = spec.supported;
      options.sampleContent = false;
      cameras_.push_back(vcam::CreateCamera(root_, spec.name, options));
    }
    ASSERT_EQ(RegisterVirtualCameras(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                               devices_.out_void()),
              S_OK);
  }
  void MakeCamera(const char* model = "KX1") { MakeCameras({{"cam", model, true}}); }

  static std::string Identifier(const vcam::Camera& camera) {
    return camera.identity().friendlyName + "#" + camera.identity().uniqueId;
  }

  // The identifiers EnumerateDevice returns, in the array's order; `nulls`
  // counts the null strings that fill the array after them.
  HRESULT Enumerate(LONG& count, std::vector<std::string>& identifiers, size_t& nulls) {
    SAFEARRAY* list = nullptr;
    count = -1;
    identifiers.clear();
    nulls = 0;
    const HRESULT hr = devices_->EnumerateDevice(&list, &count);
    if (list == nullptr) return hr;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(list, 1, &lower);
    SafeArrayGetUBound(list, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 9) << "always ten elements";
    for (LONG i = lower; i <= upper; ++i) {
      Bstr item;
      if (SafeArrayGetElement(list, &i, item.out()) != S_OK) continue;
      if (item.get() == nullptr) {
        ++nulls;
        continue;
      }
      EXPECT_EQ(nulls, 0u) << "an identifier after a null string";
      identifiers.push_back(item.text());
    }
    SafeArrayDestroy(list);
    return hr;
  }

  HRESULT Select(const vcam::Camera& camera) {
    Bstr id(Identifier(camera));
    return devices_->SelectDevice(id.get());
  }

  template <class I>
  ComRef<I> Interface(REFIID iid) {
    ComRef<I> p;
    EXPECT_EQ(devices_->QueryInterface(iid, p.out_void()), S_OK);
    return p;
  }

  // What the storage step meets on this machine: opening the camera's
  // storage driver link, as the selection does.
  static HRESULT StorageOpenResult(const vcam::Camera& camera) {
    platform::ComString link = platform::Utf8ToCom(camera.identity().devSymLink);
    link[1] = '\\';  // "\??\x" opens as "\\?\x"
    const std::wstring path(link.begin(), link.end());
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return S_OK;
    }
    return HRESULT_FROM_WIN32(GetLastError());
  }

  fs::path root_;
  std::vector<std::unique_ptr<vcam::Camera>> cameras_;
  ComRef<ICDVEnumDevice> devices_;
};

struct EnumerationCase {
  const char* label;
  std::vector<CameraSpec> cameras;
};

void PrintTo(const EnumerationCase& test, std::ostream* out) { *out << test.label; }

class EnumerationTest : public CameraE2eTest, public ::testing::WithParamInterface<EnumerationCase> {};

// Every listed device gets the identification query once; only the ones that
// answer as supported cameras are returned. An empty category leaves the
// out-values untouched; devices without a supported camera give a count of 0.
TEST_P(EnumerationTest, ListsTheSupportedCamerasOfTheVideoInputCategory) {
  MakeCameras(GetParam().cameras);
  std::vector<std::string> expected;
  for (const auto& camera : cameras_) {
    if (camera->ReadState().supported) expected.push_back(Identifier(*camera));
  }
  LONG count = -1;
  std::vector<std::string> found;
  size_t nulls = 0;
  const HRESULT hr = Enumerate(count, found, nulls);
  EXPECT_EQ(hr, expected.empty() ? S_FALSE : S_OK);
  EXPECT_EQ(count, cameras_.empty() ? -1 : static_cast<LONG>(expected.size()));
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
  if (!expected.empty()) {
    EXPECT_EQ(nulls, 10 - expected.size());
  }
  for (const auto& camera : cameras_) {
    EXPECT_EQ(Frames(*camera), std::vector<std::string>{kIdentificationQuery}) << camera->identity().name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, EnumerationTest,
    ::testing::Values(EnumerationCase{"none", {}}, EnumerationCase{"one", {{"a", "KV7", true}}},
                      EnumerationCase{"two", {{"a", "KV7", true}, {"b", "KX1", true}}},
                      EnumerationCase{"oneUnsupported", {{"a", "KV7", true}, {"b", "KX1", false}}},
                      EnumerationCase{"onlyUnsupported", {{"a", "KX1", false}}}),
    [](const ::testing::TestParamInfo<EnumerationCase>& test) { return std::string(test.param.label); });

// The path and the model come from the property bag; the friendly name is
// the device manager's, looked up through SetupAPI by the device path. Wine's
// SetupDiOpenDeviceInterfaceW finds no interface, so it stays a null string
// here: never the bag's "FriendlyName" in its place.
TEST_F(CameraE2eTest, DeviceInfoNeedsNoCameraTraffic) {
  MakeCamera("KV7");
  const vcam::Camera& camera = *cameras_[0];
  Bstr id(Identifier(camera)), friendly, path, model;
  ASSERT_EQ(devices_->GetDeviceInfo(id.get(), friendly.out(), path.out(), model.out()), S_OK);
  EXPECT_EQ(friendly.get(), nullptr) << friendly.text();
  EXPECT_EQ(path.text(), camera.identity().devicePath);
  EXPECT_EQ(model.text(), "KV7");
  Bstr unknown("DV Camera#0000000000000000"), a, b, c;
  EXPECT_EQ(devices_->GetDeviceInfo(unknown.get(), a.out(), b.out(), c.out()), E_FAIL);
  EXPECT_TRUE(Frames(camera).empty());
}

// Selection runs its storage steps through the virtual storage driver: the
// slot count and the preset state; the slots' names, permissions and files
// then travel through the camera's storage and are what a second object (a
// fresh selection) reads back.
TEST_F(CameraE2eTest, SelectionCompletesAndPresetsTravelThroughTheStorageDriver) {
  MakeCamera();
  vcam::Camera& camera = *cameras_[0];
  ASSERT_EQ(StorageOpenResult(camera), S_OK) << "the virtual storage driver is not running";
  ASSERT_EQ(Select(camera), S_OK);
  const std::vector<vcam::TraceEntry> selection = camera.ReadTrace();
  EXPECT_TRUE(std::any_of(selection.begin(), selection.end(), [](const vcam::TraceEntry& e) {
    return e.channel == "storage" && e.frame.rfind("06", 0) == 0 && e.result == 0;  // the slot count
  }));
  EXPECT_EQ(std::count_if(selection.begin(), selection.end(),
                          [](const vcam::TraceEntry& e) { return e.frame == kPresetAvailability; }),
            1);

  auto presets = Interface<ICDVPresetControl>(IID_ICDVPresetControl);
  LONG count = 0, state = -1;
  ASSERT_EQ(presets->GetPresetCount(&count), S_OK);
  EXPECT_EQ(count, camera.ReadState().slotCount);
  EXPECT_EQ(presets->GetPresetState(&state), S_OK);
  // A preset-changing command leaves the camera busy for a moment, as a
  // real one is: the next call waits it out as the application does.
  auto once = [](auto call) {
    HRESULT hr = call();
    for (int i = 0; i < 20 && hr == camctl::CAM_E_BUSY; ++i) {
      Sleep(100);
      hr = call();
    }
    return hr;
  };
  Bstr name("Evening");
  ASSERT_EQ(once([&] { return presets->RegisterPreset(2, name.get()); }), S_OK);
  ASSERT_EQ(once([&] { return presets->SetAccessPermission(2, 1); }), S_OK);
  const fs::path exported = root_ / "exported.pst";
  Bstr exportPath(exported.string());
  ASSERT_EQ(once([&] { return presets->ExportPreset(2, exportPath.get(), 0); }), S_OK);
  ASSERT_EQ(once([&] { return presets->ImportPreset(3, exportPath.get()); }), S_OK);

  uint8_t slot2[64] = {}, slot3[64] = {};
  const long length2 = camera.ReadPresetFile(2, slot2, sizeof slot2);
  ASSERT_GT(length2, 0);
  std::vector<uint8_t> file(static_cast<size_t>(fs::file_size(exported)));
  FILE* in = _wfopen(exported.c_str(), L"rb");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(std::fread(file.data(), 1, file.size(), in), file.size());
  std::fclose(in);
  EXPECT_EQ(file, std::vector<uint8_t>(slot2, slot2 + length2)) << "the export is the camera's file, byte for byte";
  EXPECT_EQ(camera.ReadPresetFile(3, slot3, sizeof slot3), length2);
  EXPECT_TRUE(std::equal(slot2, slot2 + length2, slot3)) << "the import stored the same bytes";

  ComRef<ICDVEnumDevice> second;
  ASSERT_EQ(CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                             second.out_void()),
            S_OK);
  EXPECT_EQ(devices_->RemoveDevice(), S_OK);
  Bstr id(Identifier(camera));
  ASSERT_EQ(second->SelectDevice(id.get()), S_OK);
  ComRef<ICDVPresetControl> again;
  ASSERT_EQ(second->QueryInterface(IID_ICDVPresetControl, again.out_void()), S_OK);
  Bstr readName;
  LONG permission = -1;
  EXPECT_EQ(again->GetPresetName(2, readName.out()), S_OK);
  EXPECT_EQ(readName.text(), "Evening");
  EXPECT_EQ(again->GetAccessPermission(2, &permission), S_OK);
  EXPECT_EQ(permission, 1);
  EXPECT_EQ(second->RemoveDevice(), S_OK);
}

// On a KV7 a picture write re-applies preset 0 first: its file is read
// through the storage driver with the very frame ExportPreset sends for a
// slot (but for the slot's digits), then its fifteen values go out as
// CONTROL commands in the re-apply order, then the write and its read-back.
TEST_F(CameraE2eTest, AKv7PictureWriteReappliesPresetZeroReadAsAnExport) {
  MakeCamera("KV7");
  vcam::Camera& camera = *cameras_[0];
  ASSERT_EQ(Select(camera), S_OK);
  uint8_t zero[vcam::kPresetFileSize] = {};
  ASSERT_EQ(camera.ReadPresetFile(0, zero, sizeof zero), static_cast<long>(sizeof zero));
  auto control = Interface<ICDVCameraControl>(IID_ICDVCameraControl);
  auto presets = Interface<ICDVPresetControl>(IID_ICDVPresetControl);

  camera.ClearTrace();
  ASSERT_EQ(control->SetStatus(kFunctionColorGain, 9), S_OK);
  const std::vector<vcam::TraceEntry> write = camera.ReadTrace();
  camera.ClearTrace();
  Bstr exportPath((root_ / "one.pst").string());
  ASSERT_EQ(presets->ExportPreset(1, exportPath.get(), 0), S_OK);
  const std::vector<vcam::TraceEntry> exportLines = camera.ReadTrace();
  ASSERT_EQ(exportLines.size(), 1u);
  ASSERT_EQ(exportLines[0].channel, "storage");

  std::vector<std::string> expected;
  std::string readZero = exportLines[0].frame;
  const std::string one = "5072657365743031";  // "Preset01"
  const size_t at = readZero.find(one);
  ASSERT_NE(at, std::string::npos);
  readZero.replace(at, one.size(), "5072657365743030");  // "Preset00"
  expected.push_back(readZero);
  static constexpr struct {
    uint8_t code;
    uint8_t fileByte;
  } kOrder[15] = {{0x40, 11}, {0x41, 10}, {0x44, 18}, {0x45, 21}, {0x46, 20}, {0x47, 12}, {0x48, 13}, {0x49, 19},
                  {0x4A, 22}, {0x4B, 14}, {0x4C, 15}, {0x4D, 16}, {0x4E, 17}, {0x4F, 23}, {0x50, 24}};
  char hex[5];
  for (const auto& step : kOrder) {
    std::snprintf(hex, sizeof hex, "%02X%02X", step.code, zero[step.fileByte]);
    expected.push_back(VendorControl(hex));
  }
  expected.push_back(VendorControl("4109"));
  expected.push_back(VendorStatus("41FF"));
  std::vector<std::string> frames;
  for (const vcam::TraceEntry& line : write) frames.push_back(line.frame);
  EXPECT_EQ(frames, expected);
  EXPECT_EQ(write.front().channel, "storage");
  EXPECT_EQ(camera.ReadState().value[0x41][0], 9);
}

// Picture settings, camera mode and colour bars through the filter's
// IAMExtTransport, byte for byte.
TEST_F(CameraE2eTest, SettingsModesAndColourBarsTravelThroughTheTransport) {
  MakeCamera();
  vcam::Camera& camera = *cameras_[0];
  Select(camera);
  auto control = Interface<ICDVCameraControl>(IID_ICDVCameraControl);
  auto modes = Interface<ICDVDeviceControl>(IID_ICDVDeviceControl);
  camera.ClearTrace();

  ASSERT_EQ(control->SetStatus(kFunctionColorGain, 9), S_OK);
  LONG value = 0;
  ASSERT_EQ(control->GetStatus(kFunctionColorGain, &value), S_OK);
  EXPECT_EQ(value, 9);
  ASSERT_EQ(modes->SetColorBars(0), S_OK);
  ASSERT_EQ(modes->SetCVMode(kVcrMode), S_OK);
  LONG mode = 0, emergency = 7;
  ASSERT_EQ(modes->GetCVMode(&mode, &emergency), S_OK);
  EXPECT_EQ(mode, kVcrMode);
  EXPECT_EQ(emergency, 0);
  EXPECT_EQ(control->SetStatus(kFunctionColorGain, 3), camctl::CAM_E_REJECTED) << "refused in VCR mode";
  ASSERT_EQ(modes->SetCVMode(kCameraMode), S_OK);
  ASSERT_EQ(modes->SetColorBars(2 + 256), S_OK);
  LONG bars = 0;
  ASSERT_EQ(modes->GetColorBars(&bars), S_OK);
  EXPECT_EQ(bars, 2);

  EXPECT_EQ(Frames(camera),
            (std::vector<std::string>{
                VendorControl("4109"), VendorStatus("41FF"), VendorStatus("41FF"),  // write, read back, read
                VendorControl("1600"), VendorStatus("16FF"),                        // bars off, read back
                VendorStatus("16FF"), "00FF20A000002020",                           // VCR mode after the guard
                "01200000008500100" "9FFFFFFFF",                                    // mode query
                VendorControl("4103"),                                              // refused write
                "00FF200038382020",                                                 // camera mode
                VendorControl("1602"), VendorStatus("16FF"), VendorStatus("16FF")}));
  const vcam::State state = camera.ReadState();
  EXPECT_EQ(state.mode, vcam::kModeCamera);
  EXPECT_EQ(state.value[0x41][0], 9);
}

// Two client processes, each with its own object on the same camera: the
// named camera mutex keeps every write next to its read-back.
TEST_F(CameraE2eTest, TwoProcessesNeverInterleaveAWriteAndItsReadBack) {
  MakeCamera();
  vcam::Camera& camera = *cameras_[0];
  camera.ClearTrace();
  // Started together; each waits for its own end.
  DWORD codeA = 0, codeB = 0;
  std::thread a([&] { codeA = RunSelf(L"--picture-writer 20 3 12"); });
  std::thread b([&] { codeB = RunSelf(L"--picture-writer 22 9 12"); });
  a.join();
  b.join();
  ASSERT_EQ(codeA, 0u);
  ASSERT_EQ(codeB, 0u);

  const std::vector<std::string> frames = Frames(camera);
  size_t colourGain = 0, sharpness = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string& frame = frames[i];
    if (frame.rfind("0020000000850001", 0) != 0 || frame.size() != 20) continue;
    const std::string code = frame.substr(16, 2);
    if (code == "41")
      ++colourGain;
    else if (code == "47")
      ++sharpness;
    else
      continue;
    ASSERT_LT(i + 1, frames.size());
    EXPECT_EQ(frames[i + 1], VendorStatus(code + "FF")) << "line " << i;
  }
  EXPECT_GE(colourGain, 1u);
  EXPECT_GE(sharpness, 1u);
}

// The preview through Wine's DirectShow: the graph is built with the camera's
// filter, which has no video output, so starting it fails cleanly and the
// window calls still answer.
TEST_F(CameraE2eTest, APreviewWithoutAVideoOutputFailsCleanly) {
  MakeCamera();
  Select(*cameras_[0]);
  auto preview = Interface<ICDVPreviewControl>(IID_ICDVPreviewControl);
  const HWND owner = CreateWindowExW(0, L"STATIC", L"preview owner", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr,
                                     nullptr, nullptr, nullptr);
  ASSERT_NE(owner, nullptr) << "no display for windows";
  EXPECT_EQ(preview->SetOwner(static_cast<LONG>(reinterpret_cast<INT_PTR>(owner))), S_OK);
  EXPECT_EQ(preview->StartPreview(), camctl::CAM_E_PREVIEW_FAILED);
  EXPECT_EQ(preview->SetVisible(1), S_OK);
  EXPECT_EQ(preview->StopPreview(), S_OK);
  DestroyWindow(owner);
}

// A removal notice as the device manager broadcasts it, delivered to the
// library's hidden window: only the selected camera's path (in any letter
// case) detaches the object, which then stays removed until RemoveDevice.
TEST_F(CameraE2eTest, ARemovalNoticeForTheSelectedCameraDetachesIt) {
  MakeCameras({{"a", "KX1", true}, {"b", "KX1", true}});
  const vcam::Camera& selected = *cameras_[0];
  Select(selected);
  const HWND watcher = FindWindowW(L"VELQUIN_CLASS", L"VEL-QUIN");
  ASSERT_NE(watcher, nullptr) << "the watcher's window was not made";
  auto control = Interface<ICDVCameraControl>(IID_ICDVCameraControl);

  auto notify = [&](const std::string& path) {
    const platform::ComString name = platform::Utf8ToCom(path);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<BYTE> buffer(kNameOffset + (name.size() + 1) * sizeof(wchar_t));
    auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
    notice->dbcc_size = static_cast<DWORD>(buffer.size());
    notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notice->dbcc_classguid = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    std::memcpy(notice->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    SendMessageW(watcher, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(buffer.data()));
  };

  notify(cameras_[1]->identity().devicePath);
  EXPECT_EQ(control->SetStatus(kFunctionColorGain, 4), S_OK) << "another camera's removal changes nothing";

  std::string upper = selected.identity().devicePath;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  notify(upper);
  EXPECT_EQ(control->SetStatus(kFunctionColorGain, 5), camctl::CAM_E_NOT_CONNECTED);
  EXPECT_EQ(Select(selected), camctl::CAM_E_LOCK_TIMEOUT) << "removed, not yet detached for the client";
  EXPECT_EQ(devices_->RemoveDevice(), S_OK);
  EXPECT_NE(Select(selected), camctl::CAM_E_LOCK_TIMEOUT);
}

// A late-binding client: names to DISPIDs and Invoke through the type
// library the server registered.
TEST_F(CameraE2eTest, LateBoundCallsGoThroughTheRegisteredTypeLibrary) {
  MakeCamera();
  vcam::Camera& camera = *cameras_[0];
  Select(camera);
  camera.ClearTrace();
  auto control = Interface<IDispatch>(IID_ICDVCameraControl);

  OLECHAR setStatus[] = L"SetStatus";
  OLECHAR unknown[] = L"NoSuchMethod";
  LPOLESTR names[] = {setStatus};
  DISPID id = DISPID_UNKNOWN;
  ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  names[0] = unknown;
  DISPID none = 0;
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &none), DISP_E_UNKNOWNNAME);

  VARIANT args[2];  // reversed: Value, then Function
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_I4;
  args[0].lVal = 5;
  args[1].vt = VT_BSTR;  // coerced to a number through the type information
  args[1].bstrVal = SysAllocString(L"20");
  DISPPARAMS params{args, nullptr, 2, 0};
  EXCEPINFO exception{};
  UINT argError = 0;
  EXPECT_EQ(control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &exception,
                            &argError),
            S_OK);
  VariantClear(&args[1]);
  EXPECT_EQ(Frames(camera), (std::vector<std::string>{VendorControl("4105"), VendorStatus("41FF")}));

  ComRef<ITypeInfo> type;
  ASSERT_EQ(control->GetTypeInfo(0, LOCALE_USER_DEFAULT, type.out()), S_OK);
  Bstr name;
  ASSERT_EQ(type->GetDocumentation(MEMBERID_NIL, name.out(), nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(name.text(), "ICDVCameraControl");
}

// The second process of the interleaving test: selects the only camera of
// VCAM_HOME through its own object and writes one picture setting again and
// again. Exit 0 when at least one write went through and every other one only
// missed the camera mutex.
int PictureWriter(LONG function, LONG value, int count) {
  ComRef<ICDVEnumDevice> devices;
  if (CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_ICDVEnumDevice,
                       devices.out_void()) != S_OK)
    return 10;
  SAFEARRAY* list = nullptr;
  LONG found = 0;
  if (devices->EnumerateDevice(&list, &found) != S_OK || found != 1) return 11;
  LONG index = 0;
  Bstr id;
  SafeArrayGetElement(list, &index, id.out());
  SafeArrayDestroy(list);
  devices->SelectDevice(id.get());  // a busy camera may refuse it: the writes below say so
  ComRef<ICDVCameraControl> control;
  if (devices->QueryInterface(IID_ICDVCameraControl, control.out_void()) != S_OK) return 12;
  int written = 0, failed = 0;
  for (int i = 0; i < count; ++i) {
    const HRESULT hr = control->SetStatus(function, value);
    if (hr == S_OK)
      ++written;
    else if (hr != camctl::CAM_E_LOCK_TIMEOUT)
      ++failed;
  }
  std::printf("written %d failed %d\n", written, failed);
  return written > 0 && failed == 0 ? 0 : 13;
}

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int status;
  if (argc == 5 && std::string(argv[1]) == "--picture-writer") {
    status = PictureWriter(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  } else {
    ::testing::InitGoogleTest(&argc, argv);
    status = RUN_ALL_TESTS();
  }
  CoUninitialize();
  return status;
}
