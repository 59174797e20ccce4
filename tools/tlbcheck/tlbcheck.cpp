// tlbcheck (Windows): loads the type library embedded in a server file and
// checks it against the interface header: every interface with its methods in
// vtable order (slot 7 + position), DISPIDs by position, parameter counts,
// dual and non-extensible flags, the class and its interface list.
// Exit 0 when they agree, 1 with one line per difference, 2 on bad usage.
#include <cstdio>
#include <string>

#include "camctl/object/interfaces.h"
#include "camctl/object/method_names.h"

namespace {

int g_failures = 0;

void Fail(const std::string& what) {
  std::fprintf(stderr, "tlbcheck: %s\n", what.c_str());
  ++g_failures;
}

std::string Narrow(const OLECHAR* text) { return platform::ComToUtf8(text ? text : L""); }

void CheckInterface(ITypeLib* library, const camctl::InterfaceMethods& expected) {
  const std::string name(expected.interfaceName);
  ITypeInfo* info = nullptr;
  if (FAILED(library->GetTypeInfoOfGuid(*expected.iid, &info))) return Fail(name + ": not in the type library");
  // A dual interface's dispatch type info refers to its vtable interface.
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  if (attr->typekind == TKIND_DISPATCH) {
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &vtable))) {
      info->ReleaseTypeAttr(attr);
      info->Release();
      info = vtable;
      info->GetTypeAttr(&attr);
    }
  }
  if (!(attr->wTypeFlags & TYPEFLAG_FDUAL)) Fail(name + ": not dual");
  const bool nonExtensible = (attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE) != 0;
  if (nonExtensible != (name == "ICDVCameraControl")) Fail(name + ": wrong non-extensible flag");
  if (attr->cFuncs != expected.methods.size())
    Fail(name + ": " + std::to_string(attr->cFuncs) + " methods, expected " +
         std::to_string(expected.methods.size()));
  for (UINT i = 0; i < attr->cFuncs && i < expected.methods.size(); ++i) {
    FUNCDESC* func = nullptr;
    info->GetFuncDesc(i, &func);
    BSTR funcName = nullptr;
    UINT count = 0;
    info->GetNames(func->memid, &funcName, 1, &count);
    const std::string actual = Narrow(funcName);
    SysFreeString(funcName);
    const std::string want(expected.methods[i]);
    const long slot = func->oVft / static_cast<long>(sizeof(void*));
    if (actual != want) Fail(name + " method " + std::to_string(i + 1) + ": " + actual + ", expected " + want);
    if (slot != static_cast<long>(7 + i)) Fail(name + "::" + actual + ": slot " + std::to_string(slot));
    if (func->memid != static_cast<MEMBERID>(i + 1)) Fail(name + "::" + actual + ": DISPID " + std::to_string(func->memid));
    if (func->callconv != CC_STDCALL) Fail(name + "::" + actual + ": not stdcall");
    if (func->elemdescFunc.tdesc.vt != VT_HRESULT) Fail(name + "::" + actual + ": does not return HRESULT");
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: tlbcheck SERVER.dll\n", stderr);
    return 2;
  }
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(argv[1], REGKIND_NONE, &library);
  if (FAILED(hr)) {
    std::fprintf(stderr, "tlbcheck: cannot load the type library: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  TLIBATTR* libAttr = nullptr;
  library->GetLibAttr(&libAttr);
  if (!IsEqualGUID(libAttr->guid, LIBID_VELQUINLib) || libAttr->wMajorVerNum != 1 || libAttr->wMinorVerNum != 0 ||
      libAttr->lcid != 0x0409)
    Fail("library identity, version or locale differs");
  library->ReleaseTLibAttr(libAttr);

  for (const auto& entry : camctl::AllInterfaceMethods()) CheckInterface(library, entry);

  ITypeInfo* coclass = nullptr;
  if (FAILED(library->GetTypeInfoOfGuid(CLSID_CameraControl, &coclass))) {
    Fail("CameraControl class missing");
  } else {
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    if (!(attr->wTypeFlags & TYPEFLAG_FCANCREATE)) Fail("CameraControl is not creatable");
    const char* order[] = {"IUnknown", "ICDVEnumDevice", "ICDVPresetControl", "ICDVCameraControl",
                           "ICDVPreviewControl", "ICDVDeviceControl"};
    if (attr->cImplTypes != 6) Fail("CameraControl lists " + std::to_string(attr->cImplTypes) + " interfaces");
    for (UINT i = 0; i < attr->cImplTypes && i < 6; ++i) {
      HREFTYPE ref = 0;
      ITypeInfo* implemented = nullptr;
      coclass->GetRefTypeOfImplType(i, &ref);
      coclass->GetRefTypeInfo(ref, &implemented);
      BSTR implName = nullptr;
      implemented->GetDocumentation(MEMBERID_NIL, &implName, nullptr, nullptr, nullptr);
      if (Narrow(implName) != order[i]) Fail("CameraControl interface " + std::to_string(i) + ": " + Narrow(implName));
      SysFreeString(implName);
      implemented->Release();
    }
    coclass->ReleaseTypeAttr(attr);
    coclass->Release();
  }
  library->Release();
  if (g_failures == 0) std::puts("tlbcheck: the type library agrees with the interface header");
  return g_failures == 0 ? 0 : 1;
}
