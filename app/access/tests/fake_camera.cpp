#include "app/access/tests/fake_camera.h"

#include <atomic>

namespace presets::testing {

namespace {

std::string Narrow(const OLECHAR* text) {
  return text ? platform::ComToUtf8(platform::ComStringView(text, ::SysStringLen(const_cast<BSTR>(text)))) : "null";
}

class FakeObject final : public ICDVEnumDevice, public ICDVPresetControl, public ICDVCameraControl {
 public:
  FakeObject(std::shared_ptr<FakeScript> script, int number) : script_(std::move(script)), number_(number) {
    script_->log.push_back("new #" + std::to_string(number_));
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICDVEnumDevice))
      *out = static_cast<ICDVEnumDevice*>(this);
    else if (IsEqualIID(riid, IID_ICDVPresetControl))
      *out = static_cast<ICDVPresetControl*>(this);
    else if (IsEqualIID(riid, IID_ICDVCameraControl))
      *out = static_cast<ICDVCameraControl*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      script_->log.push_back("release #" + std::to_string(number_));
      delete this;
    }
    return left;
  }
  // IDispatch: unused by the application.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // ICDVEnumDevice
  HRESULT STDMETHODCALLTYPE EnumerateDevice(SAFEARRAY** list, LONG* count) override {
    Log("EnumerateDevice");
    if (FAILED(script_->enumerateResult) || script_->enumerateResult == S_FALSE) return script_->enumerateResult;
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, 10);
    LONG index = 0;
    for (const auto& device : script_->devices) {
      const platform::ComString text = platform::Utf8ToCom(device);
      BSTR item = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      ::SafeArrayPutElement(array, &index, item);
      ::SysFreeString(item);
      ++index;
    }
    *list = array;
    *count = static_cast<LONG>(script_->devices.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SelectDevice(BSTR device) override { return Call("SelectDevice(" + Narrow(device) + ")"); }
  HRESULT STDMETHODCALLTYPE RemoveDevice() override { return Call("RemoveDevice"); }
  HRESULT STDMETHODCALLTYPE GetDeviceInfo(BSTR device, BSTR* friendly, BSTR* path, BSTR* model) override {
    const HRESULT hr = Call("GetDeviceInfo(" + Narrow(device) + ")");
    if (SUCCEEDED(hr)) {
      *friendly = ::SysAllocString(COM_TEXT("DV Camera"));
      *path = ::SysAllocString(COM_TEXT("\\\\?\\avc#maker&kx1#1#{x}"));
      *model = ::SysAllocString(COM_TEXT("KX1"));
    }
    return hr;
  }

  // ICDVPresetControl
  HRESULT STDMETHODCALLTYPE GetPresetCount(LONG* count) override {
    *count = 3;
    return Call("GetPresetCount");
  }
  HRESULT STDMETHODCALLTYPE GetPresetState(LONG* state) override {
    const HRESULT hr = Call("GetPresetState");
    if (FAILED(hr)) return hr;
    auto& states = script_->presetStates;
    *state = states.empty() ? 0 : states.front();
    if (states.size() > 1) states.pop_front();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SelectPreset(LONG slot) override { return Call("SelectPreset(" + N(slot) + ")"); }
  HRESULT STDMETHODCALLTYPE RegisterPreset(LONG slot, BSTR name) override {
    return Call("RegisterPreset(" + N(slot) + "," + Narrow(name) + ")", "RegisterPreset(" + N(slot) + ")");
  }
  HRESULT STDMETHODCALLTYPE ResetPreset(LONG slot) override { return Call("ResetPreset(" + N(slot) + ")"); }
  HRESULT STDMETHODCALLTYPE GetAccessPermission(LONG slot, LONG* permission) override {
    const HRESULT hr = Call("GetAccessPermission(" + N(slot) + ")");
    if (SUCCEEDED(hr)) *permission = script_->permission[slot];
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetAccessPermission(LONG slot, LONG permission) override {
    const HRESULT hr = Call("SetAccessPermission(" + N(slot) + "," + N(permission) + ")");
    if (SUCCEEDED(hr)) script_->permission[slot] = permission;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetPresetName(LONG slot, BSTR* name) override {
    const HRESULT hr = Call("GetPresetName(" + N(slot) + ")");
    if (SUCCEEDED(hr)) {
      const auto& text = script_->names[slot];
      *name = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetPresetName(LONG slot, BSTR) override { return Call("SetPresetName(" + N(slot) + ")"); }
  HRESULT STDMETHODCALLTYPE ExportPreset(LONG slot, BSTR path, LONG overwrite) override {
    return Call("ExportPreset(" + N(slot) + "," + Narrow(path) + "," + N(overwrite) + ")",
                "ExportPreset(" + N(slot) + ")");
  }
  HRESULT STDMETHODCALLTYPE ImportPreset(LONG slot, BSTR path) override {
    return Call("ImportPreset(" + N(slot) + "," + Narrow(path) + ")", "ImportPreset(" + N(slot) + ")");
  }

  // ICDVCameraControl
  HRESULT STDMETHODCALLTYPE GetCapability(LONG*) override { return Call("GetCapability"); }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG function, LONG value) override {
    return Call("SetStatus(" + N(function) + "," + N(value) + ")", "SetStatus(" + N(function) + ")");
  }
  HRESULT STDMETHODCALLTYPE GetStatus(LONG function, LONG* value) override {
    const HRESULT hr = Call("GetStatus(" + N(function) + ")");
    if (SUCCEEDED(hr)) {
      const auto found = script_->status.find(function);
      *value = found == script_->status.end() ? (function <= 28 ? 6 : 0) : found->second;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetRange(LONG, LONG*, LONG*, LONG*) override { return Call("GetRange"); }

 private:
  static std::string N(LONG v) { return std::to_string(v); }
  void Log(const std::string& text) { script_->log.push_back("#" + std::to_string(number_) + " " + text); }
  // Logs the call and answers its scripted failure, found by the full text
  // or by `key`.
  HRESULT Call(const std::string& text, const std::string& key = {}) {
    Log(text);
    auto found = script_->failures.find(text);
    if (found == script_->failures.end() && !key.empty()) found = script_->failures.find(key);
    return found == script_->failures.end() ? S_OK : found->second;
  }

  std::shared_ptr<FakeScript> script_;
  int number_;
  std::atomic<ULONG> references_{1};
};

}  // namespace

CameraObjectFactory FakeFactory(std::shared_ptr<FakeScript> script) {
  return [script](IUnknown** object) -> HRESULT {
    *object = nullptr;
    if (FAILED(script->createResult)) return script->createResult;
    *object = static_cast<ICDVEnumDevice*>(new FakeObject(script, ++script->created));
    return S_OK;
  };
}

}  // namespace presets::testing
