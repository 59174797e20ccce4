// The camera control library's binary interface: class and interface identifiers
// and the five dual interfaces in vtable order. Every method returns an HRESULT;
// LONG is 32-bit on every platform. Keep in step with velquin.idl (a test checks).
#pragma once

#include "platform/com.h"

extern "C" {
extern const CLSID CLSID_CameraControl;    // {9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}
extern const GUID LIBID_VELQUINLib;        // {47AA0C35-5634-46F1-8709-8F8F8CD36739}
extern const IID IID_ICDVEnumDevice;       // {0CC532D9-0861-4EE0-9820-B748DE0A5DA3}
extern const IID IID_ICDVPresetControl;    // {B17CEB36-F212-4B52-85E8-86F7ED96BBC0}
extern const IID IID_ICDVCameraControl;    // {1642825B-8D04-49BF-8337-0A494E09B026}
extern const IID IID_ICDVPreviewControl;   // {A5509474-F017-483F-A334-44931D5057CB}
extern const IID IID_ICDVDeviceControl;    // {AEE1EA47-16D3-41C0-85BB-2C44AD65A26A}
}

extern "C++" {

struct ICDVEnumDevice : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE EnumerateDevice(SAFEARRAY** ppsaDevList, LONG* pnDevCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE SelectDevice(BSTR bstrDevice) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveDevice() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceInfo(BSTR bstrDevice, BSTR* pbstrFriendlyName,
                                                  BSTR* pbstrDevicePath, BSTR* pbstrModelName) = 0;
};

struct ICDVPresetControl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetPresetCount(LONG* pnPresetCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPresetState(LONG* plPresetState) = 0;
  virtual HRESULT STDMETHODCALLTYPE SelectPreset(LONG nPresetNumber) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterPreset(LONG nPresetNumber, BSTR bstrName) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetPreset(LONG nPresetNumber) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAccessPermission(LONG nPresetNumber, LONG* pPermission) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetAccessPermission(LONG nPresetNumber, LONG Permission) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPresetName(LONG nPresetNumber, BSTR* pbstrPresetName) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPresetName(LONG nPresetNumber, BSTR bstrName) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExportPreset(LONG nPresetNumber, BSTR bstrFilePath,
                                                 LONG OverWriteFlag) = 0;
  virtual HRESULT STDMETHODCALLTYPE ImportPreset(LONG nPresetNumber, BSTR bstrFilePath) = 0;
};

struct ICDVCameraControl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetCapability(LONG* pCapability) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStatus(LONG Function, LONG Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(LONG Function, LONG* pValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRange(LONG Function, LONG* pnMinValue, LONG* pnMaxValue,
                                             LONG* pnDefValue) = 0;
};

struct ICDVPreviewControl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE SetOwner(LONG hwndOwner) = 0;
  virtual HRESULT STDMETHODCALLTYPE StartPreview() = 0;
  virtual HRESULT STDMETHODCALLTYPE StopPreview() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetVisible(LONG lValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveWindow(LONG Left, LONG Top, LONG Width, LONG Height) = 0;
};

struct ICDVDeviceControl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE SetCVMode(LONG CVMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCVMode(LONG* pCVMode, LONG* pEmergencyState) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEvfDisplay(LONG EvfDisplayState) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEvfDisplay(LONG* pEvfDisplayState) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetColorBars(LONG ColorBarsState) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetColorBars(LONG* pColorBarsState) = 0;
};

}  // extern "C++"

// Server exports.
extern "C" {
HRESULT STDAPICALLTYPE DllCanUnloadNow();
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();
}
