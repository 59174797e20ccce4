// Finding the supported camcorders and binding a camera object to one:
// the bodies of the enumeration interface's methods.
#pragma once

#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl {

// At most this many identifiers are listed; the list always has this many
// elements (those after the last identifier are null strings).
inline constexpr LONG kMaxListedDevices = 10;
// Attempts of the slot count while the storage answers busy.
inline constexpr int kSlotCountAttempts = 5;
// More slots than this are not addressable.
inline constexpr int32_t kMaxPresetSlots = 99;
// Vendor command (set 0x0001) asked at selection: does the camera offer presets.
inline constexpr uint8_t kCodePresetAvailable = 0x73;

// Lists the identifiers of the supported cameras (identification query per
// device) under the camera mutex and then the object lock, both without
// limit. S_OK with at least one; S_FALSE with none (count 0, no list) or when
// no device could be listed (both out-values untouched).
HRESULT EnumerateDevices(CameraState& state, SAFEARRAY** list, LONG* count);

// Binds the object to the device with that identifier: the command channel,
// the capability inquiry, the storage channel found by the camera's unique id,
// the slot count and the preset availability. Nothing is rolled back on a
// failure after the channel was attached.
HRESULT SelectDevice(CameraState& state, BSTR device);

// Closes and destroys the storage channel, if any.
void CloseStorageChannel(CameraState& state);

// Describes a listed device by its identifier, attached or not; takes no lock
// and sends nothing. Out-pointers may be null; each one given is set to a
// null string first and filled only with a non-empty value.
HRESULT GetDeviceInfo(BSTR device, BSTR* friendlyName, BSTR* devicePath, BSTR* modelName);

}  // namespace camctl
