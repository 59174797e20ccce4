#include "camctl/object/camera_control.h"

#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/devices/device_selection.h"
#include "camctl/devices/device_watcher.h"
#include "camctl/object/module_state.h"
#include "camctl/presets/preset_slots.h"
#include "camctl/presets/preset_transfer.h"
#include "camctl/preview/preview_control.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/device_modes.h"
#include "platform/module.h"
#include "storage/storage_channel.h"

namespace camctl {
namespace {

// Nothing may escape a COM method as an exception.
template <class F>
HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

CameraState::CameraState()
    : cameraMutex(platform::OpenNamedMutex(kCameraMutexName)),
      selectedUniqueId(),
      selectedDevicePath() {}

CameraState::~CameraState() = default;

CameraControl::CameraControl(IUnknown* outer) : outer_(outer) {
  // A stale diagnostic log of an earlier run is removed; failing to is harmless.
  platform::DeleteDiagnosticLog();
  state_.removeDevice = [this] { return RemoveDevice(); };
  InstallDeviceWatcher();
  LockModule();
}

CameraControl::~CameraControl() = default;

HRESULT CameraControl::Create(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  std::unique_ptr<CameraControl> object;
  try {
    object.reset(new (std::nothrow) CameraControl(outer));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (!object) return E_OUTOFMEMORY;
  // The aggregating caller gets the non-delegating IUnknown; a plain caller
  // goes through the interface table.
  const HRESULT hr = outer ? object->inner_.QueryInterface(riid, ppv)
                           : object->InternalQueryInterface(riid, ppv);
  if (FAILED(hr)) {
    object.release()->Destroy();
    return hr;
  }
  object.release();  // owned by its reference count from here on
  return hr;
}

HRESULT CameraControl::InternalQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualGUID(riid, IID_IUnknown)) {
    if (outer_) {
      *ppv = static_cast<IUnknown*>(&inner_);
      InternalAddRef();
      return S_OK;
    }
    *ppv = static_cast<ICDVCameraControl*>(this);
  } else if (IsEqualGUID(riid, IID_ICDVCameraControl)) {
    *ppv = static_cast<ICDVCameraControl*>(this);
  } else if (IsEqualGUID(riid, IID_ICDVPresetControl)) {
    *ppv = static_cast<ICDVPresetControl*>(this);
  } else if (IsEqualGUID(riid, IID_ICDVEnumDevice)) {
    *ppv = static_cast<ICDVEnumDevice*>(this);
  } else if (IsEqualGUID(riid, IID_ICDVDeviceControl)) {
    *ppv = static_cast<ICDVDeviceControl*>(this);
  } else if (IsEqualGUID(riid, IID_ICDVPreviewControl)) {
    *ppv = static_cast<ICDVPreviewControl*>(this);
  } else {
    return E_NOINTERFACE;
  }
  // Interfaces of an aggregated object count on the outer object.
  static_cast<IUnknown*>(static_cast<ICDVCameraControl*>(this))->AddRef();
  return S_OK;
}

ULONG CameraControl::InternalAddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG CameraControl::InternalRelease() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) Destroy();
  return left;
}

void CameraControl::Destroy() {
  // Calls made during teardown must not start a second destruction.
  refs_.store(1, std::memory_order_relaxed);
  RemoveDevice();
  std::unique_ptr<CameraControl>{this}.reset();
  // Last: until the object is gone the module must not be reported unloadable,
  // or the library could be unloaded under this very call.
  UnlockModule();
}

HRESULT CameraControl::QueryInterface(REFIID riid, void** ppv) {
  return outer_ ? outer_->QueryInterface(riid, ppv) : InternalQueryInterface(riid, ppv);
}
ULONG CameraControl::AddRef() { return outer_ ? outer_->AddRef() : InternalAddRef(); }
ULONG CameraControl::Release() { return outer_ ? outer_->Release() : InternalRelease(); }

HRESULT CameraControl::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  return owner_.InternalQueryInterface(riid, ppv);
}
ULONG CameraControl::InnerUnknown::AddRef() { return owner_.InternalAddRef(); }
ULONG CameraControl::InnerUnknown::Release() { return owner_.InternalRelease(); }

// ICDVCameraControl
HRESULT CameraControl::GetCapability(LONG* pCapability) {
  return Guarded([&] { return settings::GetCapability(state_, pCapability); });
}
HRESULT CameraControl::SetStatus(LONG Function, LONG Value) {
  return Guarded([&] { return settings::SetStatus(state_, Function, Value); });
}
HRESULT CameraControl::GetStatus(LONG Function, LONG* pValue) {
  return Guarded([&] { return settings::GetStatus(state_, Function, pValue); });
}
HRESULT CameraControl::GetRange(LONG Function, LONG* pnMinValue, LONG* pnMaxValue, LONG* pnDefValue) {
  return Guarded([&] { return settings::GetRange(state_, Function, pnMinValue, pnMaxValue, pnDefValue); });
}

