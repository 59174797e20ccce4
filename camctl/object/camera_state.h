// The state of one camera control object, shared by the modules that implement
// its interfaces. Every field is guarded by `lock` (the object lock), which is
// recursive so that an operation may call another operation of the same object,
// and first come, first served so that no thread is kept out by another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "camctl/object/object_lock.h"
#include "platform/com.h"
#include "platform/named_mutex.h"

namespace storage {
class StorageChannel;
}  // namespace storage

namespace camctl {

class CommandChannel;
class PreviewGraph;
struct DeviceWatcher;

enum class ConnectionState : int32_t { NoCamera = 0, Attached = 1, Removed = 2 };

struct CameraState {
  CameraState();
  ~CameraState();
  CameraState(const CameraState&) = delete;
  CameraState& operator=(const CameraState&) = delete;

  ObjectLock lock;  // the object lock, always waited for without limit
  std::unique_ptr<platform::NamedMutex> cameraMutex;  // this object's handle on the camera mutex

  std::unique_ptr<CommandChannel> commandChannel;
  std::unique_ptr<storage::StorageChannel> storageChannel;  // open while a camera's storage is selected
  std::shared_ptr<PreviewGraph> previewGraph;  // the selected camera's preview

  platform::ComString selectedUniqueId;
  platform::ComString selectedDevicePath;
  int32_t presetState = -1;  // -1 none, -2 answered other than 1, 0 answered 1
  int32_t presetCount = 0;   // 0..99
  uint32_t capabilityMask = 0;
  ConnectionState connection = ConnectionState::NoCamera;
  // Set at selection when the camera is a model whose picture writes first
  // re-apply preset 0; read without the object lock, so a write refused for
  // its value never waits for the lock on any other model.
  std::atomic<bool> reapplyPresetZero{false};

  std::unique_ptr<DeviceWatcher> watcher;  // while a camera is attached
  // The object's own RemoveDevice, which a removal notice runs.
  std::function<HRESULT()> removeDevice;
};

}  // namespace camctl
