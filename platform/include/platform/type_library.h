// Automation support of a dual interface. On Windows the library's type
// library (resource TYPELIB 1) is registered and every IDispatch call is
// delegated to its type information. Hosts without type libraries answer
// GetTypeInfo and Invoke with E_NOTIMPL and resolve names from a table.
#pragma once

#include <span>
#include <string_view>

#include "platform/com.h"

namespace platform {

struct TypeLibraryId {
  GUID libid;
  WORD major;
  WORD minor;
  LCID lcid;
};

// The type information of one interface of a registered type library, loaded on
// first use and kept for the life of the process.
class InterfaceTypeInfo {
 public:
  InterfaceTypeInfo(const TypeLibraryId& library, const IID& iid,
                    std::span<const std::string_view> methodNames)
      : library_(library), iid_(iid), methodNames_(methodNames) {}

  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo);
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
  // `instance` is the interface pointer the call arrived on.
  HRESULT Invoke(void* instance, DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError);

 private:
  const TypeLibraryId library_;
  const IID iid_;
  const std::span<const std::string_view> methodNames_;
};

// Registers the type library embedded in the module file; hosts without type
// libraries record its registry key only.
HRESULT RegisterModuleTypeLibrary(const TypeLibraryId& library, ComStringView modulePath,
                                  ComStringView helpString);
HRESULT UnregisterModuleTypeLibrary(const TypeLibraryId& library);

}  // namespace platform
