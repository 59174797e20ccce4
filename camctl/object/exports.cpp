// The four entry points of the in-process server.
#include "camctl/object/class_factory.h"
#include "camctl/object/interfaces.h"
#include "camctl/object/module_state.h"
#include "camctl/object/registration.h"

#ifdef _WIN32
#define VELQUIN_EXPORT
#else
#define VELQUIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

VELQUIN_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return camctl::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

VELQUIN_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                        LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(rclsid, CLSID_CameraControl)) return CLASS_E_CLASSNOTAVAILABLE;
  return camctl::CameraControlClassObject()->QueryInterface(riid, ppv);
}

VELQUIN_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() { return camctl::RegisterServer(); }

VELQUIN_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() { return camctl::UnregisterServer(); }

}  // extern "C"
