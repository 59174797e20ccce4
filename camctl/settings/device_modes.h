// The camcorder's modes: camera or VCR (with the emergency state), the
// electronic viewfinder display and the colour bars. Each operation takes the
// object lock for its whole duration; the camera mutex is taken per frame.
#pragma once

#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl::settings {

// Mode values: the AV/C address of the subunit in charge.
inline constexpr int32_t kCameraMode = 0x38;  // camera subunit, type 7 id 0
inline constexpr int32_t kVcrMode = 0x20;     // tape recorder/player subunit, type 4 id 0

// General frame to the unit: CONNECT AV.
inline constexpr uint8_t kAddressUnit = 0xFF;
inline constexpr uint8_t kOpcodeConnectAv = 0x20;
// Vendor codes.
inline constexpr uint8_t kCodeModeQuery = 0x09;  // command set 0x0010, STATUS 4 cells
inline constexpr uint8_t kCodeEvfDisplay = 0x12;
inline constexpr uint8_t kCodeColorBars = 0x16;

// Switches to camera mode (56) or VCR mode (32); any other value gives
// E_INVALIDARG without sending. VCR mode is refused with CAM_E_REJECTED while
// the colour bars are on (a failed colour-bar query does not stop it).
HRESULT SetCVMode(CameraState& state, int32_t mode);
// The camera's mode byte and emergency state byte, zero-extended. Both
// pointers are required (E_POINTER, nothing sent); written only on success.
HRESULT GetCVMode(CameraState& state, LONG* mode, LONG* emergencyState);
// 0, 1 or 2 (the whole value); anything else gives E_INVALIDARG.
HRESULT SetEvfDisplay(CameraState& state, int32_t displayState);
HRESULT GetEvfDisplay(CameraState& state, LONG* displayState);
// Only the low 8 bits are examined and sent; they must be 0 to 3. The write is
// read back (see WriteVerified) and its own result returned.
HRESULT SetColorBars(CameraState& state, int32_t colorBarsState);
HRESULT GetColorBars(CameraState& state, LONG* colorBarsState);

}  // namespace camctl::settings
