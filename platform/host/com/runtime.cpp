// The COM runtime: per-thread initialisation, in-process server loading by
// CLSID through the registry store, and task memory.
#include <dlfcn.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/com.h"
#include "registry_store.h"

namespace {

struct ThreadState {
  ULONG count = 0;
  DWORD model = 0;
};
thread_local ThreadState t_thread;

struct DlClose {
  void operator()(void* handle) const { ::dlclose(handle); }
};

struct Library {
  std::unique_ptr<void, DlClose> handle;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  LPFNCANUNLOADNOW canUnloadNow = nullptr;
  int callsInProgress = 0;  // guarded by Runtime::mutex
};

struct Runtime {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Library>> libraries;  // by registered path
  ULONG initialisedThreads = 0;
};

// Never destroyed: static destructors of other modules may still call
// CoUninitialize, and loaded libraries stay mapped until the process ends, as
// on Windows, because objects in other static storage may still call into them.
Runtime& State() {
  alignas(Runtime) static unsigned char storage[sizeof(Runtime)];
  static Runtime* const runtime = ::new (static_cast<void*>(storage)) Runtime();
  return *runtime;
}

// Unloads every library that is not being called and whose DllCanUnloadNow
// agrees. A library without that export stays loaded.
void FreeUnused(Runtime& rt) {
  std::unique_lock lock(rt.mutex);
  for (auto it = rt.libraries.begin(); it != rt.libraries.end();) {
    Library& lib = *it->second;
    if (lib.callsInProgress == 0 && lib.canUnloadNow != nullptr && lib.canUnloadNow() == S_OK)
      it = rt.libraries.erase(it);
    else
      ++it;
  }
}

HRESULT ReadRegistryString(hostcom::RegRoot root, const std::string& path, std::string& value) {
  // The user's registrations over the machine's.
  hostcom::RegTree view;
  hostcom::RegStatus st = hostcom::ReadRegistryView(view);
  if (st.ok()) st = view.GetString(root, path, "", value);
  if (st.ok()) return S_OK;
  if (st.code == hostcom::RegStatus::Code::NotFound || st.code == hostcom::RegStatus::Code::InvalidArgument)
    return REGDB_E_CLASSNOTREG;
  return REGDB_E_READREGDB;
}

// Finds or loads the library; on success it is marked as being called.
HRESULT Acquire(Runtime& rt, const std::string& path, Library*& out) {
  std::lock_guard lock(rt.mutex);
  auto it = rt.libraries.find(path);
  if (it == rt.libraries.end()) {
    std::unique_ptr<void, DlClose> handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) return CO_E_DLLNOTFOUND;
    auto lib = std::make_unique<Library>();
    lib->getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(handle.get(), "DllGetClassObject"));
    if (lib->getClassObject == nullptr) return CO_E_ERRORINDLL;
    lib->canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(handle.get(), "DllCanUnloadNow"));
    lib->handle = std::move(handle);
    it = rt.libraries.emplace(path, std::move(lib)).first;
  }
  out = it->second.get();
  ++out->callsInProgress;
  return S_OK;
}

void ReleaseCall(Runtime& rt, Library* lib) {
  std::lock_guard lock(rt.mutex);
  --lib->callsInProgress;
}

}  // namespace

HOSTCOM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (t_thread.count > 0) {
    if (t_thread.model != model) return RPC_E_CHANGED_MODE;
    ++t_thread.count;
    return S_FALSE;
  }
  t_thread.count = 1;
  t_thread.model = model;
  Runtime& rt = State();
  std::lock_guard lock(rt.mutex);
  ++rt.initialisedThreads;
  return S_OK;
}

HOSTCOM_API HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HOSTCOM_API void CoUninitialize() {
  if (t_thread.count == 0) return;
  if (--t_thread.count > 0) return;
  Runtime& rt = State();
  bool last = false;
  {
    std::lock_guard lock(rt.mutex);
    last = --rt.initialisedThreads == 0;
  }
  if (last) FreeUnused(rt);
}

HOSTCOM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID /*pvReserved*/, REFIID riid,
                                     LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (t_thread.count == 0) return CO_E_NOTINITIALIZED;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  try {
    const std::string key = "CLSID\\" + platform::ComToUtf8(platform::GuidToString(rclsid)) + "\\InprocServer32";
    std::string path;
    HRESULT hr = ReadRegistryString(hostcom::RegRoot::ClassesRoot, key, path);
    if (FAILED(hr)) return hr;
    if (path.empty()) return CO_E_DLLNOTFOUND;
    Runtime& rt = State();
    Library* lib = nullptr;
    hr = Acquire(rt, path, lib);
    if (FAILED(hr)) return hr;
    // Called without the runtime lock so that the server may use COM itself.
    hr = lib->getClassObject(rclsid, riid, ppv);
    ReleaseCall(rt, lib);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HOSTCOM_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                     LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

HOSTCOM_API void CoFreeUnusedLibraries() { FreeUnused(State()); }

HOSTCOM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  try {
    const std::string progId = platform::ComToUtf8(lpszProgID);
    if (progId.empty() || progId.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    std::string text;
    const HRESULT hr = ReadRegistryString(hostcom::RegRoot::ClassesRoot, progId + "\\CLSID", text);
    if (hr == REGDB_E_READREGDB) return hr;
    if (FAILED(hr)) return CO_E_CLASSSTRING;
    CLSID clsid;
    if (!platform::GuidFromString(platform::Utf8ToCom(text), clsid)) return CO_E_CLASSSTRING;
    *lpclsid = clsid;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HOSTCOM_API LPVOID CoTaskMemAlloc(size_t cb) { return std::malloc(cb == 0 ? 1 : cb); }

HOSTCOM_API void CoTaskMemFree(LPVOID pv) { std::free(pv); }
