// The camera's settings by function number (1 to 34): value checks, the
// encodings the camera uses, the plain, verified and picture paths, the range
// query, and the capability inquiry that fills the object's capability mask.
//
// Every function here takes the object lock for its whole duration; the
// picture settings (20 to 34) also hold the camera mutex from before their
// settle check until after their read-back. Lock order: object lock, then
// camera mutex.
#pragma once

#include <cstdint>

#include "camctl/channel/command_channel.h"
#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl::settings {

// ---- Function numbers ----------------------------------------------------
inline constexpr int32_t kFirstFunction = 1;
inline constexpr int32_t kLastFunction = 34;
// The fifteen picture settings of a custom preset.
inline constexpr int32_t kFunctionColorGain = 20;
inline constexpr int32_t kFunctionColorPhase = 21;
inline constexpr int32_t kFunctionSharpness = 22;
inline constexpr int32_t kFunctionSetupLevel = 23;
inline constexpr int32_t kFunctionRed = 24;
inline constexpr int32_t kFunctionGreen = 25;
inline constexpr int32_t kFunctionBlue = 26;
inline constexpr int32_t kFunctionCoring = 27;
inline constexpr int32_t kFunctionMasterPed = 28;
inline constexpr int32_t kFunctionVDetail = 29;
inline constexpr int32_t kFunctionColorMatrix = 30;
inline constexpr int32_t kFunctionGamma = 31;
inline constexpr int32_t kFunctionKnee = 32;
inline constexpr int32_t kFunctionBlack = 33;
inline constexpr int32_t kFunctionNR = 34;

constexpr bool IsPictureFunction(int32_t function) {
  return function >= kFunctionColorGain && function <= kFunctionNR;
}

// Vendor codes (command set 0x0001) used outside the function table.
inline constexpr uint8_t kCodeRangeQuery = 0x21;       // STATUS [code, min, max, default]
inline constexpr uint8_t kCodeCapabilityInquiry = 0xF0;  // STATUS [probed code]

// ---- Read-back timing ----------------------------------------------------
// After an accepted one-byte write the camera is given kReadBackPauseMs, then
// read back without pause until it answers the written byte or
// kReadBackWindowMs have passed since the pause ended.
inline constexpr uint32_t kReadBackPauseMs = 32;
inline constexpr uint32_t kReadBackWindowMs = 64;

// The pause and the millisecond tick of the read-back. Tests substitute their
// own to count pauses instead of waiting; a null member restores the real one
// (a thread sleep and the monotonic clock). Process-wide.
struct ReadBackTiming {
  void (*sleep)(uint32_t milliseconds) = nullptr;
  uint64_t (*tickMs)() = nullptr;
};
void SetReadBackTiming(const ReadBackTiming& timing) noexcept;

// ---- Operations ----------------------------------------------------------

// The object's state as the camera operations see it: CAM_E_REMOVED after a
// removal, CAM_E_NOT_CONNECTED with no camera or no channel, otherwise S_OK.
// The caller holds the object lock.
HRESULT CheckConnection(const CameraState& state) noexcept;

// One-byte write followed by read-back (selector Control), or a plain one-byte
// read (selector Status, the answer lands in `cell`). The write's result is the
// result: a read-back that never matches within the window still leaves S_OK.
// CAM_E_NOT_CONNECTED without a channel, also when it goes during the read-back.
HRESULT WriteVerified(CameraState& state, uint8_t code, uint8_t& cell, Ctype ctype);

// Writes one setting. Functions 9, 10, 14 and numbers outside 1..34 give
// CAM_E_NOT_SUPPORTED; a value outside the function's accepted set gives
// CAM_E_OUT_OF_RANGE (functions 12, 20-28) or E_INVALIDARG (all others),
// both before any lock and without sending anything.
HRESULT SetStatus(CameraState& state, int32_t function, int32_t value);

// Reads one setting into *value (written only on success). E_POINTER for a
// null pointer before anything else; CAM_E_NOT_SUPPORTED for 6, 9, 10 and
// numbers outside 1..34.
HRESULT GetStatus(CameraState& state, int32_t function, LONG* value);

// Asks the camera for a setting's minimum, maximum and default (each written
// only on success, zero-extended). Only functions 2, 12, 13, 20-28, 30 and 34
// have a range; the others give CAM_E_NOT_SUPPORTED.
HRESULT GetRange(CameraState& state, int32_t function, LONG* minValue, LONG* maxValue,
                 LONG* defValue);

// The capability mask, handed out only while the camera is in camera mode
// (CAM_E_REJECTED otherwise; a failed mode query is the result).
HRESULT GetCapability(CameraState& state, LONG* capability);

// Asks the camera, code by code, which commands it implements and fills the
// capability mask. Run once right after a successful attachment. Does
// nothing without a channel.
void ProbeCapabilities(CameraState& state);

}  // namespace camctl::settings
