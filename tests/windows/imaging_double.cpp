// imaging_double: a stand-in for the imaging-service (WIA) device manager, for
// the Wine test prefix only. Wine's own device manager lists no device, so the
// library's imaging-device path (CoCreateInstance of the device manager as a
// local server, EnumDeviceInfo, ReadMultiple of the type and id) could not run.
// This server lists, as digital cameras, the instances of the image device
// class that a driver installation has given a "DevSymLink", as Windows' own
// service does for a camera whose storage driver is installed.
//
// COM starts it with -Embedding once scripts/wine-test.sh has registered it as
// the device manager's local server. It serves only what the library reads;
// the rest answers E_NOTIMPL. It ends when its last object is released, or
// after 30 s without a call, so nothing outlives a test.
#include <windows.h>

#include <objbase.h>
#include <propidl.h>
#include <shellapi.h>
#include <wia.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr CLSID kClsidWiaDevMgr = {0xA1F4E726, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
constexpr IID kIidWiaDevMgr = {0x5EB2502A, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
constexpr IID kIidEnumWiaDevInfo = {0x5E38B83C, 0x8CF1, 0x11D1, {0xBF, 0x92, 0x00, 0x60, 0x08, 0x1E, 0xD8, 0x11}};
constexpr IID kIidWiaPropertyStorage = {0x98B5E8A0, 0x29CC, 0x491A, {0xAA, 0xC0, 0xE6, 0xDB, 0x4F, 0xDC, 0xCE, 0xB6}};

constexpr LONG kEnumAll = 0x0F;    // WIA_DEVINFO_ENUM_ALL
constexpr LONG kEnumLocal = 0x10;  // WIA_DEVINFO_ENUM_LOCAL
constexpr PROPID kPropDevId = 2;   // WIA_DIP_DEV_ID
constexpr PROPID kPropDevType = 5; // WIA_DIP_DEV_TYPE
// StiDeviceTypeDigitalCamera in the high word, no sub-type.
constexpr LONG kTypeDigitalCamera = 2 << 16;

constexpr wchar_t kImageClass[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kClassKeys[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr ULONGLONG kIdleLimitMs = 30000;

// The server's life: live objects and server locks, and the last call's time.
// COM calls come in on the main thread (single-threaded apartment).
DWORD g_mainThread = 0;
std::atomic<LONG> g_liveObjects{0};
std::atomic<ULONGLONG> g_lastCall{0};

void NoteCall() { g_lastCall.store(GetTickCount64()); }
void ServerLock() {
  g_liveObjects.fetch_add(1);
  NoteCall();
}
void ServerUnlock() {
  NoteCall();
  if (g_liveObjects.fetch_sub(1) == 1) PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
}

// The instances of the image class with a storage driver link, as device ids
// ("{class}\0001"), in name order.
std::vector<std::wstring> ListCameraInstances() {
  std::vector<std::wstring> ids;
  HKEY classKey = nullptr;
  const std::wstring path = std::wstring(kClassKeys) + kImageClass;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &classKey) != ERROR_SUCCESS) return ids;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = ARRAYSIZE(name);
    const LSTATUS status = RegEnumKeyExW(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;  // a name too long for an instance key
    if (RegGetValueW(classKey, name, L"DevSymLink", RRF_RT_ANY, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
    ids.push_back(std::wstring(kImageClass) + L"\\" + name);
  }
  RegCloseKey(classKey);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// IUnknown for one interface, counted as a live object of the server while it
// exists. Release destroys the object through its owning pointer.
template <class Self, class Interface>
class Object : public Interface {
 public:
  Object() { ServerLock(); }
  virtual ~Object() { ServerUnlock(); }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    NoteCall();
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, Self::kIid)) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = refs_.fetch_sub(1) - 1;
    if (count == 0) std::unique_ptr<Self> owner(static_cast<Self*>(this));
    return count;
  }

  // Hands a new object's first reference to the caller.
  template <class... Args>
  static Interface* Make(Args&&... args) {
    auto made = std::make_unique<Self>(std::forward<Args>(args)...);
    return made.release();
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// One device's properties: its type and id, nothing else.
class PropertyStorage final : public Object<PropertyStorage, IWiaPropertyStorage> {
 public:
  static constexpr const IID& kIid = kIidWiaPropertyStorage;
  explicit PropertyStorage(std::wstring id) : id_(std::move(id)) {}

  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG count, const PROPSPEC specs[], PROPVARIANT values[]) override {
    NoteCall();
    if (count == 0) return S_FALSE;
    if (specs == nullptr || values == nullptr) return E_INVALIDARG;
    bool found = false;
    for (ULONG i = 0; i < count; ++i) PropVariantInit(&values[i]);
    for (ULONG i = 0; i < count; ++i) {
      if (specs[i].ulKind != PRSPEC_PROPID) continue;
      if (specs[i].propid == kPropDevType) {
        values[i].vt = VT_I4;
        values[i].lVal = kTypeDigitalCamera;
        found = true;
      } else if (specs[i].propid == kPropDevId) {
        values[i].bstrVal = SysAllocStringLen(id_.data(), static_cast<UINT>(id_.size()));
        if (values[i].bstrVal == nullptr) {
          FreePropVariantArray(count, values);
          return E_OUTOFMEMORY;
        }
        values[i].vt = VT_BSTR;
        found = true;
      }
    }
    return found ? S_OK : S_FALSE;  // S_FALSE: none of the properties exists
  }

  // The library reads the two properties above only; the double serves no more.
  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG, const PROPSPEC[], const PROPVARIANT[], PROPID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG, const PROPSPEC[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG, const PROPID[], LPOLESTR[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG, const PROPID[], const LPOLESTR[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG, const PROPID[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** list) override {
    if (list != nullptr) *list = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME*, const FILETIME*, const FILETIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyAttributes(ULONG, PROPSPEC[], ULONG[], PROPVARIANT[]) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyStream(GUID*, IStream** stream) override {
    if (stream != nullptr) *stream = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetPropertyStream(GUID*, IStream*) override { return E_NOTIMPL; }

 private:
  const std::wstring id_;
};

// The device list as it was when the enumeration was made.
class DeviceList final : public Object<DeviceList, IEnumWIA_DEV_INFO> {
 public:
  static constexpr const IID& kIid = kIidEnumWiaDevInfo;
  DeviceList(std::shared_ptr<const std::vector<std::wstring>> ids, size_t next) : ids_(std::move(ids)), next_(next) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, IWiaPropertyStorage** out, ULONG* fetched) override {
    NoteCall();
    if (out == nullptr || (fetched == nullptr && wanted != 1)) return E_POINTER;
    ULONG given = 0;
    while (given < wanted && next_ < ids_->size()) {
      out[given] = PropertyStorage::Make((*ids_)[next_]);
      ++given;
      ++next_;
    }
    if (fetched != nullptr) *fetched = given;
    return given == wanted ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    NoteCall();
    const size_t left = ids_->size() - next_;
    next_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    NoteCall();
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWIA_DEV_INFO** copy) override {
    NoteCall();
    if (copy == nullptr) return E_POINTER;
    *copy = DeviceList::Make(ids_, next_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
    NoteCall();
    if (count == nullptr) return E_POINTER;
    *count = static_cast<ULONG>(ids_->size());
    return S_OK;
  }

 private:
  const std::shared_ptr<const std::vector<std::wstring>> ids_;
  size_t next_;
};

class DeviceManager final : public Object<DeviceManager, IWiaDevMgr> {
 public:
  static constexpr const IID& kIid = kIidWiaDevMgr;

  HRESULT STDMETHODCALLTYPE EnumDeviceInfo(LONG flags, IEnumWIA_DEV_INFO** list) override {
    NoteCall();
    if (list == nullptr) return E_POINTER;
    *list = nullptr;
    if (flags != 0 && flags != kEnumAll && flags != kEnumLocal) return E_INVALIDARG;
    *list = DeviceList::Make(std::make_shared<const std::vector<std::wstring>>(ListCameraInstances()), size_t{0});
    return S_OK;
  }

  // Opening a device and the dialogs and events are not used by the library;
  // the double does not serve them.
  HRESULT STDMETHODCALLTYPE CreateDevice(BSTR, IWiaItem** root) override {
    if (root != nullptr) *root = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SelectDeviceDlg(HWND, LONG, LONG, BSTR*, IWiaItem** root) override {
    if (root != nullptr) *root = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SelectDeviceDlgID(HWND, LONG, LONG, BSTR* id) override {
    if (id != nullptr) *id = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetImageDlg(HWND, LONG, LONG, LONG, IWiaItem*, BSTR, GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackProgram(LONG, BSTR, const GUID*, BSTR, BSTR, BSTR, BSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackInterface(LONG, BSTR, const GUID*, IWiaEventCallback*,
                                                           IUnknown** cookie) override {
    if (cookie != nullptr) *cookie = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackCLSID(LONG, BSTR, const GUID*, const GUID*, BSTR, BSTR,
                                                       BSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE AddDeviceDlg(HWND, LONG) override { return E_NOTIMPL; }
};

// Registered with COM for the process's life; not counted as a live object.
class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    NoteCall();
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    IWiaDevMgr* manager = DeviceManager::Make();
    const HRESULT hr = manager->QueryInterface(riid, ppv);
    manager->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      ServerLock();
    else
      ServerUnlock();
    return S_OK;
  }
};

bool StartedByCom(const wchar_t* commandLine) {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(commandLine, &count);
  if (words == nullptr) return false;
  bool embedding = false;
  for (int i = 1; i < count; ++i)
    if ((words[i][0] == L'-' || words[i][0] == L'/') && _wcsicmp(words[i] + 1, L"Embedding") == 0) embedding = true;
  LocalFree(words);
  return embedding;
}

int Serve() {
  g_mainThread = GetCurrentThreadId();
  NoteCall();
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  static Factory factory;
  DWORD cookie = 0;
  HRESULT hr = CoRegisterClassObject(kClsidWiaDevMgr, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (SUCCEEDED(hr)) {
    // A timer message each second to check for idleness; COM's own messages
    // carry the calls.
    const UINT_PTR timer = SetTimer(nullptr, 0, 1000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      if (message.message == WM_TIMER && message.hwnd == nullptr &&
          GetTickCount64() - g_lastCall.load() > kIdleLimitMs)
        break;
      DispatchMessageW(&message);
    }
    KillTimer(nullptr, timer);
    CoRevokeClassObject(cookie);
  }
  CoUninitialize();
  return SUCCEEDED(hr) ? 0 : 1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Only COM starts it; by hand it would wait for nobody.
  if (!StartedByCom(GetCommandLineW())) return 2;
  return Serve();
}
