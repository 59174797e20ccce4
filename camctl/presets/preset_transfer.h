// Copies of a slot's preset file between the camera and a file on the PC,
// byte for byte: ExportPreset writes the camera's file to the PC, ImportPreset
// writes a PC file (11 to 255 bytes, byte 0 equal to its size) to a slot.
//
// Both hold the object lock and the camera mutex for their whole run, PC file
// access included. A PC file that cannot be opened, created, written or read
// gives 0x80070000 | c, c the category of the system's error.
#pragma once

#include <array>
#include <cstdint>

#include "camctl/object/camera_state.h"
#include "camctl/presets/preset_file.h"
#include "platform/com.h"

namespace camctl {

// Sizes an imported file may have.
inline constexpr uint32_t kImportMinLength = 11;
inline constexpr uint32_t kImportMaxLength = 255;

// The result of a PC file failure with this Win32 error code: 0x80070000 | c,
// c from the category table (1 for codes it does not list). 0 gives S_OK.
HRESULT PcFileFailure(uint32_t win32Error) noexcept;

// A COM string usable as a PC path: not empty, no embedded NUL, no unpaired
// surrogate (nothing a conversion would cut or rewrite).
bool UsablePcPath(BSTR path) noexcept;

HRESULT ExportPreset(CameraState& state, LONG slot, BSTR path, LONG overwrite);
HRESULT ImportPreset(CameraState& state, LONG slot, BSTR path);

// A slot's preset file read into memory, as ExportPreset reads it (locks,
// connection, slot 0 to the count, settle check), with no PC file at all.
HRESULT ReadPresetFile(CameraState& state, LONG slot, std::array<uint8_t, kPresetFileBufferSize>& file,
                       uint32_t& size);

}  // namespace camctl
