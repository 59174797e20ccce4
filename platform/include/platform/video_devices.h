// The video input devices of the machine as device enumeration sees them: the
// DirectShow video input category on Windows, the virtual camcorder's plugged
// cameras on Linux.
#pragma once

#include <memory>
#include <vector>

#include "platform/avc_transport.h"
#include "platform/com.h"

namespace platform {

// One device of the video input category. Its strings are read when the list
// is made; a property that cannot be read is empty.
class VideoInputDevice {
 public:
  virtual ~VideoInputDevice() = default;
  // "FriendlyName" of the device's property bag.
  virtual ComString FriendlyName() const = 0;
  // "DevicePath": '#'-separated fields (bus prefix, maker&model&..., unique
  // id, interface class).
  virtual ComString DevicePath() const = 0;
  // The friendly name the device manager keeps for the device.
  virtual ComString PnpFriendlyName() const = 0;
  // Binds the device to its capture filter; null when the device cannot be
  // bound (for instance it was unplugged since the list was made).
  virtual std::shared_ptr<CaptureDevice> Bind() = 0;
};

// Lists the video input devices in the category's order. S_OK with at least
// one device, S_FALSE when the category is empty (the list is then empty), a
// failure when the enumerator cannot be created.
HRESULT ListVideoInputDevices(std::vector<std::unique_ptr<VideoInputDevice>>& devices);

}  // namespace platform
