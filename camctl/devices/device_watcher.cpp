#include "camctl/devices/device_watcher.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "camctl/channel/attachment.h"
#include "camctl/devices/device_walker.h"

namespace camctl {

DeviceWatcher::~DeviceWatcher() {
  {
    std::lock_guard<std::mutex> hold(target->mutex);
    target->state = nullptr;
  }
  subscription.reset();
}

namespace {

// Takes the target's object lock, or gives up once the watcher has stopped.
// The lock is only tried, so a thread that holds it while stopping the watcher
// (and waiting for this notice to end) is never waited for in turn.
CameraState* LockTarget(WatchTarget& target) {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(target.mutex);
      if (target.state == nullptr) return nullptr;
      if (target.state->lock.try_lock()) return target.state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void OnRemoval(const std::shared_ptr<WatchTarget>& target, platform::ComStringView path) {
  CameraState* state = LockTarget(*target);
  if (state == nullptr) return;
  std::lock_guard<ObjectLock> hold(state->lock, std::adopt_lock);
  CheckRemoval(*state, path);
}

HRESULT StartHook(CameraState& state) { return StartDeviceWatcher(state); }
void StopHook(CameraState& state) { StopDeviceWatcher(state); }

}  // namespace

void InstallDeviceWatcher() noexcept { SetDeviceWatcherHooks({&StartHook, &StopHook}); }

HRESULT StartDeviceWatcher(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.watcher) return E_FAIL;
  auto watcher = std::make_unique<DeviceWatcher>();
  watcher->target->state = &state;
  watcher->subscription = platform::SubscribeRemovalNotices(
      [target = watcher->target](platform::ComStringView path) { OnRemoval(target, path); });
  if (!watcher->subscription) return S_OK;  // no removal detection, silently
  state.watcher = std::move(watcher);
  return S_OK;
}

void StopDeviceWatcher(CameraState& state) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (!state.watcher) return;
  // Moved out first: ending the subscription may run inside its own notice,
  // which is inside this object's RemoveDevice.
  std::unique_ptr<DeviceWatcher> watcher = std::move(state.watcher);
  watcher.reset();
}

void CheckRemoval(CameraState& state, platform::ComStringView removedPath) {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.selectedDevicePath.empty() || !EqualIgnoringCase(removedPath, state.selectedDevicePath)) return;
  if (state.removeDevice) state.removeDevice();
  state.connection = ConnectionState::Removed;
}

}  // namespace camctl
