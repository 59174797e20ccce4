// The preset slots of the attached camera: slot count and busy state, select,
// register and reset a slot, its protection, and its name kept in the slot's
// preset file.
//
// Every function takes the object's state and does the whole method: argument
// checks first (before any lock, sending nothing), then the object lock and
// the camera mutex (300 ms), the connection state, the slot range and the
// settle check. Commands that change the camera's presets open the settle
// window when they succeed. Out-values are written only on success.
//
// The functions may throw std::bad_alloc or std::system_error (from the
// object lock); the COM methods turn those into result codes.
#pragma once

#include <chrono>
#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl {

// Vendor commands of command set 0x0001 used here.
inline constexpr uint8_t kCodeSelectPreset = 0x70;    // CONTROL: slot
inline constexpr uint8_t kCodeRegisterPreset = 0x71;  // CONTROL: slot, 8 name bytes
inline constexpr uint8_t kCodeResetPreset = 0x72;     // CONTROL: slot
inline constexpr uint8_t kCodePermission = 0x74;      // STATUS: slot, FF; CONTROL: slot, value

inline constexpr int32_t kPermissionUnlocked = 0;
inline constexpr int32_t kPermissionLocked = 1;

// After a permission write the camera needs a moment before the next command.
inline constexpr std::chrono::milliseconds kPermissionWritePause{16};

// Before SetPresetName writes the file it waits for the camera to finish its
// preset operation. A camera that stays busy must not hang the caller: the
// state is asked at most this often, with a short pause between two asks, so
// the wait lasts a little longer than the 2-second settle window (the time a
// preset operation is given everywhere else). A camera still busy after that
// fails the call with CAM_E_BUSY and the file is not written.
inline constexpr int kNamePollLimit = 250;
inline constexpr std::chrono::milliseconds kNamePollPause{10};

// The pauses of this module; tests substitute their own. Null restores the
// real one (the calling thread sleeps).
using PresetSleep = void (*)(std::chrono::milliseconds);
void SetPresetSleep(PresetSleep sleep) noexcept;

HRESULT GetPresetCount(CameraState& state, LONG* count);
HRESULT GetPresetState(CameraState& state, LONG* presetState);
HRESULT SelectPreset(CameraState& state, LONG slot);
// A null name keeps the slot's present name, read from its preset file.
HRESULT RegisterPreset(CameraState& state, LONG slot, BSTR name);
HRESULT ResetPreset(CameraState& state, LONG slot);
HRESULT GetAccessPermission(CameraState& state, LONG slot, LONG* permission);
HRESULT SetAccessPermission(CameraState& state, LONG slot, LONG permission);
// `*name` receives a new string the caller frees.
HRESULT GetPresetName(CameraState& state, LONG slot, BSTR* name);
HRESULT SetPresetName(CameraState& state, LONG slot, BSTR name);

}  // namespace camctl
