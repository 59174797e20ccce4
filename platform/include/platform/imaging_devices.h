// The imaging-service device list and the registry link from a device to its
// storage driver: the WIA device manager and the device class keys on
// Windows; the virtual camcorder and the host registry store on Linux.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/com.h"
#include "platform/registry.h"

namespace platform {

struct ImagingDevice {
  // WIA_DIP_DEV_TYPE: main type in the high 16 bits (2 = digital camera).
  uint32_t type = 0;
  // WIA_DIP_DEV_ID: the device's class key name and instance, for example
  // "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\0001".
  ComString deviceId;
};

inline constexpr uint32_t kImagingMainTypeCamera = 2;

// Lists the local imaging-service devices. S_OK (the list may be empty) or a
// failure when the device manager cannot be created. On Linux, listing also
// keeps each camera's "DevSymLink" in the registry store up to date.
HRESULT ListImagingDevices(std::vector<ImagingDevice>& devices);

// The device class key below HKEY_LOCAL_MACHINE that holds a device's values.
inline ComString DeviceClassKey(ComStringView deviceId) {
  ComString key = Utf8ToCom("SYSTEM\\CurrentControlSet\\Control\\Class\\");
  key.append(deviceId);
  return key;
}

// Reads the "DevSymLink" value of a device's class key (the storage driver's
// link, "\??\..." form). HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the key
// or value is missing.
inline HRESULT ReadDevSymLink(ComStringView deviceId, ComString& link) {
  return registry::GetString(registry::Root::LocalMachine, DeviceClassKey(deviceId), Utf8ToCom("DevSymLink"), link);
}

}  // namespace platform
