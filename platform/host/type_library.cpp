// Hosts have no type libraries: names resolve from the interface's method
// table, type information and late-bound calls are not offered, and
// registration records the library's key as the system would.
#include "platform/registry.h"
#include "platform/type_library.h"

namespace platform {
namespace {

bool EqualsIgnoringAsciiCase(const OLECHAR* wide, std::string_view narrow) {
  size_t i = 0;
  for (; i < narrow.size(); ++i) {
    OLECHAR a = wide[i];
    char b = narrow[i];
    if (a == 0) return false;
    if (a >= 'A' && a <= 'Z') a = static_cast<OLECHAR>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != static_cast<OLECHAR>(static_cast<unsigned char>(b))) return false;
  }
  return wide[i] == 0;
}

ComString LibraryKey(const TypeLibraryId& library) {
  ComString key = COM_TEXT("TypeLib\\");
  key += GuidToString(library.libid);
  return key;
}

ComString VersionText(const TypeLibraryId& library) {
  return Utf8ToCom(std::to_string(library.major) + "." + std::to_string(library.minor));
}

}  // namespace

HRESULT InterfaceTypeInfo::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  return index != 0 ? DISP_E_BADINDEX : E_NOTIMPL;
}

HRESULT InterfaceTypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  ids[0] = DISPID_UNKNOWN;
  if (names[0]) {
    for (size_t i = 0; i < methodNames_.size(); ++i)
      if (EqualsIgnoringAsciiCase(names[0], methodNames_[i])) ids[0] = static_cast<DISPID>(i + 1);
  }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  // Parameter names are not known without a type library.
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT InterfaceTypeInfo::Invoke(void*, DISPID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

HRESULT RegisterModuleTypeLibrary(const TypeLibraryId& library, ComStringView modulePath,
                                  ComStringView helpString) {
  const ComString versionKey = LibraryKey(library) + COM_TEXT("\\") + VersionText(library);
  HRESULT hr = registry::SetString(registry::Root::ClassesRoot, versionKey, {}, helpString);
  if (SUCCEEDED(hr))
    hr = registry::SetString(registry::Root::ClassesRoot, versionKey + COM_TEXT("\\0\\linux64"),
                             {}, modulePath);
  if (SUCCEEDED(hr))
    hr = registry::SetString(registry::Root::ClassesRoot, versionKey + COM_TEXT("\\FLAGS"), {},
                             COM_TEXT("0"));
  return hr;
}

HRESULT UnregisterModuleTypeLibrary(const TypeLibraryId& library) {
  return registry::DeleteTree(registry::Root::ClassesRoot, LibraryKey(library));
}

}  // namespace platform
