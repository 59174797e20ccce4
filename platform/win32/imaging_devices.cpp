// The imaging-service (WIA) devices of the machine: the device manager, an
// out-of-process server, lists the local devices with their type and id.
#include "platform/imaging_devices.h"

#include <propidl.h>
#include <wia.h>

#include "com_ref.h"

namespace platform {
namespace {

using win32::ComRef;

constexpr CLSID kClsidWiaDevMgr = {0xA1F4E726, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
constexpr IID kIidWiaDevMgr = {0x5EB2502A, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
constexpr LONG kEnumLocal = 0x10;     // WIA_DEVINFO_ENUM_LOCAL
constexpr PROPID kPropDevId = 2;      // WIA_DIP_DEV_ID
constexpr PROPID kPropDevType = 5;    // WIA_DIP_DEV_TYPE

}  // namespace

HRESULT ListImagingDevices(std::vector<ImagingDevice>& devices) {
  devices.clear();
  ComRef<IWiaDevMgr> manager;
  HRESULT hr = CoCreateInstance(kClsidWiaDevMgr, nullptr, CLSCTX_LOCAL_SERVER, kIidWiaDevMgr, manager.out_void());
  if (FAILED(hr)) return hr;
  if (!manager) return E_FAIL;
  ComRef<IEnumWIA_DEV_INFO> list;
  hr = manager->EnumDeviceInfo(kEnumLocal, list.out());
  if (FAILED(hr)) return hr;
  if (!list) return S_OK;
  list->Reset();

  for (;;) {
    ComRef<IWiaPropertyStorage> properties;
    ULONG fetched = 0;
    if (list->Next(1, properties.out(), &fetched) != S_OK || fetched != 1 || !properties) break;
    PROPSPEC specs[2] = {};
    specs[0].ulKind = PRSPEC_PROPID;
    specs[0].propid = kPropDevType;
    specs[1].ulKind = PRSPEC_PROPID;
    specs[1].propid = kPropDevId;
    PROPVARIANT values[2];
    PropVariantInit(&values[0]);
    PropVariantInit(&values[1]);
    if (properties->ReadMultiple(2, specs, values) == S_OK) {
      ImagingDevice device;
      if (values[0].vt == VT_I4 || values[0].vt == VT_UI4) device.type = static_cast<uint32_t>(values[0].lVal);
      if (values[1].vt == VT_BSTR && values[1].bstrVal != nullptr)
        device.deviceId.assign(values[1].bstrVal, SysStringLen(values[1].bstrVal));
      if (!device.deviceId.empty()) devices.push_back(std::move(device));
    }
    FreePropVariantArray(2, values);
  }
  return S_OK;
}

}  // namespace platform
