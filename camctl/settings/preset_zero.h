// The step that runs at the very start of every picture-setting write on the
// KV7 model: the camera's stored preset 0 is re-applied first. The step's own
// result never becomes the write's result.
#pragma once

#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl::settings {

// The model word of a device path: the text between its first and second
// '&'. False when the path has fewer than two '&'.
bool ModelWord(platform::ComStringView devicePath, platform::ComString& word);

// True when a write of `function` must re-apply preset 0 first: the model word
// of the selected device path is "KV7" in any case and the function is a
// picture setting (20 to 34).
bool NeedsPresetZeroReapply(CameraState& state, int32_t function);

// Re-applies the camera's preset 0. Not built yet: it does nothing and
// answers S_OK, so no frame is sent for it.
HRESULT ReapplyPresetZero(CameraState& state);

// The entry of SetStatus: when the step applies, runs ReapplyPresetZero and
// again while it answers CAM_E_BUSY, four runs at most; the outcome is dropped.
void RunPresetZeroStep(CameraState& state, int32_t function);

}  // namespace camctl::settings
