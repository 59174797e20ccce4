// Late binding on Linux: IDispatch::Invoke by DISPID on every interface of a
// CameraControl object with a virtual camcorder selected, argument coercion,
// out-values by reference, the DISP_E_ results, and the type-information
// object. Each late-bound call is checked against the same call made directly.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/object/method_names.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

BSTR NewBstr(const std::string& text) {
  const platform::ComString wide = platform::Utf8ToCom(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string Narrow(BSTR text) {
  return text == nullptr ? std::string() : platform::ComToUtf8(platform::ComStringView(text, SysStringLen(text)));
}

// Builders of the arguments a late-binding client passes.
VARIANT Long(LONG v) {
  VARIANT a;
  VariantInit(&a);
  a.vt = VT_I4;
  a.lVal = v;
  return a;
}
template <class Field, class T>
VARIANT Of(VARTYPE vt, Field VARIANT::*field, T value) {
  VARIANT a;
  VariantInit(&a);
  a.vt = vt;
  a.*field = value;
  return a;
}
VARIANT Missing() { return Of(VT_ERROR, &VARIANT::scode, DISP_E_PARAMNOTFOUND); }

// Everything one call needs: its arguments in parameter order and the
// variables their references point to.
struct Call {
  LONG longs[4] = {};
  BSTR texts[4] = {};
  SAFEARRAY* array = nullptr;
  VARIANT held[4];
  std::vector<VARIANT> args;  // parameter order; reversed when sent
  std::vector<BSTR> inTexts;

  Call() {
    for (VARIANT& v : held) VariantInit(&v);
  }
  ~Call() {
    for (BSTR t : texts) SysFreeString(t);
    for (BSTR t : inTexts) SysFreeString(t);
    if (array != nullptr) SafeArrayDestroy(array);
    for (VARIANT& v : held) VariantClear(&v);
  }
  Call& In(VARIANT v) {
    args.push_back(v);
    return *this;
  }
  Call& Text(const std::string& s) {
    inTexts.push_back(NewBstr(s));
    return In(Of(VT_BSTR, &VARIANT::bstrVal, inTexts.back()));
  }
  Call& LongOut(int i) { return In(Of(static_cast<VARTYPE>(VT_BYREF | VT_I4), &VARIANT::plVal, &longs[i])); }
  Call& TextOut(int i) { return In(Of(static_cast<VARTYPE>(VT_BYREF | VT_BSTR), &VARIANT::pbstrVal, &texts[i])); }
  Call& ArrayOut() { return In(Of(static_cast<VARTYPE>(VT_BYREF | VT_ARRAY | VT_BSTR), &VARIANT::pparray, &array)); }
  Call& VariantOut(int i) { return In(Of(static_cast<VARTYPE>(VT_BYREF | VT_VARIANT), &VARIANT::pvarVal, &held[i])); }
};

class DispatchE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.emplace("velquin-dispatch");
    vcam::CameraOptions options;
    options.model = "KX1";  // no preset-zero re-apply
    options.sampleContent = false;
    options.slotCount = 5;
    camera_ = vcam::CreateCamera(env_->Cameras(), "cam", options);
    identifier_ = camera_->identity().friendlyName + "#" + camera_->identity().uniqueId;
    void* p = nullptr;
    ASSERT_EQ(camctl::CameraControl::Create(nullptr, IID_ICDVCameraControl, &p), S_OK);
    camera_control_ = static_cast<ICDVCameraControl*>(p);
  }
  void TearDown() override {
    if (camera_control_ != nullptr) camera_control_->Release();
    camera_.reset();
    env_.reset();
  }

  IDispatch* Interface(REFIID iid) {
    void* p = nullptr;
    EXPECT_EQ(camera_control_->QueryInterface(iid, &p), S_OK);
    static_cast<IUnknown*>(p)->Release();  // the object keeps it alive
    return static_cast<IDispatch*>(p);
  }
  static DISPID IdOf(IDispatch* object, const std::string& name) {
    platform::ComString wide = platform::Utf8ToCom(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id), S_OK) << name;
    return id;
  }
  // Invokes with the arguments reversed, as a client lays them out.
  static HRESULT Invoke(IDispatch* object, DISPID id, Call& call, EXCEPINFO& exception, UINT& argError,
                        WORD flags = DISPATCH_METHOD) {
    std::vector<VARIANT> reversed(call.args.rbegin(), call.args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    VARIANT result;
    VariantInit(&result);
    argError = 0xFFFF;
    const HRESULT hr = object->Invoke(id, IID_NULL, 0x409, flags, &params, &result, &exception, &argError);
    EXPECT_EQ(result.vt, VT_EMPTY) << "no method has a result value";
    return hr;
  }

  std::optional<vcam::testing::IsolatedEnvironment> env_;
  std::unique_ptr<vcam::Camera> camera_;
  std::string identifier_;
  ICDVCameraControl* camera_control_ = nullptr;
};

