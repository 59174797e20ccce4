// The common prologue of the preset methods that talk to the camera, shared
// by the slot methods and the preset file transfers.
#pragma once

#include <mutex>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_state.h"
#include "platform/com.h"

namespace camctl {

// The channel a method talks through.
enum class Needs { Commands, Storage };
// Slot 0 is passed to the camera by the reset and permission-read commands only.
enum class Slots { FromOne, FromZero };

// The common prologue of the methods that talk to the camera: object lock
// (no limit), camera mutex (300 ms), connection state, needed channel, slot
// range. Both locks are released when it goes out of scope.
class Prologue {
 public:
  explicit Prologue(CameraState& state) : state_(state), object_(state.lock) {}
  ~Prologue() {
    if (mutexHeld_) state_.cameraMutex->Unlock();
  }
  Prologue(const Prologue&) = delete;
  Prologue& operator=(const Prologue&) = delete;

  HRESULT Enter(Needs needs, LONG slot, Slots slots) {
    if (!state_.cameraMutex || !platform::Owns(state_.cameraMutex->Lock(kCameraMutexWaitMs)))
      return CAM_E_LOCK_TIMEOUT;
    mutexHeld_ = true;
    if (state_.connection == ConnectionState::Removed) return CAM_E_REMOVED;
    if (state_.connection != ConnectionState::Attached) return CAM_E_NOT_CONNECTED;
    const bool haveChannel = needs == Needs::Commands ? state_.commandChannel != nullptr
                                                      : state_.storageChannel != nullptr;
    if (!haveChannel) return CAM_E_NOT_CONNECTED;
    const LONG lowest = slots == Slots::FromZero ? 0 : 1;
    if (slot < lowest || slot > state_.presetCount) return E_INVALIDARG;
    return S_OK;
  }

 private:
  CameraState& state_;
  std::unique_lock<ObjectLock> object_;
  bool mutexHeld_ = false;
};

}  // namespace camctl
