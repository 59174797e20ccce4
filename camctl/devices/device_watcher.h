// The device watcher: while a camera is attached, removal notices of video
// capture device interfaces are watched; when the selected camera's notice
// comes, the object releases the camera with its own RemoveDevice and marks
// itself removed (connection state 2), all under the object lock.
//
// A notice waits for the object lock only while the watcher still runs: a
// thread that holds the lock and stops the watcher (RemoveDevice) never waits
// for a notice that waits for it.
#pragma once

#include <memory>
#include <mutex>

#include "camctl/object/camera_state.h"
#include "platform/com.h"
#include "platform/device_notices.h"

namespace camctl {

// The object a subscription's notices are for; cleared when the watcher ends,
// so a notice still on its way leaves the object alone.
struct WatchTarget {
  std::mutex mutex;
  CameraState* state = nullptr;
};

struct DeviceWatcher {
  DeviceWatcher() = default;
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;
  // Detaches the target before the subscription ends.
  ~DeviceWatcher();

  std::shared_ptr<WatchTarget> target = std::make_shared<WatchTarget>();
  std::unique_ptr<platform::RemovalSubscription> subscription;
};

// Installs the watcher as the attachment's start and stop hooks (process-wide).
void InstallDeviceWatcher() noexcept;

// E_FAIL when the object has a watcher already; otherwise S_OK, also when no
// notices can be had (the object then works without removal detection).
// Called with the object lock held.
HRESULT StartDeviceWatcher(CameraState& state);
// Does nothing without a watcher. Called with the object lock held.
void StopDeviceWatcher(CameraState& state);

// The removal check of one notice, under the object lock: when the removed
// interface's path equals the selected device path (ignoring case), the
// object's RemoveDevice runs and the connection state becomes 2.
void CheckRemoval(CameraState& state, platform::ComStringView removedPath);

}  // namespace camctl
