// The application's only way to the camera: one CameraControl object at a
// time, the device list of its last enumeration, and small operations that
// each make one call on one of the object's interfaces (obtained by its
// interface identifier for that call and released again).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/access/com_ptr.h"
#include "app/access/operation_lock.h"
#include "platform/com.h"

namespace presets {

// Creates a new CameraControl object and hands out its IUnknown. The
// application's factory goes through COM by the class identifier; tests give
// their own.
using CameraObjectFactory = std::function<HRESULT(IUnknown** object)>;
CameraObjectFactory ComCameraObjectFactory();

// How SelectPresetAndWait waits while the camera reports state 1.
struct PresetStateWait {
  std::chrono::milliseconds pause{10};
  int maxQueries = 500;  // about five seconds: well past the two-second settle window
  std::function<void(std::chrono::milliseconds)> sleep;  // null: the thread sleeps
};

struct CameraDescription {
  platform::ComString friendlyName;
  platform::ComString devicePath;
  platform::ComString modelName;
};

class CameraAccess {
 public:
  explicit CameraAccess(CameraObjectFactory factory, PresetStateWait wait = {},
                        std::chrono::milliseconds operationLockWait = kOperationLockWait);
  ~CameraAccess();
  CameraAccess(const CameraAccess&) = delete;
  CameraAccess& operator=(const CameraAccess&) = delete;

  // A new object replaces the current one, then EnumerateDevice. The count is
  // zero unless the library wrote one.
  HRESULT EnumerateCameras(LONG& count);
  // SelectDevice with the last identifier of the list; E_FAIL when the list
  // does not hold it.
  HRESULT SelectLastCamera();
  // A new object replaces the current one; RemoveDevice on the new one.
  HRESULT ReleaseCamera();
  HRESULT RemoveCamera();
  HRESULT QueryPresetState(LONG& state);
  // SelectPreset, then GetPresetState until it answers 0, with a pause
  // between queries. CAM_E_BUSY when the camera still answers 1 after the
  // last query; E_FAIL when it answers any state other than 0 or 1 (then
  // `state` holds it).
  HRESULT SelectPresetAndWait(LONG slot, LONG& state);
  HRESULT RegisterPresetSlot(LONG slot, platform::ComStringView name);
  HRESULT ResetPresetSlot(LONG slot);
  HRESULT QueryAccessPermission(LONG slot, LONG& permission);
  HRESULT ApplyAccessPermission(LONG slot, LONG permission);
  HRESULT QueryPresetName(LONG slot, platform::ComString& name);
  HRESULT WriteSetting(LONG function, LONG value);
  HRESULT ReadSetting(LONG function, LONG& value);

  // One camera operation from its first call to its last: the operation locks
  // taken meanwhile are held until the outermost scope ends. Scopes nest, so
  // a command made of several operations holds the camera throughout.
  class OperationScope {
   public:
    explicit OperationScope(CameraAccess& access) : access_(access) { ++access_.operationDepth_; }
    ~OperationScope() {
      if (--access_.operationDepth_ == 0) access_.locks_.ReleaseAll();
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

   private:
    CameraAccess& access_;
  };
  // Takes the operation lock of the camera SelectLastCamera would select
  // (nothing to take when the list does not hold it: the selection fails).
  LockOutcome LockLastCamera();
  // Gives the operation's locks back early: the operation makes no more calls.
  void ReleaseOperationLocks() { locks_.ReleaseAll(); }

  // Used by the command line only.
  HRESULT DescribeCamera(platform::ComStringView identifier, CameraDescription& description);
  HRESULT ExportPresetFile(LONG slot, platform::ComStringView path, bool overwrite);
  HRESULT ImportPresetFile(LONG slot, platform::ComStringView path);

  const std::vector<platform::ComString>& DeviceList() const { return deviceList_; }
  LONG DeviceCount() const { return deviceCount_; }
  bool HasObject() const { return static_cast<bool>(object_); }

 private:
  HRESULT ReplaceObject();
  template <class I, class Call>
  HRESULT With(const IID& iid, Call call);

  CameraObjectFactory factory_;
  PresetStateWait wait_;
  ComPtr<IUnknown> object_;  // the one reference this layer holds
  std::vector<platform::ComString> deviceList_;
  LONG deviceCount_ = 0;
  OperationLocks locks_;
  int operationDepth_ = 0;
};

}  // namespace presets
