// A tiny in-process COM server for the runtime and regsvr tests: one class
// whose object answers ITestValue, a class factory, and the four exports.
// Setting HOSTCOM_TEST_REGISTER_RESULT to a hex HRESULT makes registration
// fail with it.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/module.h"
#include "platform/registry.h"
#include "test_server.h"

#define SERVER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class TestObject final : public ITestValue {
 public:
  TestObject() { ++g_objects; }
  ~TestObject() { --g_objects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestValue) {
      *ppv = static_cast<ITestValue*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) std::unique_ptr<TestObject> self(this);
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetValue(LONG* value) override {
    if (value == nullptr) return E_POINTER;
    *value = kTestValue;
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{0};
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; its references keep the module loaded.
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++g_locks); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--g_locks); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    std::unique_ptr<TestObject> object(new (std::nothrow) TestObject());
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    if (SUCCEEDED(hr)) static_cast<void>(object.release());
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      ++g_locks;
    else
      --g_locks;
    return S_OK;
  }
};

Factory g_factory;

const platform::ComString& ClassKey() {
  static const platform::ComString key = u"CLSID\\" + platform::GuidToString(CLSID_TestValue);
  return key;
}

}  // namespace

SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TestValue) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

SERVER_EXPORT HRESULT DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

SERVER_EXPORT HRESULT DllRegisterServer() {
  if (const char* forced = std::getenv("HOSTCOM_TEST_REGISTER_RESULT"))
    return static_cast<HRESULT>(std::strtoul(forced, nullptr, 16));
  using platform::registry::Root;
  return platform::registry::RunBatch([] {
    HRESULT hr = platform::registry::SetString(Root::ClassesRoot, ClassKey(), u"", u"Test Value Class");
    if (SUCCEEDED(hr))
      hr = platform::registry::SetString(Root::ClassesRoot, ClassKey() + u"\\InprocServer32", u"",
                                         platform::ModuleFilePath());
    if (SUCCEEDED(hr))
      hr = platform::registry::SetString(Root::ClassesRoot, ClassKey() + u"\\InprocServer32", u"ThreadingModel",
                                         u"Apartment");
    if (SUCCEEDED(hr))
      hr = platform::registry::SetString(Root::ClassesRoot, kTestProgId + platform::ComString(u"\\CLSID"), u"",
                                         platform::GuidToString(CLSID_TestValue));
    return hr;
  });
}

SERVER_EXPORT HRESULT DllUnregisterServer() {
  using platform::registry::Root;
  return platform::registry::RunBatch([] {
    HRESULT hr = platform::registry::DeleteTree(Root::ClassesRoot, ClassKey());
    if (SUCCEEDED(hr)) hr = platform::registry::DeleteTree(Root::ClassesRoot, kTestProgId);
    return hr;
  });
}

// For the tests: objects alive in this module.
SERVER_EXPORT LONG TestServerLiveObjects() { return g_objects; }
