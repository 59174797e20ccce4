// Automation through the registered type library: each interface's type
// information is loaded on first use and every IDispatch call delegated to it.
#include <mutex>

#include <string>

#include "platform/registry.h"
#include "platform/type_library.h"

namespace platform {
namespace {

// One cached ITypeInfo per interface, kept for the life of the process.
struct CachedTypeInfo {
  IID iid;
  ITypeInfo* info;
};

std::mutex g_cacheLock;
CachedTypeInfo g_cache[8];
size_t g_cacheSize = 0;

HRESULT Load(const TypeLibraryId& library, const IID& iid, ITypeInfo** out) {
  std::lock_guard lock(g_cacheLock);
  for (size_t i = 0; i < g_cacheSize; ++i) {
    if (IsEqualGUID(g_cache[i].iid, iid)) {
      *out = g_cache[i].info;
      return S_OK;
    }
  }
  ITypeLib* typeLib = nullptr;
  HRESULT hr = LoadRegTypeLib(library.libid, library.major, library.minor, library.lcid, &typeLib);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = typeLib->GetTypeInfoOfGuid(iid, &info);
  typeLib->Release();
  if (FAILED(hr)) return hr;
  if (g_cacheSize < std::size(g_cache)) g_cache[g_cacheSize++] = {iid, info};
  *out = info;
  return S_OK;
}

}  // namespace

// Windows serves the registered type library's own type information.
class TypeInfoObject {};

InterfaceTypeInfo::InterfaceTypeInfo(const TypeLibraryId& library, const IID& iid, std::string_view interfaceName,
                                     std::span<const DispatchMethod> methods)
    : library_(library), iid_(iid), interfaceName_(interfaceName), methods_(methods) {}

InterfaceTypeInfo::~InterfaceTypeInfo() = default;

HRESULT InterfaceTypeInfo::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* info = nullptr;
  HRESULT hr = Load(library_, iid_, &info);
  if (FAILED(hr)) return hr;
  info->AddRef();
  *typeInfo = info;
  return S_OK;
}

HRESULT InterfaceTypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  ITypeInfo* info = nullptr;
  HRESULT hr = Load(library_, iid_, &info);
  if (FAILED(hr)) return hr;
  return info->GetIDsOfNames(names, count, ids);
}

HRESULT InterfaceTypeInfo::Invoke(void* instance, DISPID member, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  ITypeInfo* info = nullptr;
  HRESULT hr = Load(library_, iid_, &info);
  if (FAILED(hr)) return hr;
  return info->Invoke(instance, member, flags, params, result, exception, argError);
}

HRESULT RegisterModuleTypeLibrary(const TypeLibraryId&, ComStringView modulePath,
                                  ComStringView) {
  const ComString path(modulePath);
  ITypeLib* typeLib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLib);
  if (FAILED(hr)) return hr;
  ComString helpDir = path.substr(0, path.find_last_of(L'\\') == ComString::npos
                                         ? 0
                                         : path.find_last_of(L'\\'));
  hr = RegisterTypeLib(typeLib, const_cast<OLECHAR*>(path.c_str()),
                       helpDir.empty() ? nullptr : helpDir.data());
  typeLib->Release();
  return hr;
}

HRESULT UnregisterModuleTypeLibrary(const TypeLibraryId& library) {
  // Nothing registered is nothing to remove; the system call would call that a failure.
  const ComString versionKey = ComString(L"TypeLib\\") + GuidToString(library.libid) + L"\\" +
                               std::to_wstring(library.major) + L"." + std::to_wstring(library.minor);
  if (!registry::KeyExists(registry::Root::ClassesRoot, versionKey)) return S_OK;
#ifdef _WIN64
  constexpr SYSKIND kSysKind = SYS_WIN64;
#else
  constexpr SYSKIND kSysKind = SYS_WIN32;
#endif
  return UnRegisterTypeLib(library.libid, library.major, library.minor, library.lcid, kSysKind);
}

}  // namespace platform
