// The in-process server's entry points and its class object.
#include <windows.h>

#include "interface_ids.h"
#include "vcam_filter.h"

namespace vcam::dshow {
namespace {

// The one class object; it lives as long as the module, so its count only
// locks the server.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, kIidUnknown) && !IsEqualGUID(riid, kIidClassFactory)) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    LockModule();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    UnlockModule();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return CreateFilter(outer, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      LockModule();
    else
      UnlockModule();
    return S_OK;
  }
};

ClassFactory g_factory;

}  // namespace

}  // namespace vcam::dshow

extern "C" {

HRESULT STDAPICALLTYPE DllCanUnloadNow() { return vcam::dshow::ModuleLocks() == 0 ? S_OK : S_FALSE; }

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(rclsid, vcam::dshow::kClsidVirtualDvCamera)) return CLASS_E_CLASSNOTAVAILABLE;
  return vcam::dshow::g_factory.QueryInterface(riid, ppv);
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&DllRegisterServer), &module))
    return HRESULT_FROM_WIN32(GetLastError());
  return vcam::dshow::RegisterServer(module);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() { return vcam::dshow::UnregisterServer(); }

}  // extern "C"
