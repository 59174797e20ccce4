#include "camctl/object/registration.h"

#include "camctl/object/camera_control.h"
#include "platform/module.h"
#include "platform/type_library.h"

namespace camctl {
namespace {

using platform::registry::Root;

#define CLSID_TEXT "{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}"
#define CLASS_KEY "CLSID\\" CLSID_TEXT
#define DESCRIPTION "CameraControl Class"
#define T(s) COM_TEXT(s)

const RegistryEntry kEntries[] = {
    {T("VELQUIN.CameraControl.1"), T(""), T(DESCRIPTION)},
    {T("VELQUIN.CameraControl.1\\CLSID"), T(""), T(CLSID_TEXT)},
    {T("VELQUIN.CameraControl"), T(""), T(DESCRIPTION)},
    {T("VELQUIN.CameraControl\\CLSID"), T(""), T(CLSID_TEXT)},
    {T("VELQUIN.CameraControl\\CurVer"), T(""), T("VELQUIN.CameraControl.1")},
    {T(CLASS_KEY), T(""), T(DESCRIPTION)},
    {T(CLASS_KEY "\\ProgID"), T(""), T("VELQUIN.CameraControl.1")},
    {T(CLASS_KEY "\\VersionIndependentProgID"), T(""), T("VELQUIN.CameraControl")},
    {T(CLASS_KEY "\\Programmable"), nullptr, nullptr},
    {T(CLASS_KEY "\\InprocServer32"), T(""), T("%MODULE%")},
    {T(CLASS_KEY "\\InprocServer32"), T("ThreadingModel"), T("Apartment")},
    {T(CLASS_KEY "\\TypeLib"), T(""), T("{47AA0C35-5634-46F1-8709-8F8F8CD36739}")},
};

const OLECHAR* const kRemovedKeys[] = {
    T("VELQUIN.CameraControl.1"),
    T("VELQUIN.CameraControl"),
    T(CLASS_KEY),
};

constexpr platform::ComStringView kModuleMarker = T("%MODULE%");

}  // namespace

std::span<const RegistryEntry> RegistrationEntries() { return kEntries; }
std::span<const OLECHAR* const> UnregistrationKeys() { return kRemovedKeys; }

HRESULT WriteRegistration(platform::ComStringView modulePath) {
  // One change: a registration that fails part-way leaves the old keys as they were.
  return platform::registry::RunBatch([&] {
    // The class key is written anew so no stale subkey of an older server survives.
    HRESULT hr = platform::registry::DeleteTree(Root::ClassesRoot, T(CLASS_KEY));
    if (FAILED(hr)) return hr;
    for (const auto& entry : kEntries) {
      if (!entry.valueName) {
        // An empty key: deleted with its subkeys, then created.
        hr = platform::registry::DeleteTree(Root::ClassesRoot, entry.key);
        if (SUCCEEDED(hr)) hr = platform::registry::CreateKey(Root::ClassesRoot, entry.key);
      } else {
        const platform::ComStringView data =
            entry.data == kModuleMarker ? modulePath : platform::ComStringView(entry.data);
        hr = platform::registry::SetString(Root::ClassesRoot, entry.key, entry.valueName, data);
      }
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT RemoveRegistration() {
  return platform::registry::RunBatch([] {
    for (const auto* key : kRemovedKeys) {
      const HRESULT hr = platform::registry::DeleteTree(Root::ClassesRoot, key);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT RegisterServer() {
  const platform::ComString modulePath = platform::ModuleFilePath();
  HRESULT hr = WriteRegistration(modulePath);
  if (FAILED(hr)) return hr;
  return platform::RegisterModuleTypeLibrary(kTypeLibrary, modulePath,
                                             T("VEL-QUIN 1.0 Type Library"));
}

HRESULT UnregisterServer() {
  const HRESULT keys = RemoveRegistration();
  const HRESULT library = platform::UnregisterModuleTypeLibrary(kTypeLibrary);
  return FAILED(keys) ? keys : library;
}

}  // namespace camctl
