// Where device enumeration and selection find their devices: the platform's
// video input devices, imaging-service devices and registry, and the storage
// channel's environment. Tests install their own sources for the process.
#pragma once

#include <memory>
#include <vector>

#include "platform/com.h"
#include "platform/imaging_devices.h"
#include "platform/video_devices.h"
#include "storage/storage_channel.h"

namespace camctl {

struct DeviceSources {
  HRESULT (*listVideoInputDevices)(std::vector<std::unique_ptr<platform::VideoInputDevice>>& devices) = nullptr;
  HRESULT (*listImagingDevices)(std::vector<platform::ImagingDevice>& devices) = nullptr;
  // The "DevSymLink" value of an imaging device's class key.
  HRESULT (*readDevSymLink)(platform::ComStringView deviceId, platform::ComString& link) = nullptr;
  // Handed to every storage channel that selection opens.
  storage::StorageChannelEnvironment storage;
};

// Replaces the sources of the process; a null member means the platform's own.
// Passing a default-constructed value restores the platform throughout.
void SetDeviceSources(const DeviceSources& sources);
// The sources in force, with every null member filled with the platform's own.
DeviceSources CurrentDeviceSources();

}  // namespace camctl
