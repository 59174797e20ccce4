// The registry seam over the Windows registry.
#include "platform/registry.h"

#include <vector>

namespace platform::registry {
namespace {

HKEY ToHkey(Root root) { return root == Root::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE; }

// Owns an open registry key.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

HRESULT FromStatus(LONG status) { return HRESULT_FROM_WIN32(static_cast<unsigned long>(status)); }

}  // namespace

HRESULT SetString(Root root, ComStringView keyPath, ComStringView valueName, ComStringView value) {
  const ComString path(keyPath), name(valueName), data(value);
  Key key;
  LONG status = RegCreateKeyExW(ToHkey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(OLECHAR));
  status = RegSetValueExW(key.get(), name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  return FromStatus(status);
}

HRESULT CreateKey(Root root, ComStringView keyPath) {
  const ComString path(keyPath);
  Key key;
  return FromStatus(RegCreateKeyExW(ToHkey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_READ, nullptr, key.out(), nullptr));
}

HRESULT DeleteTree(Root root, ComStringView keyPath) {
  const ComString path(keyPath);
  // An empty path would empty the whole root.
  if (path.empty()) return E_INVALIDARG;
  // With a subkey name RegDeleteTreeW removes the key itself with everything below it.
  const LONG status = RegDeleteTreeW(ToHkey(root), path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

HRESULT GetString(Root root, ComStringView keyPath, ComStringView valueName, ComString& value) {
  const ComString path(keyPath), name(valueName);
  Key key;
  LONG status = RegOpenKeyExW(ToHkey(root), path.c_str(), 0, KEY_QUERY_VALUE, key.out());
  if (status != ERROR_SUCCESS) return FromStatus(status);
  const wchar_t* valueNamePtr = name.empty() ? nullptr : name.c_str();
  // The value may grow between the size query and the read: retry a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD bytes = 0;
    status = RegQueryValueExW(key.get(), valueNamePtr, nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return FromStatus(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE);
    std::vector<BYTE> buf(bytes + sizeof(OLECHAR));
    DWORD got = bytes;
    status = RegQueryValueExW(key.get(), valueNamePtr, nullptr, &type, buf.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return FromStatus(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE);
    // Registry strings need not be terminated: take the bytes read, up to the first NUL.
    const auto* text = reinterpret_cast<const OLECHAR*>(buf.data());
    size_t len = got / sizeof(OLECHAR);
    for (size_t i = 0; i < len; ++i) {
      if (text[i] == 0) {
        len = i;
        break;
      }
    }
    value.assign(text, len);
    return S_OK;
  }
  return FromStatus(status);
}

bool KeyExists(Root root, ComStringView keyPath) {
  const ComString path(keyPath);
  Key key;
  return RegOpenKeyExW(ToHkey(root), path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

HRESULT RunBatch(const std::function<HRESULT()>& body) { return body(); }

}  // namespace platform::registry
