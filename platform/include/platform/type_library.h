// Automation support of a dual interface. On Windows the library's type
// library (resource TYPELIB 1) is registered and every IDispatch call is
// delegated to its type information. Hosts without type libraries serve a
// type-information object built from the interface's method table, and
// late-bound calls go through the table's calls.
#pragma once

#include <cstdint>
#include <memory>
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

// Parameter kinds of the late-bound methods: [in] long, [in] BSTR, [out] long*,
// [out] BSTR*, [out] SAFEARRAY(BSTR)*.
enum class ParamType : uint8_t { Long, String, LongOut, StringOut, StringArrayOut };

// One argument of a late-bound call after conversion: the field of its kind is set.
struct DispatchArgument {
  LONG number = 0;
  BSTR text = nullptr;
  LONG* numberOut = nullptr;
  BSTR* textOut = nullptr;
  SAFEARRAY** arrayOut = nullptr;
};

// One method of an interface: its name, its parameters and a call of it on an
// interface pointer with converted arguments (first parameter first).
struct DispatchMethod {
  std::string_view name;
  std::span<const ParamType> params;
  HRESULT (*call)(void* instance, const DispatchArgument* args);
};

class TypeInfoObject;

// The type information of one interface, loaded or built on first use and
// kept for the life of the process.
class InterfaceTypeInfo {
 public:
  // `methods` in vtable order: DISPID = position + 1.
  InterfaceTypeInfo(const TypeLibraryId& library, const IID& iid, std::string_view interfaceName,
                    std::span<const DispatchMethod> methods);
  ~InterfaceTypeInfo();
  InterfaceTypeInfo(const InterfaceTypeInfo&) = delete;
  InterfaceTypeInfo& operator=(const InterfaceTypeInfo&) = delete;

  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo);
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
  // `instance` is the interface pointer the call arrived on.
  HRESULT Invoke(void* instance, DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError);

  const IID& Iid() const { return iid_; }
  std::string_view InterfaceName() const { return interfaceName_; }
  std::span<const DispatchMethod> Methods() const { return methods_; }

 private:
  const TypeLibraryId library_;
  const IID iid_;
  const std::string_view interfaceName_;
  const std::span<const DispatchMethod> methods_;
  std::unique_ptr<TypeInfoObject> object_;  // the served type information (hosts)
};

// Registers the type library embedded in the module file; hosts without type
// libraries record its registry key only.
HRESULT RegisterModuleTypeLibrary(const TypeLibraryId& library, ComStringView modulePath,
                                  ComStringView helpString);
HRESULT UnregisterModuleTypeLibrary(const TypeLibraryId& library);

}  // namespace platform
