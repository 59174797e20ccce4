// The step that runs at the very start of every picture-setting write on the
// KV7 model: the camera's stored preset 0 is re-applied first. The step's own
// result never becomes the write's result.
#pragma once

#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl::settings {

// The picture codes in the order they are re-applied, with the byte of the
// preset file that holds each one's value.
struct ReapplyValue {
  uint8_t code;
  uint8_t fileByte;
};
inline constexpr ReapplyValue kReapplyOrder[15] = {
    {0x40, 11}, {0x41, 10}, {0x44, 18}, {0x45, 21}, {0x46, 20}, {0x47, 12}, {0x48, 13}, {0x49, 19},
    {0x4A, 22}, {0x4B, 14}, {0x4C, 15}, {0x4D, 16}, {0x4E, 17}, {0x4F, 23}, {0x50, 24}};
// Only a preset 0 file of exactly this length is re-applied.
inline constexpr uint32_t kReapplyFileLength = 25;

// The model word of a device path: the text between its first and second
// '&'. False when the path has fewer than two '&'.
bool ModelWord(platform::ComStringView devicePath, platform::ComString& word);

// True when the device path's model word is "KV7" in any case.
bool IsPresetZeroModel(platform::ComStringView devicePath);

// True when a write of `function` must re-apply preset 0 first: the selected
// camera is the KV7 model and the function is a picture setting (20 to 34).
// Never takes the object lock.
bool NeedsPresetZeroReapply(const CameraState& state, int32_t function);

// Re-applies the camera's preset 0: reads its file from the camera into
// memory (as an export would) and, for a 25-byte file, sends its fifteen
// picture values as CONTROL commands in kReapplyOrder, stopping at the first
// failure. Holds the object lock and the camera mutex throughout, so the
// fifteen frames go as one block. A file of another length sends nothing
// (S_OK).
HRESULT ReapplyPresetZero(CameraState& state);

// The entry of SetStatus: when the step applies, runs ReapplyPresetZero and
// again while it answers CAM_E_BUSY, four runs at most; the outcome is dropped.
void RunPresetZeroStep(CameraState& state, int32_t function);

}  // namespace camctl::settings
