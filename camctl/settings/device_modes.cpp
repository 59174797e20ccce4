#include "camctl/settings/device_modes.h"

#include <mutex>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/settings/camera_settings.h"

namespace camctl::settings {
namespace {

using ObjectLockGuard = std::lock_guard<ObjectLock>;

// One-byte STATUS read of a vendor code into *out (written only on success).
HRESULT ReadByte(CameraState& state, uint8_t code, LONG* out) {
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  uint8_t cell = 0xFF;
  hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, code, Ctype::Status, {&cell});
  if (hr == S_OK) *out = cell;
  return hr;
}

}  // namespace

HRESULT SetCVMode(CameraState& state, int32_t mode) {
  if (mode != kCameraMode && mode != kVcrMode) return E_INVALIDARG;
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;

  // The tape side cannot take over while the colour bars are shown. A camera
  // that cannot say whether they are on is switched all the same.
  uint8_t operands[5] = {0x00, 0x38, 0x38, 0x20, 0x20};  // camera subunit -> tape subunit
  if (mode == kVcrMode) {
    LONG bars = 0;
    if (GetColorBars(state, &bars) == S_OK && bars != 0) return CAM_E_REJECTED;
    const uint8_t vcr[5] = {0xA0, 0x00, 0x00, 0x20, 0x20};
    for (int i = 0; i < 5; ++i) operands[i] = vcr[i];
  }
  if (!state.commandChannel) return CAM_E_NOT_CONNECTED;
  return state.commandChannel->SendAvcCommand(kAddressUnit, kOpcodeConnectAv, Ctype::Control,
                                              {&operands[0], &operands[1], &operands[2], &operands[3],
                                               &operands[4]});
}

HRESULT GetCVMode(CameraState& state, LONG* mode, LONG* emergencyState) {
  if (mode == nullptr || emergencyState == nullptr) return E_POINTER;
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  uint8_t cells[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  hr = state.commandChannel->SendVendorCommand(kCommandSetDevice, kCodeModeQuery, Ctype::Status,
                                               {&cells[0], &cells[1], &cells[2], &cells[3]});
  if (hr != S_OK) return hr;
  *mode = cells[0];
  *emergencyState = cells[3];
  return S_OK;
}

HRESULT SetEvfDisplay(CameraState& state, int32_t displayState) {
  if (displayState < 0 || displayState > 2) return E_INVALIDARG;
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  uint8_t cell = static_cast<uint8_t>(displayState);
  return state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodeEvfDisplay, Ctype::Control, {&cell});
}

HRESULT GetEvfDisplay(CameraState& state, LONG* displayState) {
  if (displayState == nullptr) return E_POINTER;
  return ReadByte(state, kCodeEvfDisplay, displayState);
}

HRESULT SetColorBars(CameraState& state, int32_t colorBarsState) {
  // Only the low byte is the camera's; the rest of the value is not looked at.
  uint8_t cell = static_cast<uint8_t>(colorBarsState & 0xFF);
  if (cell > 3) return E_INVALIDARG;
  ObjectLockGuard hold(state.lock);
  const HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  return WriteVerified(state, kCodeColorBars, cell, Ctype::Control);
}

HRESULT GetColorBars(CameraState& state, LONG* colorBarsState) {
  if (colorBarsState == nullptr) return E_POINTER;
  return ReadByte(state, kCodeColorBars, colorBarsState);
}

}  // namespace camctl::settings
