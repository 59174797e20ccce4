#include "camctl/object/class_factory.h"

#include <atomic>
#include <mutex>

#include "camctl/object/camera_control.h"
#include "camctl/object/module_state.h"

namespace camctl {
namespace {

std::atomic<int32_t> g_moduleLocks{0};

// Held by the module itself with one reference; every reference a client holds
// beyond that keeps the module locked.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    const ULONG count = refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 2) LockModule();
    return count;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 1) UnlockModule();
    return count;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return CameraControl::Create(outer, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      LockModule();
    else
      UnlockModule();
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace

void LockModule() { g_moduleLocks.fetch_add(1, std::memory_order_acq_rel); }
void UnlockModule() { g_moduleLocks.fetch_sub(1, std::memory_order_acq_rel); }
int32_t ModuleLockCount() { return g_moduleLocks.load(std::memory_order_acquire); }

IClassFactory* CameraControlClassObject() {
  // Function-local statics are initialised once, under the runtime's own lock.
  static ClassFactory factory;
  return &factory;
}

}  // namespace camctl
