// The virtual DV camera's capture filter: a DirectShow filter without pins
// whose external-device interfaces stand for the DV camera driver. The raw
// AV/C pass-through (GetTransportBasicParameters with ED_RAW_EXT_DEV_CMD) is
// answered by the virtual camcorder's camera; the other external-device and
// transport methods are not offered, as the camera control library uses none.
#include "interface_ids.h"
#include "vcam_filter.h"

#include <edevdefs.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "vcam/vcam.h"

namespace vcam::dshow {
namespace {

constexpr LONG kRawExtDevCmd = 5016;  // ED_RAW_EXT_DEV_CMD: the raw AV/C command

// The frame buffer the driver's raw command hands over in place of a string.
constexpr LONG kFrameBufferSize = static_cast<LONG>(kAvcFrameSize);

// The pins of a filter that has none.
class EmptyPins final : public IEnumPins {
 public:
  EmptyPins() { LockModule(); }
  ~EmptyPins() { UnlockModule(); }
  EmptyPins(const EmptyPins&) = delete;
  EmptyPins& operator=(const EmptyPins&) = delete;

  static HRESULT Create(IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::unique_ptr<EmptyPins> pins(new (std::nothrow) EmptyPins);
    if (!pins) return E_OUTOFMEMORY;
    pins->AddRef();
    *out = pins.release();  // owned by its reference count from here on
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, kIidUnknown) && !IsEqualGUID(riid, kIidEnumPins)) return E_NOINTERFACE;
    *ppv = static_cast<IEnumPins*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) std::unique_ptr<EmptyPins> last(this);
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins || (count > 1 && !fetched)) return E_POINTER;
    if (fetched) *fetched = 0;
    return count == 0 ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return count == 0 ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumPins** out) override { return Create(out); }

 private:
  std::atomic<ULONG> refs_{0};
};

