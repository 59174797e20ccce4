// Removal notices of video capture device interfaces: a hidden window
// registered for KSCATEGORY_CAPTURE notifications on Windows; the virtual
// camcorder's unplugging on Linux.
#pragma once

#include <functional>
#include <memory>

#include "platform/com.h"

namespace platform {

// Called once per removed capture device interface, with its device path in
// the form of VideoInputDevice::DevicePath (compare ignoring case). It runs on
// the subscription's own notice thread, never inside a caller's exchange, and
// may take the caller's locks.
using RemovalCallback = std::function<void(ComStringView devicePath)>;

class RemovalSubscription {
 public:
  // Ends the subscription; waits for a callback in progress on another
  // thread. Destroying it from inside its own callback does not wait.
  virtual ~RemovalSubscription() = default;
};

// Starts delivering removal notices to the callback; null when notices
// cannot be obtained (the caller then works without removal detection).
std::unique_ptr<RemovalSubscription> SubscribeRemovalNotices(RemovalCallback callback);

}  // namespace platform