// ICDVPresetControl
HRESULT CameraControl::GetPresetCount(LONG* pnPresetCount) {
  return Guarded([&] { return camctl::GetPresetCount(state_, pnPresetCount); });
}
HRESULT CameraControl::GetPresetState(LONG* plPresetState) {
  return Guarded([&] { return camctl::GetPresetState(state_, plPresetState); });
}
HRESULT CameraControl::SelectPreset(LONG nPresetNumber) {
  return Guarded([&] { return camctl::SelectPreset(state_, nPresetNumber); });
}
HRESULT CameraControl::RegisterPreset(LONG nPresetNumber, BSTR bstrName) {
  return Guarded([&] { return camctl::RegisterPreset(state_, nPresetNumber, bstrName); });
}
HRESULT CameraControl::ResetPreset(LONG nPresetNumber) {
  return Guarded([&] { return camctl::ResetPreset(state_, nPresetNumber); });
}
HRESULT CameraControl::GetAccessPermission(LONG nPresetNumber, LONG* pPermission) {
  return Guarded([&] { return camctl::GetAccessPermission(state_, nPresetNumber, pPermission); });
}
HRESULT CameraControl::SetAccessPermission(LONG nPresetNumber, LONG Permission) {
  return Guarded([&] { return camctl::SetAccessPermission(state_, nPresetNumber, Permission); });
}
HRESULT CameraControl::GetPresetName(LONG nPresetNumber, BSTR* pbstrPresetName) {
  return Guarded([&] { return camctl::GetPresetName(state_, nPresetNumber, pbstrPresetName); });
}
HRESULT CameraControl::SetPresetName(LONG nPresetNumber, BSTR bstrName) {
  return Guarded([&] { return camctl::SetPresetName(state_, nPresetNumber, bstrName); });
}
HRESULT CameraControl::ExportPreset(LONG nPresetNumber, BSTR bstrFilePath, LONG OverWriteFlag) {
  return Guarded([&] { return camctl::ExportPreset(state_, nPresetNumber, bstrFilePath, OverWriteFlag); });
}
HRESULT CameraControl::ImportPreset(LONG nPresetNumber, BSTR bstrFilePath) {
  return Guarded([&] { return camctl::ImportPreset(state_, nPresetNumber, bstrFilePath); });
}

// ICDVEnumDevice
HRESULT CameraControl::EnumerateDevice(SAFEARRAY** ppsaDevList, LONG* pnDevCount) {
  return Guarded([&] { return EnumerateDevices(state_, ppsaDevList, pnDevCount); });
}
HRESULT CameraControl::SelectDevice(BSTR bstrDevice) {
  return Guarded([&] { return camctl::SelectDevice(state_, bstrDevice); });
}

HRESULT CameraControl::RemoveDevice() {
  return Guarded([&] {
    std::lock_guard lock(state_.lock);
    state_.selectedUniqueId.clear();
    state_.selectedDevicePath.clear();
    DestroyPreview(state_);
    DetachTransport(state_);
    CloseStorageChannel(state_);
    state_.capabilityMask = 0;
    state_.presetState = -1;
    state_.connection = ConnectionState::NoCamera;
    return S_OK;
  });
}

HRESULT CameraControl::GetDeviceInfo(BSTR bstrDevice, BSTR* pbstrFriendlyName, BSTR* pbstrDevicePath,
                                     BSTR* pbstrModelName) {
  return Guarded([&] {
    return camctl::GetDeviceInfo(bstrDevice, pbstrFriendlyName, pbstrDevicePath, pbstrModelName);
  });
}

// ICDVDeviceControl
HRESULT CameraControl::SetCVMode(LONG CVMode) {
  return Guarded([&] { return settings::SetCVMode(state_, CVMode); });
}
HRESULT CameraControl::GetCVMode(LONG* pCVMode, LONG* pEmergencyState) {
  return Guarded([&] { return settings::GetCVMode(state_, pCVMode, pEmergencyState); });
}
HRESULT CameraControl::SetEvfDisplay(LONG EvfDisplayState) {
  return Guarded([&] { return settings::SetEvfDisplay(state_, EvfDisplayState); });
}
HRESULT CameraControl::GetEvfDisplay(LONG* pEvfDisplayState) {
  return Guarded([&] { return settings::GetEvfDisplay(state_, pEvfDisplayState); });
}
HRESULT CameraControl::SetColorBars(LONG ColorBarsState) {
  return Guarded([&] { return settings::SetColorBars(state_, ColorBarsState); });
}
HRESULT CameraControl::GetColorBars(LONG* pColorBarsState) {
  return Guarded([&] { return settings::GetColorBars(state_, pColorBarsState); });
}

// ICDVPreviewControl
HRESULT CameraControl::SetOwner(LONG hwndOwner) {
  return Guarded([&] { return SetPreviewOwner(state_, hwndOwner); });
}
HRESULT CameraControl::StartPreview() {
  return Guarded([&] { return camctl::StartPreview(state_); });
}
HRESULT CameraControl::StopPreview() {
  return Guarded([&] { return camctl::StopPreview(state_); });
}
HRESULT CameraControl::SetVisible(LONG lValue) {
  return Guarded([&] { return SetPreviewVisible(state_, lValue); });
}
HRESULT CameraControl::MoveWindow(LONG Left, LONG Top, LONG Width, LONG Height) {
  return Guarded([&] { return MovePreview(state_, Left, Top, Width, Height); });
}

}  // namespace camctl
