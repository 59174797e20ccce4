// Class registration of the server: the keys under HKEY_CLASSES_ROOT that make
// CameraControl creatable by CLSID and ProgID, and the type library.
#pragma once

#include <span>

#include "platform/com.h"
#include "platform/registry.h"

namespace camctl {

// One value the registration writes: key (relative to HKEY_CLASSES_ROOT),
// value name (empty = default value) and data; "%MODULE%" in the data stands
// for the full path of the server file.
struct RegistryEntry {
  const OLECHAR* key;
  const OLECHAR* valueName;
  const OLECHAR* data;
};

// The keys registration writes, in order. The class key and its Programmable
// subkey are deleted with all subkeys first and written anew.
std::span<const RegistryEntry> RegistrationEntries();
// The keys unregistration deletes with all their subkeys (HKEY_CLASSES_ROOT\CLSID itself stays).
std::span<const OLECHAR* const> UnregistrationKeys();

// Writes the keys for the server file `modulePath`; the first failure is returned at once.
HRESULT WriteRegistration(platform::ComStringView modulePath);
// Deletes the keys as one change. S_OK when they were removed or were not
// there; a registry that cannot be read or written is a failure.
HRESULT RemoveRegistration();

// The server's own registration: keys, then its type library. Unregistration
// tries both and returns the first failure.
HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace camctl
