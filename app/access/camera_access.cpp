#include "app/access/camera_access.h"

#include <thread>
#include <utility>

#include "camctl/common/results.h"
#include "camctl/object/interfaces.h"

namespace presets {

CameraObjectFactory ComCameraObjectFactory() {
  return [](IUnknown** object) {
    return ::CoCreateInstance(CLSID_CameraControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(object));
  };
}

CameraAccess::CameraAccess(CameraObjectFactory factory, PresetStateWait wait,
                           std::chrono::milliseconds operationLockWait)
    : factory_(std::move(factory)), wait_(std::move(wait)), locks_(operationLockWait) {}

CameraAccess::~CameraAccess() = default;

HRESULT CameraAccess::ReplaceObject() {
  ComPtr<IUnknown> created;
  HRESULT hr = factory_ ? factory_(created.Out()) : E_FAIL;
  if (SUCCEEDED(hr) && !created) hr = E_POINTER;
  // The previous object goes in any case, as an assignment of a failed
  // creation would release it.
  object_ = std::move(created);
  return FAILED(hr) ? hr : S_OK;
}

template <class I, class Call>
HRESULT CameraAccess::With(const IID& iid, Call call) {
  if (!object_) return camctl::CAM_E_NOT_CONNECTED;
  ComPtr<I> itf;
  HRESULT hr = object_->QueryInterface(iid, itf.OutVoid());
  if (FAILED(hr)) return hr;
  if (!itf) return E_NOINTERFACE;
  return call(itf.Get());
}

HRESULT CameraAccess::EnumerateCameras(LONG& count) {
  count = 0;
  deviceList_.clear();
  deviceCount_ = 0;
  HRESULT hr = ReplaceObject();
  if (FAILED(hr)) return hr;
  return With<ICDVEnumDevice>(IID_ICDVEnumDevice, [&](ICDVEnumDevice* devices) {
    SAFEARRAY* list = nullptr;
    LONG found = 0;  // reset before every call: S_FALSE may leave it unwritten
    const HRESULT result = devices->EnumerateDevice(&list, &found);
    if (SUCCEEDED(result) && list) {
      LONG lower = 0, upper = -1;
      if (::SafeArrayGetDim(list) == 1 && SUCCEEDED(::SafeArrayGetLBound(list, 1, &lower)) &&
          SUCCEEDED(::SafeArrayGetUBound(list, 1, &upper))) {
        for (LONG i = lower; i <= upper; ++i) {
          BSTR item = nullptr;
          if (FAILED(::SafeArrayGetElement(list, &i, &item))) break;
          deviceList_.emplace_back(item ? platform::ComString(item, ::SysStringLen(item)) : platform::ComString());
          ::SysFreeString(item);
        }
      }
    }
    if (list) ::SafeArrayDestroy(list);
    if (FAILED(result)) return result;
    deviceCount_ = found;
    count = found;
    return result;
  });
}

LockOutcome CameraAccess::LockLastCamera() {
  if (deviceCount_ < 1 || static_cast<size_t>(deviceCount_) > deviceList_.size()) return LockOutcome::Held;
  return locks_.Acquire(platform::ComToUtf8(deviceList_[static_cast<size_t>(deviceCount_) - 1]));
}

HRESULT CameraAccess::SelectLastCamera() {
  if (deviceCount_ < 1 || static_cast<size_t>(deviceCount_) > deviceList_.size()) return E_FAIL;
  return With<ICDVEnumDevice>(IID_ICDVEnumDevice, [&](ICDVEnumDevice* devices) {
    ComBstr identifier(deviceList_[static_cast<size_t>(deviceCount_) - 1]);
    return devices->SelectDevice(identifier.Get());
  });
}

HRESULT CameraAccess::ReleaseCamera() {
  const HRESULT hr = ReplaceObject();
  if (FAILED(hr)) return hr;
  return With<ICDVEnumDevice>(IID_ICDVEnumDevice, [](ICDVEnumDevice* devices) { return devices->RemoveDevice(); });
}

HRESULT CameraAccess::RemoveCamera() {
  return With<ICDVEnumDevice>(IID_ICDVEnumDevice, [](ICDVEnumDevice* devices) { return devices->RemoveDevice(); });
}

HRESULT CameraAccess::QueryPresetState(LONG& state) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl,
                                 [&](ICDVPresetControl* presets) { return presets->GetPresetState(&state); });
}

