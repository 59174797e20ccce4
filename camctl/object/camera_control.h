// The CameraControl object: one object with five dual interfaces. The
// interface methods are thin: each checks its arguments and hands the object's
// state to the module that implements it.
#pragma once

#include <atomic>
#include <memory>
#include <type_traits>

#include "camctl/object/camera_state.h"
#include "camctl/object/dispatch_table.h"
#include "camctl/object/interfaces.h"
#include "camctl/object/method_names.h"
#include "platform/type_library.h"

namespace camctl {

// The registered type library of the server.
inline constexpr platform::TypeLibraryId kTypeLibrary = {
    {0x47AA0C35, 0x5634, 0x46F1, {0x87, 0x09, 0x8F, 0x8F, 0x8C, 0xD3, 0x67, 0x39}}, 1, 0, 0x0409};

template <class Interface>
constexpr const IID& InterfaceIid() {
  if constexpr (std::is_same_v<Interface, ICDVEnumDevice>) return IID_ICDVEnumDevice;
  else if constexpr (std::is_same_v<Interface, ICDVPresetControl>) return IID_ICDVPresetControl;
  else if constexpr (std::is_same_v<Interface, ICDVCameraControl>) return IID_ICDVCameraControl;
  else if constexpr (std::is_same_v<Interface, ICDVPreviewControl>) return IID_ICDVPreviewControl;
  else return IID_ICDVDeviceControl;
}

// IDispatch of one interface, served by the interface's type information.
template <class Interface>
class DispatchOf : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) override {
    return TypeInfo().GetTypeInfo(index, lcid, typeInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    if (!IsEqualGUID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return TypeInfo().GetIDsOfNames(names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argError) override {
    if (!IsEqualGUID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return TypeInfo().Invoke(static_cast<Interface*>(this), member, flags, params, result,
                             exception, argError);
  }

 private:
  static platform::InterfaceTypeInfo& TypeInfo() {
    static platform::InterfaceTypeInfo info(kTypeLibrary, InterfaceIid<Interface>(),
                                            FindInterfaceMethods(InterfaceIid<Interface>())->interfaceName,
                                            DispatchMethodsOf<Interface>());
    return info;
  }
};

class CameraControl final : public DispatchOf<ICDVCameraControl>,
                            public DispatchOf<ICDVPresetControl>,
                            public DispatchOf<ICDVEnumDevice>,
                            public DispatchOf<ICDVDeviceControl>,
                            public DispatchOf<ICDVPreviewControl> {
 public:
  // Creates an object, plain or aggregated by `outer`, and answers its
  // QueryInterface for riid; the object is destroyed again when that fails.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  // IUnknown: delegates to the controlling outer object when aggregated.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ICDVCameraControl
  HRESULT STDMETHODCALLTYPE GetCapability(LONG* pCapability) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG Function, LONG Value) override;
  HRESULT STDMETHODCALLTYPE GetStatus(LONG Function, LONG* pValue) override;
  HRESULT STDMETHODCALLTYPE GetRange(LONG Function, LONG* pnMinValue, LONG* pnMaxValue,
                                     LONG* pnDefValue) override;
  // ICDVPresetControl
  HRESULT STDMETHODCALLTYPE GetPresetCount(LONG* pnPresetCount) override;
  HRESULT STDMETHODCALLTYPE GetPresetState(LONG* plPresetState) override;
  HRESULT STDMETHODCALLTYPE SelectPreset(LONG nPresetNumber) override;
  HRESULT STDMETHODCALLTYPE RegisterPreset(LONG nPresetNumber, BSTR bstrName) override;
  HRESULT STDMETHODCALLTYPE ResetPreset(LONG nPresetNumber) override;
  HRESULT STDMETHODCALLTYPE GetAccessPermission(LONG nPresetNumber, LONG* pPermission) override;
  HRESULT STDMETHODCALLTYPE SetAccessPermission(LONG nPresetNumber, LONG Permission) override;
  HRESULT STDMETHODCALLTYPE GetPresetName(LONG nPresetNumber, BSTR* pbstrPresetName) override;
  HRESULT STDMETHODCALLTYPE SetPresetName(LONG nPresetNumber, BSTR bstrName) override;
  HRESULT STDMETHODCALLTYPE ExportPreset(LONG nPresetNumber, BSTR bstrFilePath,
                                         LONG OverWriteFlag) override;
  HRESULT STDMETHODCALLTYPE ImportPreset(LONG nPresetNumber, BSTR bstrFilePath) override;
  // ICDVEnumDevice
  HRESULT STDMETHODCALLTYPE EnumerateDevice(SAFEARRAY** ppsaDevList, LONG* pnDevCount) override;
  HRESULT STDMETHODCALLTYPE SelectDevice(BSTR bstrDevice) override;
  HRESULT STDMETHODCALLTYPE RemoveDevice() override;
  HRESULT STDMETHODCALLTYPE GetDeviceInfo(BSTR bstrDevice, BSTR* pbstrFriendlyName,
                                          BSTR* pbstrDevicePath, BSTR* pbstrModelName) override;
  // ICDVDeviceControl
  HRESULT STDMETHODCALLTYPE SetCVMode(LONG CVMode) override;
  HRESULT STDMETHODCALLTYPE GetCVMode(LONG* pCVMode, LONG* pEmergencyState) override;
  HRESULT STDMETHODCALLTYPE SetEvfDisplay(LONG EvfDisplayState) override;
  HRESULT STDMETHODCALLTYPE GetEvfDisplay(LONG* pEvfDisplayState) override;
  HRESULT STDMETHODCALLTYPE SetColorBars(LONG ColorBarsState) override;
  HRESULT STDMETHODCALLTYPE GetColorBars(LONG* pColorBarsState) override;
  // ICDVPreviewControl
  HRESULT STDMETHODCALLTYPE SetOwner(LONG hwndOwner) override;
  HRESULT STDMETHODCALLTYPE StartPreview() override;
  HRESULT STDMETHODCALLTYPE StopPreview() override;
  HRESULT STDMETHODCALLTYPE SetVisible(LONG lValue) override;
  HRESULT STDMETHODCALLTYPE MoveWindow(LONG Left, LONG Top, LONG Width, LONG Height) override;

  // The object's state, for the modules and for tests reached through the identity pointer.
  CameraState& State() { return state_; }
  static CameraControl* FromIdentity(ICDVCameraControl* identity) {
    return static_cast<CameraControl*>(identity);
  }

 private:
  friend struct std::default_delete<CameraControl>;
  explicit CameraControl(IUnknown* outer);
  ~CameraControl();

  // The non-delegating IUnknown of an aggregated object.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(CameraControl& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    CameraControl& owner_;
  };

  HRESULT InternalQueryInterface(REFIID riid, void** ppv);
  ULONG InternalAddRef();
  ULONG InternalRelease();
  void Destroy();

  std::atomic<ULONG> refs_{0};
  IUnknown* const outer_;  // the controlling object when aggregated, else null
  InnerUnknown inner_{*this};
  CameraState state_;
};

}  // namespace camctl