class Filter final : public IBaseFilter, public IAMExtDevice, public IAMExtTransport, public IPersistPropertyBag {
 public:
  Filter() { LockModule(); }
  ~Filter() {
    if (clock_) clock_->Release();
    UnlockModule();
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, kIidUnknown) || IsEqualGUID(riid, kIidPersist) || IsEqualGUID(riid, kIidMediaFilter) ||
        IsEqualGUID(riid, kIidBaseFilter)) {
      *ppv = static_cast<IBaseFilter*>(this);
    } else if (IsEqualGUID(riid, kIidExtDevice)) {
      *ppv = static_cast<IAMExtDevice*>(this);
    } else if (IsEqualGUID(riid, kIidExtTransport)) {
      *ppv = static_cast<IAMExtTransport*>(this);
    } else if (IsEqualGUID(riid, kIidPersistPropertyBag)) {
      *ppv = static_cast<IPersistPropertyBag*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) std::unique_ptr<Filter> last(this);
    return left;
  }

  // IPersist (of the filter and of the property bag persistence)
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = kClsidVirtualDvCamera;
    return S_OK;
  }

  // IMediaFilter: the state is kept as a graph sets it; there is no stream.
  HRESULT STDMETHODCALLTYPE Stop() override { return SetState(State_Stopped); }
  HRESULT STDMETHODCALLTYPE Pause() override { return SetState(State_Paused); }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return SetState(State_Running); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
    if (!state) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    *state = state_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (clock) clock->AddRef();
    if (clock_) clock_->Release();
    clock_ = clock;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
    if (!clock) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    *clock = clock_;
    if (clock_) clock_->AddRef();
    return S_OK;
  }

  // IBaseFilter
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override { return EmptyPins::Create(pins); }
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override {
    if (!id || !pin) return E_POINTER;
    *pin = nullptr;
    return VFW_E_NOT_FOUND;
  }
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
    if (!info) return E_POINTER;
    std::lock_guard<std::mutex> hold(mutex_);
    const size_t count = name_.size() < 127 ? name_.size() : 127;
    std::memcpy(info->achName, name_.c_str(), count * sizeof(WCHAR));
    info->achName[count] = L'\0';
    info->pGraph = graph_;
    if (graph_) graph_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
    std::lock_guard<std::mutex> hold(mutex_);
    // The graph owns the filter: its pointer is kept without a reference.
    graph_ = graph;
    name_ = (graph && name) ? name : L"";
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
  }

  // IPersistPropertyBag: the device enumerator's moniker hands over the
  // device's bag when it creates the filter; the bag names the camera.
  HRESULT STDMETHODCALLTYPE InitNew() override { return E_NOTIMPL; }  // a camera filter needs its device
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override;
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

  // IAMExtDevice (GetCapability serves IAMExtTransport as well)
  HRESULT STDMETHODCALLTYPE GetCapability(LONG, LONG*, double*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExternalDeviceID(LPOLESTR* id) override;
  HRESULT STDMETHODCALLTYPE get_ExternalDeviceVersion(LPOLESTR* version) override {
    if (!version) return E_POINTER;
    *version = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_DevicePower(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DevicePower(LONG* mode) override;
  HRESULT STDMETHODCALLTYPE Calibrate(HEVENT, LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_DevicePort(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DevicePort(LONG* port) override {
    if (!port) return E_POINTER;
    *port = DEV_PORT_1394;
    return S_OK;
  }

  // IAMExtTransport: only the raw AV/C command.
  HRESULT STDMETHODCALLTYPE GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) override;
  HRESULT STDMETHODCALLTYPE put_MediaState(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MediaState(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_LocalControl(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LocalControl(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStatus(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTransportBasicParameters(LONG, LONG, LPCOLESTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTransportVideoParameters(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTransportVideoParameters(LONG, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTransportAudioParameters(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTransportAudioParameters(LONG, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Mode(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Mode(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Rate(double) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Rate(double*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChase(LONG*, LONG*, HEVENT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChase(LONG, LONG, HEVENT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBump(LONG*, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetBump(LONG, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_AntiClogControl(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_AntiClogControl(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEditPropertySet(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEditPropertySet(LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEditProperty(LONG, LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEditProperty(LONG, LONG, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_EditStart(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_EditStart(LONG) override { return E_NOTIMPL; }

 private:
  HRESULT SetState(FILTER_STATE state) {
    std::lock_guard<std::mutex> hold(mutex_);
    state_ = state;
    return S_OK;
  }
  std::shared_ptr<Camera> BoundCamera() {
    std::lock_guard<std::mutex> hold(mutex_);
    return camera_;
  }

  std::atomic<ULONG> refs_{0};
  std::mutex mutex_;
  FILTER_STATE state_ = State_Stopped;
  IReferenceClock* clock_ = nullptr;
  IFilterGraph* graph_ = nullptr;
  std::wstring name_;
  // Set once by Load; exchanges run on their own copy of the pointer (the
  // camera serialises them itself).
  std::shared_ptr<Camera> camera_;
};

// A string value of the bag; empty when absent or not a string.
std::wstring ReadBagString(IPropertyBag* bag, const wchar_t* name, HRESULT& hr) {
  VARIANT value;
  VariantInit(&value);
  std::wstring text;
  hr = bag->Read(name, &value, nullptr);
  if (SUCCEEDED(hr)) {
    if (value.vt == VT_BSTR && value.bstrVal != nullptr)
      text.assign(value.bstrVal, SysStringLen(value.bstrVal));
    else
      hr = DISP_E_TYPEMISMATCH;
  }
  VariantClear(&value);
  return text;
}

HRESULT Filter::Load(IPropertyBag* bag, IErrorLog*) {
  if (!bag) return E_POINTER;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (camera_) return E_UNEXPECTED;  // bound to its camera once
  }
  HRESULT hr = S_OK;
  const std::wstring folder = ReadBagString(bag, kFolderValue, hr);
  if (FAILED(hr)) return hr;
  if (folder.empty()) return E_INVALIDARG;
  HRESULT pathHr = S_OK;
  const std::wstring devicePath = ReadBagString(bag, L"DevicePath", pathHr);
  std::shared_ptr<Camera> camera;
  try {
    camera = Camera::Open(std::filesystem::path(folder));
  } catch (const Error&) {
    // The folder is gone or holds no camera: the device is not there.
    return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
  // A folder that now holds another camera than the one registered is not this device.
  const std::wstring ownPath = Widen(camera->identity().devicePath);
  if (SUCCEEDED(pathHr) &&
      CompareStringOrdinal(devicePath.c_str(), static_cast<int>(devicePath.size()), ownPath.c_str(),
                           static_cast<int>(ownPath.size()), TRUE) != CSTR_EQUAL)
    return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
  std::lock_guard<std::mutex> hold(mutex_);
  if (camera_) return E_UNEXPECTED;
  camera_ = std::move(camera);
  return S_OK;
}

HRESULT Filter::get_ExternalDeviceID(LPOLESTR* id) {
  if (!id) return E_POINTER;
  *id = nullptr;
  const std::shared_ptr<Camera> camera = BoundCamera();
  if (!camera) return E_UNEXPECTED;
  const std::wstring text = Widen(camera->identity().uniqueId);
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (!copy) return E_OUTOFMEMORY;
  std::memcpy(copy, text.c_str(), bytes);
  *id = copy;
  return S_OK;
}

HRESULT Filter::get_DevicePower(LONG* mode) {
  if (!mode) return E_POINTER;
  const std::shared_ptr<Camera> camera = BoundCamera();
  if (!camera) return E_UNEXPECTED;
  State state;
  if (!camera->PeekState(state)) return E_FAIL;  // the camera's state cannot be read
  *mode = state.plugged ? ED_POWER_ON : ED_POWER_OFF;
  return S_OK;
}

HRESULT Filter::GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) {
  if (param != kRawExtDevCmd) return E_NOTIMPL;
  if (!value || !data) return E_POINTER;
  // The command's length must fit the caller's buffer: nothing past it is read or written.
  const LONG length = *value;
  if (length < 0 || length > kFrameBufferSize) return ERROR_INVALID_PARAMETER;
  const std::shared_ptr<Camera> camera = BoundCamera();
  if (!camera) return E_UNEXPECTED;
  // The raw command passes the frame buffer's own address in place of a string.
  auto* frame = reinterpret_cast<uint8_t(*)[kAvcFrameSize]>(data);
  return static_cast<HRESULT>(camera->AvcExchange(*frame, static_cast<uint32_t>(length)));
}

}  // namespace

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
  if (count <= 0) return {};
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

HRESULT CreateFilter(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  std::unique_ptr<Filter> filter(new (std::nothrow) Filter);
  if (!filter) return E_OUTOFMEMORY;
  const HRESULT hr = filter->QueryInterface(riid, ppv);
  if (SUCCEEDED(hr)) filter.release();  // owned by its reference count from here on
  return hr;
}

}  // namespace vcam::dshow