TEST_F(DispatchE2eTest, InvokeCallsEveryInterfaceByDispid) {
  auto* devices = static_cast<ICDVEnumDevice*>(Interface(IID_ICDVEnumDevice));
  auto* presets = static_cast<ICDVPresetControl*>(Interface(IID_ICDVPresetControl));
  auto* preview = static_cast<ICDVPreviewControl*>(Interface(IID_ICDVPreviewControl));
  auto* modes = static_cast<ICDVDeviceControl*>(Interface(IID_ICDVDeviceControl));
  {
    Call select;
    select.Text(identifier_);
    EXCEPINFO e{};
    UINT bad = 0;
    ASSERT_EQ(Invoke(devices, IdOf(devices, "SelectDevice"), select, e, bad), S_OK);
  }
  // The same calls made directly: what the late-bound ones must deliver.
  LONG capability = 0, status = 0, minimum = 0, maximum = 0, fallback = 0, slots = 0, permission = 0;
  LONG cvMode = 0, emergency = 0, evf = 0;
  ASSERT_EQ(camera_control_->GetCapability(&capability), S_OK);
  ASSERT_EQ(camera_control_->GetStatus(1, &status), S_OK);
  ASSERT_EQ(camera_control_->GetRange(20, &minimum, &maximum, &fallback), S_OK);
  ASSERT_EQ(presets->GetPresetCount(&slots), S_OK);
  ASSERT_EQ(presets->GetAccessPermission(2, &permission), S_OK);
  ASSERT_EQ(modes->GetCVMode(&cvMode, &emergency), S_OK);
  ASSERT_EQ(modes->GetEvfDisplay(&evf), S_OK);
  // Without an owner window the preview may or may not start; the late-bound
  // call must give what the direct one gave.
  const HRESULT previewResult = preview->StartPreview();
  preview->StopPreview();
  BSTR noName = nullptr;
  const HRESULT outOfRange = presets->GetPresetName(99, &noName);
  ASSERT_TRUE(FAILED(outOfRange));

  struct Case {
    const char* name;
    IDispatch* object;
    const char* method;
    std::function<void(Call&)> args;
    HRESULT expected;
    UINT argError;     // checked for argument errors
    HRESULT scode;     // checked for DISP_E_EXCEPTION
    std::function<void(const Call&)> check;
  };
  const Case cases[] = {
      {"EnumerateDevice into typed references", devices, "EnumerateDevice",
       [](Call& c) { c.ArrayOut().LongOut(0); }, S_OK, 0, 0,
       [&](const Call& c) {
         EXPECT_EQ(c.longs[0], 1);
         ASSERT_NE(c.array, nullptr);
         LONG index = 0;
         BSTR first = nullptr;
         ASSERT_EQ(SafeArrayGetElement(c.array, &index, &first), S_OK);
         EXPECT_EQ(Narrow(first), identifier_);
         SysFreeString(first);
       }},
      {"EnumerateDevice into VARIANT references", devices, "EnumerateDevice",
       [](Call& c) { c.VariantOut(0).VariantOut(1); }, S_OK, 0, 0,
       [](const Call& c) {
         EXPECT_EQ(c.held[0].vt, VT_ARRAY | VT_BSTR);
         EXPECT_EQ(c.held[1].vt, VT_I4);
         EXPECT_EQ(c.held[1].lVal, 1);
       }},
      {"GetDeviceInfo", devices, "GetDeviceInfo",
       [&](Call& c) { c.Text(identifier_).TextOut(0).TextOut(1).VariantOut(0); }, S_OK, 0, 0,
       [&](const Call& c) {
         EXPECT_EQ(Narrow(c.texts[1]), camera_->identity().devicePath);
         EXPECT_EQ(c.held[0].vt, VT_BSTR);
         EXPECT_FALSE(Narrow(c.texts[0]).empty());
       }},
      {"SelectDevice while selected fails as a direct call does", devices, "SelectDevice",
       [&](Call& c) { c.Text(identifier_); }, DISP_E_EXCEPTION, 0, camctl::CAM_E_LOCK_TIMEOUT, nullptr},
      {"RemoveDevice with an argument", devices, "RemoveDevice", [](Call& c) { c.In(Long(1)); },
       DISP_E_BADPARAMCOUNT, 0, 0, nullptr},
      {"GetPresetCount", presets, "GetPresetCount", [](Call& c) { c.LongOut(0); }, S_OK, 0, 0,
       [&](const Call& c) { EXPECT_EQ(c.longs[0], slots); }},
      {"GetAccessPermission with the slot as text", presets, "GetAccessPermission",
       [](Call& c) { c.Text(" 2 ").LongOut(0); }, S_OK, 0, 0,
       [&](const Call& c) { EXPECT_EQ(c.longs[0], permission); }},
      {"GetAccessPermission with a value where a reference belongs", presets, "GetAccessPermission",
       [](Call& c) { c.In(Long(2)).In(Long(0)); }, DISP_E_TYPEMISMATCH, 0, 0, nullptr},
      {"SelectPreset with text that is no number", presets, "SelectPreset", [](Call& c) { c.Text("two"); },
       DISP_E_TYPEMISMATCH, 0, 0, nullptr},
      {"SetPresetName without its name", presets, "SetPresetName",
       [](Call& c) { c.In(Long(1)).In(Missing()); }, DISP_E_PARAMNOTOPTIONAL, 0, 0, nullptr},
      {"GetPresetName of a slot out of range", presets, "GetPresetName",
       [](Call& c) { c.In(Of(VT_I2, &VARIANT::iVal, SHORT{99})).TextOut(0); }, DISP_E_EXCEPTION, 0,
       outOfRange, nullptr},
      {"GetCapability", camera_control_, "GetCapability", [](Call& c) { c.LongOut(0); }, S_OK, 0, 0,
       [&](const Call& c) { EXPECT_EQ(c.longs[0], capability); }},
      {"GetStatus into a VARIANT", camera_control_, "GetStatus",
       [](Call& c) { c.In(Of(VT_UI1, &VARIANT::bVal, BYTE{1})).VariantOut(0); }, S_OK, 0, 0,
       [&](const Call& c) {
         EXPECT_EQ(c.held[0].vt, VT_I4);
         EXPECT_EQ(c.held[0].lVal, status);
       }},
      {"GetRange with the function as a real", camera_control_, "GetRange",
       [](Call& c) { c.In(Of(VT_R8, &VARIANT::dblVal, 20.0)).LongOut(0).LongOut(1).LongOut(2); }, S_OK, 0, 0,
       [&](const Call& c) {
         EXPECT_EQ(c.longs[0], minimum);
         EXPECT_EQ(c.longs[1], maximum);
         EXPECT_EQ(c.longs[2], fallback);
       }},
      {"SetStatus with a value out of 32 bits", camera_control_, "SetStatus",
       [](Call& c) { c.In(Long(1)).In(Of(VT_I8, &VARIANT::llVal, LONGLONG{1} << 40)); }, DISP_E_OVERFLOW, 0, 0,
       nullptr},
      {"StartPreview", preview, "StartPreview", [](Call&) {}, FAILED(previewResult) ? DISP_E_EXCEPTION : S_OK, 0,
       previewResult, nullptr},
      {"MoveWindow with three of four", preview, "MoveWindow",
       [](Call& c) { c.In(Long(0)).In(Long(0)).In(Long(10)); }, DISP_E_BADPARAMCOUNT, 0, 0, nullptr},
      {"GetCVMode", modes, "GetCVMode", [](Call& c) { c.LongOut(0).LongOut(1); }, S_OK, 0, 0,
       [&](const Call& c) {
         EXPECT_EQ(c.longs[0], cvMode);
         EXPECT_EQ(c.longs[1], emergency);
       }},
      {"GetEvfDisplay into a VARIANT", modes, "GetEvfDisplay", [](Call& c) { c.VariantOut(0); }, S_OK, 0, 0,
       [&](const Call& c) { EXPECT_EQ(c.held[0].lVal, evf); }},
      {"SetEvfDisplay with an object", modes, "SetEvfDisplay",
       [](Call& c) { c.In(Of(VT_UNKNOWN, &VARIANT::punkVal, static_cast<IUnknown*>(nullptr))); },
       DISP_E_TYPEMISMATCH, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    c.args(call);
    EXCEPINFO exception{};
    UINT argError = 0;
    const HRESULT hr = Invoke(c.object, IdOf(c.object, c.method), call, exception, argError);
    EXPECT_EQ(hr, c.expected);
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTOPTIONAL || hr == DISP_E_OVERFLOW) {
      // Named by its place in rgvarg: the last parameter is rgvarg[0].
      EXPECT_EQ(argError, c.argError);
    }
    if (hr == DISP_E_EXCEPTION) {
      EXPECT_EQ(exception.scode, c.scode);
    }
    SysFreeString(exception.bstrSource);
    if (hr == S_OK && c.check) c.check(call);
  }

  // Wrong member, named arguments and property access.
  Call none;
  EXCEPINFO e{};
  UINT bad = 0;
  EXPECT_EQ(Invoke(modes, 99, none, e, bad), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Invoke(modes, IdOf(modes, "GetColorBars"), none, e, bad, DISPATCH_PROPERTYGET), DISP_E_MEMBERNOTFOUND);
  Call one;
  one.LongOut(0);
  DISPID named = 0;
  DISPPARAMS params{one.args.data(), &named, 1, 1};
  EXPECT_EQ(modes->Invoke(IdOf(modes, "GetColorBars"), IID_NULL, 0x409, DISPATCH_METHOD, &params, nullptr, nullptr,
                          nullptr),
            DISP_E_NONAMEDARGS);
}

