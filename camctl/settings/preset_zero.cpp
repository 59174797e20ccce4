#include "camctl/settings/preset_zero.h"

#include <mutex>

#include "camctl/common/results.h"
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

bool NeedsPresetZeroReapply(CameraState& state, int32_t function) {
  if (!IsPictureFunction(function)) return false;
  std::lock_guard<std::recursive_mutex> hold(state.lock);
  platform::ComString word;
  return ModelWord(state.selectedDevicePath, word) && EqualsIgnoringCase(word, "KV7");
}

HRESULT ReapplyPresetZero(CameraState&) {
  // Reading preset 0 back from the camera needs the preset export, which is
  // not part of the library yet; until it is, nothing is re-applied.
  return S_OK;
}

void RunPresetZeroStep(CameraState& state, int32_t function) {
  if (!NeedsPresetZeroReapply(state, function)) return;
  for (int run = 0; run < kMaxReapplyRuns; ++run) {
    if (ReapplyPresetZero(state) != CAM_E_BUSY) break;
  }
}

}  // namespace camctl::settings