HRESULT CameraAccess::SelectPresetAndWait(LONG slot, LONG& state) {
  HRESULT hr = With<ICDVPresetControl>(IID_ICDVPresetControl,
                                       [&](ICDVPresetControl* presets) { return presets->SelectPreset(slot); });
  if (FAILED(hr)) return hr;
  for (int query = 0; query < wait_.maxQueries; ++query) {
    if (query > 0) {
      if (wait_.sleep)
        wait_.sleep(wait_.pause);
      else
        std::this_thread::sleep_for(wait_.pause);
    }
    state = -1;
    hr = QueryPresetState(state);
    if (FAILED(hr)) return hr;
    if (state == 0) return S_OK;
    // The negative states do not change while the camera stays selected.
    if (state != 1) return E_FAIL;
  }
  return camctl::CAM_E_BUSY;
}

HRESULT CameraAccess::RegisterPresetSlot(LONG slot, platform::ComStringView name) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    ComBstr text(name);
    return presets->RegisterPreset(slot, text.Get());
  });
}

HRESULT CameraAccess::ResetPresetSlot(LONG slot) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl,
                                 [&](ICDVPresetControl* presets) { return presets->ResetPreset(slot); });
}

HRESULT CameraAccess::QueryAccessPermission(LONG slot, LONG& permission) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    return presets->GetAccessPermission(slot, &permission);
  });
}

HRESULT CameraAccess::ApplyAccessPermission(LONG slot, LONG permission) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    return presets->SetAccessPermission(slot, permission);
  });
}

HRESULT CameraAccess::QueryPresetName(LONG slot, platform::ComString& name) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    ComBstr text;
    const HRESULT hr = presets->GetPresetName(slot, text.Out());
    if (SUCCEEDED(hr)) name = text.Text();
    return hr;
  });
}

HRESULT CameraAccess::WriteSetting(LONG function, LONG value) {
  return With<ICDVCameraControl>(IID_ICDVCameraControl,
                                 [&](ICDVCameraControl* camera) { return camera->SetStatus(function, value); });
}

HRESULT CameraAccess::ReadSetting(LONG function, LONG& value) {
  return With<ICDVCameraControl>(IID_ICDVCameraControl,
                                 [&](ICDVCameraControl* camera) { return camera->GetStatus(function, &value); });
}

HRESULT CameraAccess::DescribeCamera(platform::ComStringView identifier, CameraDescription& description) {
  return With<ICDVEnumDevice>(IID_ICDVEnumDevice, [&](ICDVEnumDevice* devices) {
    ComBstr device(identifier), friendly, path, model;
    const HRESULT hr = devices->GetDeviceInfo(device.Get(), friendly.Out(), path.Out(), model.Out());
    if (SUCCEEDED(hr)) description = {friendly.Text(), path.Text(), model.Text()};
    return hr;
  });
}

HRESULT CameraAccess::ExportPresetFile(LONG slot, platform::ComStringView path, bool overwrite) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    ComBstr file(path);
    return presets->ExportPreset(slot, file.Get(), overwrite ? 1 : 0);
  });
}

HRESULT CameraAccess::ImportPresetFile(LONG slot, platform::ComStringView path) {
  return With<ICDVPresetControl>(IID_ICDVPresetControl, [&](ICDVPresetControl* presets) {
    ComBstr file(path);
    return presets->ImportPreset(slot, file.Get());
  });
}

}  // namespace presets
