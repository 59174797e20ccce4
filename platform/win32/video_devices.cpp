// The video input devices of the machine: the DirectShow system device
// enumerator's video input category, each device's property bag, its device
// manager friendly name (SetupAPI) and its capture filter.
#include "platform/video_devices.h"

#include <setupapi.h>
#include <strmif.h>

#include "com_ref.h"
#include "directshow_transport.h"

namespace platform {
namespace {

using win32::ComRef;

constexpr CLSID kClsidSystemDeviceEnum = {
    0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr IID kIidCreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr CLSID kClsidVideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr IID kIidPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr IID kIidBaseFilter = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID kIidExtDevice = {0xB5730A90, 0x1A2C, 0x11CF, {0x8C, 0x23, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14}};

// The size of the buffer the friendly name is read into.
constexpr DWORD kFriendlyNameBytes = 256;

// A string property of the bag; empty when it cannot be read.
ComString ReadBagString(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value;
  VariantInit(&value);
  ComString text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr)
    text.assign(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  return text;
}

// The device manager's friendly name of the device behind a device interface path.
ComString ReadPnpFriendlyName(const ComString& devicePath) {
  if (devicePath.empty()) return {};
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return {};
  ComString name;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  if (SetupDiOpenDeviceInterfaceW(set, devicePath.c_str(), 0, &interfaceData)) {
    SP_DEVINFO_DATA deviceData{};
    deviceData.cbSize = sizeof deviceData;
    // Only the device element is wanted: the detail buffer is left out on purpose.
    const BOOL detail = SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, nullptr, &deviceData);
    if (detail || GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      wchar_t buffer[kFriendlyNameBytes / sizeof(wchar_t) + 1] = {};
      DWORD type = 0;
      if (SetupDiGetDeviceRegistryPropertyW(set, &deviceData, SPDRP_FRIENDLYNAME, &type,
                                            reinterpret_cast<BYTE*>(buffer), kFriendlyNameBytes, nullptr) &&
          type == REG_SZ) {
        buffer[kFriendlyNameBytes / sizeof(wchar_t)] = L'\0';  // terminated by us, whatever was stored
        name.assign(buffer);
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return name;
}

class DirectShowDevice final : public VideoInputDevice {
 public:
  DirectShowDevice(ComRef<IMoniker> moniker, ComString friendlyName, ComString devicePath, ComString pnpName)
      : moniker_(std::move(moniker)),
        friendlyName_(std::move(friendlyName)),
        devicePath_(std::move(devicePath)),
        pnpName_(std::move(pnpName)) {}
  ComString FriendlyName() const override { return friendlyName_; }
  ComString DevicePath() const override { return devicePath_; }
  ComString PnpFriendlyName() const override { return pnpName_; }

  std::shared_ptr<CaptureDevice> Bind() override {
    ComRef<IBaseFilter> filter;
    if (FAILED(moniker_->BindToObject(nullptr, nullptr, kIidBaseFilter, filter.out_void())) || !filter) return nullptr;
    ComRef<IUnknown> external;
    if (FAILED(filter->QueryInterface(kIidExtDevice, external.out_void())) || !external) return nullptr;
    return std::shared_ptr<CaptureDevice>(win32::WrapExternalDevice(external.get()));
  }

 private:
  ComRef<IMoniker> moniker_;
  ComString friendlyName_;
  ComString devicePath_;
  ComString pnpName_;
};

}  // namespace

HRESULT ListVideoInputDevices(std::vector<std::unique_ptr<VideoInputDevice>>& devices) {
  devices.clear();
  ComRef<ICreateDevEnum> system;
  HRESULT hr = CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, kIidCreateDevEnum,
                                system.out_void());
  if (FAILED(hr)) return hr;
  ComRef<IEnumMoniker> category;
  hr = system->CreateClassEnumerator(kClsidVideoInputDeviceCategory, category.out(), 0);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE || !category) return S_FALSE;  // the category is empty
  category->Reset();

  for (;;) {
    ComRef<IMoniker> moniker;
    ULONG fetched = 0;
    if (category->Next(1, moniker.out(), &fetched) != S_OK || fetched != 1 || !moniker) break;
    ComString friendlyName, devicePath;
    ComRef<IPropertyBag> bag;
    // A device whose bag cannot be read is listed without names; the walk ends there.
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, kIidPropertyBag, bag.out_void())) && bag) {
      friendlyName = ReadBagString(bag.get(), L"FriendlyName");
      devicePath = ReadBagString(bag.get(), L"DevicePath");
    }
    ComString pnpName = ReadPnpFriendlyName(devicePath);
    devices.push_back(std::make_unique<DirectShowDevice>(std::move(moniker), std::move(friendlyName),
                                                         std::move(devicePath), std::move(pnpName)));
  }
  return devices.empty() ? S_FALSE : S_OK;
}

}  // namespace platform
