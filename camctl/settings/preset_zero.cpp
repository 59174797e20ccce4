#include "camctl/settings/preset_zero.h"

#include <array>
#include <mutex>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/presets/preset_transfer.h"
#include "camctl/settings/camera_settings.h"

namespace camctl::settings {
namespace {

// A busy camera is asked again, four runs in all.
constexpr int kMaxReapplyRuns = 4;

OLECHAR Lower(OLECHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<OLECHAR>(c - u'A' + u'a') : c; }

bool EqualsIgnoringCase(platform::ComStringView text, const char* ascii) {
  size_t i = 0;
  for (; ascii[i] != '\0'; ++i) {
    if (i >= text.size() || Lower(text[i]) != Lower(static_cast<OLECHAR>(ascii[i]))) return false;
  }
  return i == text.size();
}

}  // namespace

bool ModelWord(platform::ComStringView devicePath, platform::ComString& word) {
  const size_t first = devicePath.find(u'&');
  if (first == platform::ComStringView::npos) return false;
  const size_t second = devicePath.find(u'&', first + 1);
  if (second == platform::ComStringView::npos) return false;
  word.assign(devicePath.substr(first + 1, second - first - 1));
  return true;
}

bool IsPresetZeroModel(platform::ComStringView devicePath) {
  platform::ComString word;
  return ModelWord(devicePath, word) && EqualsIgnoringCase(word, "KV7");
}

bool NeedsPresetZeroReapply(const CameraState& state, int32_t function) {
  return IsPictureFunction(function) && state.reapplyPresetZero.load();
}

HRESULT ReapplyPresetZero(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.connection == ConnectionState::Removed) return CAM_E_REMOVED;
  if (state.connection == ConnectionState::NoCamera || !state.commandChannel) return CAM_E_NOT_CONNECTED;
  platform::NamedMutexHold camera(state.cameraMutex.get(), kCameraMutexWaitMs);
  if (!camera.held()) return CAM_E_LOCK_TIMEOUT;

  std::array<uint8_t, kPresetFileBufferSize> file{};
  uint32_t size = 0;
  HRESULT hr = ReadPresetFile(state, 0, file, size);
  if (hr != S_OK) return hr;
  if (size != kReapplyFileLength) return S_OK;
  for (const ReapplyValue& value : kReapplyOrder) {
    uint8_t cell = file[value.fileByte];
    if (!state.commandChannel) return CAM_E_NOT_CONNECTED;
    hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, value.code, Ctype::Control, {&cell});
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

void RunPresetZeroStep(CameraState& state, int32_t function) {
  if (!NeedsPresetZeroReapply(state, function)) return;
  for (int run = 0; run < kMaxReapplyRuns; ++run) {
    if (ReapplyPresetZero(state) != CAM_E_BUSY) break;
  }
}

}  // namespace camctl::settings
