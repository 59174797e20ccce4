// The camera control object's handling of device answers: an attached camera
// state whose AV/C transport and storage driver answer from the fuzz input,
// driven through the setting functions, the device modes and the preset
// slots (whose names come from preset files the storage driver delivers).
//
// Checked: out-values are written only on success (GetPresetState excepted:
// it reports -1 after a failed busy read); a preset name handed out is at most
// eight characters; the capability handed out is the object's mask; values
// decoded from one- and two-byte answers stay in their bytes' range.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_state.h"
#include "camctl/presets/preset_slots.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/device_modes.h"
#include "fakes.h"
#include "storage/storage_channel.h"

namespace {

using namespace camctl;
constexpr LONG kUnset = 0x5EED5EED;

uint64_t g_tickMs = 0;
int64_t g_settleNowMs = 0;

void FakeSleep(uint32_t ms) { g_tickMs += ms; }
// Every look at the clock moves it, so read-back loops end however the camera answers.
uint64_t FakeTick() { return g_tickMs += 4; }
std::chrono::steady_clock::time_point FakeSettleNow() {
  return std::chrono::steady_clock::time_point(std::chrono::milliseconds(g_settleNowMs));
}
void NoPause(std::chrono::milliseconds) {}

fuzz::FuzzStorageDriver* g_driver = nullptr;
HRESULT ReadLink(platform::ComStringView, platform::ComString& link) {
  link = COM_TEXT("\\??\\fuzzstorage");
  return S_OK;
}
int32_t OpenDriver(platform::ComStringView, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  auto driver = std::make_unique<fuzz::FuzzStorageDriver>();
  g_driver = driver.get();
  handle = std::move(driver);
  return 0;
}

struct Bstr {
  BSTR p = nullptr;
  Bstr() = default;
  explicit Bstr(const platform::ComString& text) : p(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(p); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

LONG Slot(fuzz::Input& in) { return static_cast<int8_t>(in.Byte()); }

void Step(CameraState& state, fuzz::Input& in) {
  const uint8_t op = in.Byte();
  switch (op % 20) {
    case 0: {
      const int32_t function = in.Byte() % 36;
      (void)settings::SetStatus(state, function, static_cast<int8_t>(in.Byte()));
      break;
    }
    case 1: {
      const int32_t function = in.Byte() % 36;
      LONG value = kUnset;
      const HRESULT hr = settings::GetStatus(state, function, &value);
      if (hr != S_OK) FUZZ_CHECK(value == kUnset);
      else FUZZ_CHECK(value >= -255 && value <= 0xFFFF);
      break;
    }
    case 2: {
      const int32_t function = in.Byte() % 36;
      LONG lo = kUnset, hi = kUnset, def = kUnset;
      const HRESULT hr = settings::GetRange(state, function, &lo, &hi, &def);
      if (hr != S_OK) FUZZ_CHECK(lo == kUnset && hi == kUnset && def == kUnset);
      else FUZZ_CHECK(lo >= 0 && lo <= 255 && hi >= 0 && hi <= 255 && def >= 0 && def <= 255);
      break;
    }
    case 3: {
      LONG capability = kUnset;
      const HRESULT hr = settings::GetCapability(state, &capability);
      if (hr != S_OK) FUZZ_CHECK(capability == kUnset);
      else FUZZ_CHECK(static_cast<uint32_t>(capability) == state.capabilityMask);
      break;
    }
    case 4:
      settings::ProbeCapabilities(state);
      break;
    case 5: {
      const uint8_t b = in.Byte();
      const int32_t mode = (b & 3) == 0 ? settings::kCameraMode : (b & 3) == 1 ? settings::kVcrMode : b;
      (void)settings::SetCVMode(state, mode);
      break;
    }
    case 6: {
      LONG mode = kUnset, emergency = kUnset;
      const HRESULT hr = settings::GetCVMode(state, &mode, &emergency);
      if (hr != S_OK) FUZZ_CHECK(mode == kUnset && emergency == kUnset);
      else FUZZ_CHECK(mode >= 0 && mode <= 255 && emergency >= 0 && emergency <= 255);
      break;
    }
    case 7: {
      (void)settings::SetEvfDisplay(state, in.Byte() % 4);
      LONG display = kUnset;
      if (settings::GetEvfDisplay(state, &display) != S_OK) FUZZ_CHECK(display == kUnset);
      break;
    }
    case 8: {
      (void)settings::SetColorBars(state, static_cast<int32_t>(in.Be16()) - 0x100);
      LONG bars = kUnset;
      if (settings::GetColorBars(state, &bars) != S_OK) FUZZ_CHECK(bars == kUnset);
      break;
    }
    case 9: {
      LONG count = kUnset;
      if (GetPresetCount(state, &count) == S_OK) FUZZ_CHECK(count == state.presetCount);
      else FUZZ_CHECK(count == kUnset);
      LONG presetState = kUnset;
      if (GetPresetState(state, &presetState) == S_OK)
        FUZZ_CHECK(presetState == -2 || presetState == -1 || presetState == 0 || presetState == 1);
      break;
    }
    case 10:
      (void)SelectPreset(state, Slot(in));
      break;
    case 11: {
      const LONG slot = Slot(in);
      if ((op & 0x80) != 0) {
        (void)RegisterPreset(state, slot, nullptr);  // keeps the name its file holds
      } else {
        Bstr name(in.ComText(12));
        (void)RegisterPreset(state, slot, name.p);
      }
      break;
    }
    case 12:
      (void)ResetPreset(state, Slot(in));
      break;
    case 13: {
      LONG permission = kUnset;
      const HRESULT hr = GetAccessPermission(state, Slot(in), &permission);
      if (hr != S_OK) FUZZ_CHECK(permission == kUnset);
      else FUZZ_CHECK(permission >= 0 && permission <= 255);
      break;
    }
    case 14: {
      const LONG slot = Slot(in);
      (void)SetAccessPermission(state, slot, in.Byte() % 3);
      break;
    }
    case 15: {
      Bstr name;
      const HRESULT hr = GetPresetName(state, Slot(in), &name.p);
      if (hr != S_OK) FUZZ_CHECK(name.p == nullptr);
      else FUZZ_CHECK(name.p != nullptr && SysStringLen(name.p) <= 8);
      break;
    }
    case 16: {
      const LONG slot = Slot(in);
      Bstr name(in.ComText(12));
      (void)SetPresetName(state, slot, name.p);
      break;
    }
    case 17: {  // what selection found: slot count, preset availability, device path
      state.presetCount = in.Byte() % 100;
      const uint8_t b = in.Byte() % 3;
      state.presetState = b == 0 ? 0 : b == 1 ? -1 : -2;
      if ((op & 0x80) != 0) state.selectedDevicePath = in.ComText(60);
      break;
    }
    case 18:  // time passes: the settle window may close
      g_settleNowMs += in.Be16();
      break;
    case 19:  // the watcher saw the camera go, or the object is fresh again
      state.connection = (op & 0x80) != 0 ? ConnectionState::Removed : ConnectionState::Attached;
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz::Surroundings::Get();
  fuzz::Input input(data, size);
  fuzz::UseInput use(input);

  g_tickMs = 1000;
  g_settleNowMs = 1'000'000;
  settings::SetReadBackTiming({&FakeSleep, &FakeTick});
  SetSettleClock(&FakeSettleNow);
  SetPresetSleep(&NoPause);
  StopSettleTimer();

  auto transport = std::make_shared<fuzz::FuzzTransport>();
  fuzz::FuzzCaptureDevice device(transport);
  {
    CameraState state;
    FUZZ_CHECK(AttachTransport(state, &device) == S_OK);
    storage::StorageChannelEnvironment environment;
    environment.readLink = &ReadLink;
    environment.openDriver = &OpenDriver;
    environment.sleep = [](uint32_t) {};
    state.storageChannel = std::make_unique<storage::StorageChannel>(std::move(environment));
    FUZZ_CHECK(state.storageChannel->Open(COM_TEXT("{fuzz}\\0000")) == S_OK);
    state.presetCount = 3;
    state.presetState = 0;
    state.selectedDevicePath = COM_TEXT("\\\\?\\avc#maker&kv7&camcorder&dv#0800460102ab0001#{65e8773d}");

    for (int step = 0; step < 64 && !input.empty(); ++step) Step(state, input);

    DetachTransport(state);
    state.storageChannel.reset();
  }
  StopSettleTimer();
  g_driver = nullptr;
  return 0;
}