// A bad argument is named by its index in rgvarg, where the first parameter comes last.
TEST_F(DispatchE2eTest, ArgumentErrorsNameTheirPlaceInTheArgumentArray) {
  auto* camera = Interface(IID_ICDVCameraControl);
  Call call;
  call.In(Long(1)).LongOut(0).Text("not a reference").LongOut(1);  // GetRange: the third parameter is wrong
  EXCEPINFO e{};
  UINT argError = 0;
  EXPECT_EQ(Invoke(camera, IdOf(camera, "GetRange"), call, e, argError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 1u);
}

// The type information describes each interface from its method table, and
// calls through it reach the object as IDispatch::Invoke does.
TEST_F(DispatchE2eTest, TypeInformationDescribesEachInterface) {
  for (const camctl::InterfaceMethods& entry : camctl::AllInterfaceMethods()) {
    SCOPED_TRACE(std::string(entry.interfaceName));
    IDispatch* object = Interface(*entry.iid);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(object->GetTypeInfo(0, 0x409, &info), S_OK);
    ASSERT_NE(info, nullptr);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, *entry.iid));
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attributes->cFuncs, entry.methods.size());
    EXPECT_NE(attributes->wTypeFlags & TYPEFLAG_FDUAL, 0);
    info->ReleaseTypeAttr(attributes);
    for (UINT i = 0; i < entry.methods.size(); ++i) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
      EXPECT_EQ(function->memid, static_cast<MEMBERID>(i + 1));
      BSTR name = nullptr;
      ASSERT_EQ(info->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr), S_OK);
      EXPECT_EQ(Narrow(name), entry.methods[i]);
      SysFreeString(name);
      for (SHORT p = 0; p < function->cParams; ++p) {
        const ELEMDESC& param = function->lprgelemdescParam[p];
        const bool out = param.tdesc.vt == VT_PTR;
        EXPECT_EQ(param.paramdesc.wParamFlags, out ? PARAMFLAG_FOUT : PARAMFLAG_FIN);
      }
      info->ReleaseFuncDesc(function);
    }
    FUNCDESC* none = nullptr;
    EXPECT_EQ(info->GetFuncDesc(static_cast<UINT>(entry.methods.size()), &none), TYPE_E_ELEMENTNOTFOUND);
    BSTR name = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Narrow(name), entry.interfaceName);
    SysFreeString(name);
    info->Release();
  }

  // GetRange's out-parameters are long pointers; EnumerateDevice's first is a string array.
  ITypeInfo* info = nullptr;
  ASSERT_EQ(Interface(IID_ICDVEnumDevice)->GetTypeInfo(0, 0, &info), S_OK);
  FUNCDESC* enumerate = nullptr;
  ASSERT_EQ(info->GetFuncDesc(0, &enumerate), S_OK);
  ASSERT_EQ(enumerate->cParams, 2);
  EXPECT_EQ(enumerate->lprgelemdescParam[0].tdesc.lptdesc->vt, VT_SAFEARRAY);
  EXPECT_EQ(enumerate->lprgelemdescParam[0].tdesc.lptdesc->lptdesc->vt, VT_BSTR);
  EXPECT_EQ(enumerate->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_I4);

  // A call through the type information.
  auto* devices = static_cast<ICDVEnumDevice*>(Interface(IID_ICDVEnumDevice));
  Call call;
  call.ArrayOut().LongOut(0);
  std::vector<VARIANT> reversed(call.args.rbegin(), call.args.rend());
  DISPPARAMS params{reversed.data(), nullptr, 2, 0};
  EXPECT_EQ(info->Invoke(devices, 1, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(call.longs[0], 1);
  info->Release();
}

}  // namespace
