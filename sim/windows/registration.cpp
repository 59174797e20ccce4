// Registration of the virtual DV camera: the filter class, and for every
// camera of the virtual camcorder's root a device of the video input category
// (as a DV camera driver's install leaves it: "FriendlyName", "DevicePath" of
// the real form, the filter's class) plus the imaging-service class key whose
// "DevSymLink" leads to the camera's storage. Each device also names the
// camera's state directory, which the filter opens when it is created.
#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "storage/links.h"
#include "vcam/vcam.h"
#include "vcam_filter.h"

namespace vcam::dshow {
namespace {

constexpr wchar_t kClassKey[] = L"CLSID\\{8639C7AC-14E0-4859-B8DC-645EDD2DFA3E}";
constexpr wchar_t kClassName[] = L"Virtual DV Camera";
// The devices of the video input category.
constexpr wchar_t kInstancesKey[] = L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance";
// Under HKLM: the device class keys the imaging service's devices live in.
constexpr wchar_t kDeviceClassRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
// What this server keeps in each device key to undo its class key later.
constexpr wchar_t kImagingIdValue[] = L"VcamImagingDeviceId";
constexpr wchar_t kLinkValue[] = L"DevSymLink";

// Owns an open registry key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }
  HKEY* out() { return &key_; }

  LONG Open(HKEY parent, const std::wstring& path, REGSAM access) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, &key_);
  }
  // Creates the key, or opens it; `created` tells which.
  LONG Create(HKEY parent, const std::wstring& path, bool* created = nullptr) {
    DWORD disposition = 0;
    const LONG status = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_READ | KEY_WRITE, nullptr, &key_, &disposition);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return status;
  }

 private:
  HKEY key_ = nullptr;
};

HRESULT FromStatus(LONG status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// A string value; false when absent or not a string.
bool GetString(HKEY key, const wchar_t* name, std::wstring& value) {
  DWORD bytes = 0;
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) return false;
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) != ERROR_SUCCESS) return false;
  text.resize(wcsnlen(text.c_str(), text.size()));
  value = std::move(text);
  return true;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Removes a camera's imaging class key, when its link is still the one this
// server wrote there.
LONG RemoveImagingKey(const std::wstring& deviceId, const std::wstring& link) {
  if (deviceId.empty()) return ERROR_SUCCESS;
  const std::wstring path = kDeviceClassRoot + deviceId;
  Key key;
  LONG status = key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  std::wstring stored;
  if (!GetString(key.get(), kLinkValue, stored) || !SameText(stored, link)) return ERROR_SUCCESS;  // not ours now
  status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// Removes every video input device whose class is this filter, with its
// imaging class key.
HRESULT RemoveOwnDevices() {
  Key instances;
  LONG status = instances.Open(HKEY_CLASSES_ROOT, kInstancesKey, KEY_READ | KEY_WRITE);
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return FromStatus(status);
  // The names first: keys are deleted after the walk, not under it.
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = ARRAYSIZE(name);
    status = RegEnumKeyExW(instances.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) continue;  // longer than any name this server writes
    if (status != ERROR_SUCCESS) return FromStatus(status);
    names.emplace_back(name, length);
  }
  for (const std::wstring& name : names) {
    std::wstring clsid, imagingId, link;
    {
      Key device;
      if (device.Open(instances.get(), name, KEY_READ) != ERROR_SUCCESS) continue;
      if (!GetString(device.get(), L"CLSID", clsid) || !SameText(clsid, kClsidText)) continue;
      GetString(device.get(), kImagingIdValue, imagingId);
      GetString(device.get(), kLinkValue, link);
    }
    status = RemoveImagingKey(imagingId, link);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    if (!link.empty()) {
      const HRESULT hr = storage_driver::RemoveLink(link);
      if (FAILED(hr)) return hr;
    }
    status = RegDeleteTreeW(instances.get(), name.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
  }
  return S_OK;
}

// Registers one camera as a video input device and its imaging class key.
HRESULT RegisterCamera(HKEY instances, const Camera& camera) {
  const Identity& id = camera.identity();
  const std::wstring name = Widen(id.name);
  if (name.empty()) return E_INVALIDARG;
  Key device;
  bool created = false;
  LONG status = device.Create(instances, name, &created);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  // Another filter's device of that name stays as it is.
  if (!created) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  const std::wstring imagingId = Widen(id.imagingDeviceId);
  const std::wstring link = Widen(id.devSymLink);
  if ((status = SetString(device.get(), L"CLSID", kClsidText)) != ERROR_SUCCESS ||
      (status = SetString(device.get(), L"FriendlyName", Widen(id.friendlyName))) != ERROR_SUCCESS ||
      (status = SetString(device.get(), L"DevicePath", Widen(id.devicePath))) != ERROR_SUCCESS ||
      (status = SetString(device.get(), kFolderValue, camera.dir().wstring())) != ERROR_SUCCESS ||
      (status = SetString(device.get(), kImagingIdValue, imagingId)) != ERROR_SUCCESS ||
      (status = SetString(device.get(), kLinkValue, link)) != ERROR_SUCCESS)
    return FromStatus(status);
  // The virtual storage driver, where it runs, answers behind that link.
  if (!link.empty()) {
    const HRESULT hr = storage_driver::AddLink(link, camera.dir().wstring());
    if (FAILED(hr)) return hr;
  }
  if (imagingId.empty()) return S_OK;
  Key imaging;
  if ((status = imaging.Create(HKEY_LOCAL_MACHINE, kDeviceClassRoot + imagingId)) != ERROR_SUCCESS ||
      (status = SetString(imaging.get(), kLinkValue, link)) != ERROR_SUCCESS)
    return FromStatus(status);
  return S_OK;
}

HRESULT RegisterCameras() {
  std::vector<std::unique_ptr<Camera>> cameras;
  try {
    const std::filesystem::path root = RootDir();
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) return S_OK;  // no root yet: no camera
    for (const std::string& name : ListCameras(root)) {
      try {
        cameras.push_back(Camera::Open(root / name));
      } catch (const Error&) {
        // A camera that cannot be opened (half-made, broken) is no device.
      }
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
  if (cameras.empty()) return S_OK;
  Key instances;
  const LONG status = instances.Create(HKEY_CLASSES_ROOT, kInstancesKey);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  for (const auto& camera : cameras) {
    const HRESULT hr = RegisterCamera(instances.get(), *camera);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT RegisterServer(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  HRESULT hr = RemoveOwnDevices();
  if (FAILED(hr)) return hr;
  Key classKey, server;
  LONG status;
  if ((status = classKey.Create(HKEY_CLASSES_ROOT, kClassKey)) != ERROR_SUCCESS ||
      (status = SetString(classKey.get(), nullptr, kClassName)) != ERROR_SUCCESS ||
      (status = server.Create(classKey.get(), L"InprocServer32")) != ERROR_SUCCESS ||
      (status = SetString(server.get(), nullptr, path)) != ERROR_SUCCESS ||
      (status = SetString(server.get(), L"ThreadingModel", L"Both")) != ERROR_SUCCESS)
    return FromStatus(status);
  hr = RegisterCameras();
  if (FAILED(hr)) RemoveOwnDevices();  // no half-registered camera set
  return hr;
}

HRESULT UnregisterServer() {
  const HRESULT hr = RemoveOwnDevices();
  if (FAILED(hr)) return hr;
  const LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
  return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

}  // namespace vcam::dshow
