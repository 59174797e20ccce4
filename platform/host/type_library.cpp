// Hosts have no type libraries: each interface's type information is built
// from its method table and late-bound calls are dispatched by DISPID through
// the table, converting arguments as the system's type-library dispatch does.
// Registration records the library's key as the system would.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/type_library.h"

namespace platform {
namespace {

bool EqualsIgnoringAsciiCase(const OLECHAR* wide, std::string_view narrow) {
  size_t i = 0;
  for (; i < narrow.size(); ++i) {
    OLECHAR a = wide[i];
    char b = narrow[i];
    if (a == 0) return false;
    if (a >= 'A' && a <= 'Z') a = static_cast<OLECHAR>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != static_cast<OLECHAR>(static_cast<unsigned char>(b))) return false;
  }
  return wide[i] == 0;
}

ComString LibraryKey(const TypeLibraryId& library) {
  ComString key = COM_TEXT("TypeLib\\");
  key += GuidToString(library.libid);
  return key;
}

ComString VersionText(const TypeLibraryId& library) {
  return Utf8ToCom(std::to_string(library.major) + "." + std::to_string(library.minor));
}

BSTR AllocName(std::string_view name) {
  const ComString text = Utf8ToCom(name);
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// ---- Argument conversion -------------------------------------------------

// A VARIANT passed by reference to a VARIANT stands for that VARIANT.
const VARIANT& Referenced(const VARIANT& v) {
  return (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr) ? *v.pvarVal : v;
}

HRESULT FromWide(long long value, LONG& out) {
  if (value < std::numeric_limits<LONG>::min() || value > std::numeric_limits<LONG>::max()) return DISP_E_OVERFLOW;
  out = static_cast<LONG>(value);
  return S_OK;
}

// Decimal text with optional blanks and sign, as a numeric string converts.
HRESULT FromText(BSTR text, LONG& out) {
  const std::string narrow = ComToUtf8(ComStringView(text ? text : u"", text ? SysStringLen(text) : 0));
  size_t i = 0;
  while (i < narrow.size() && narrow[i] == ' ') ++i;
  bool negative = false;
  if (i < narrow.size() && (narrow[i] == '-' || narrow[i] == '+')) negative = narrow[i++] == '-';
  long long value = 0;
  size_t digits = 0;
  for (; i < narrow.size() && narrow[i] >= '0' && narrow[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (narrow[i] - '0');
    if (value > (1LL << 40)) return DISP_E_OVERFLOW;
  }
  while (i < narrow.size() && narrow[i] == ' ') ++i;
  if (digits == 0 || i != narrow.size()) return DISP_E_TYPEMISMATCH;
  return FromWide(negative ? -value : value, out);
}

HRESULT FromReal(double value, LONG& out) {
  if (!std::isfinite(value)) return DISP_E_OVERFLOW;
  const double rounded = std::nearbyint(value);  // to even, as the system rounds
  if (rounded < -2147483648.0 || rounded > 2147483647.0) return DISP_E_OVERFLOW;
  out = static_cast<LONG>(rounded);
  return S_OK;
}

HRESULT ToLong(const VARIANT& given, LONG& out) {
  const VARIANT& v = Referenced(given);
  switch (v.vt) {
    case VT_EMPTY: out = 0; return S_OK;
    case VT_I1: out = static_cast<signed char>(v.cVal); return S_OK;
    case VT_UI1: out = v.bVal; return S_OK;
    case VT_I2: out = v.iVal; return S_OK;
    case VT_UI2: out = v.uiVal; return S_OK;
    case VT_I4: out = v.lVal; return S_OK;
    case VT_INT: out = v.intVal; return S_OK;
    case VT_UI4: return FromWide(v.ulVal, out);
    case VT_UINT: return FromWide(v.uintVal, out);
    case VT_I8: return FromWide(v.llVal, out);
    case VT_UI8:
      if (v.ullVal > static_cast<ULONGLONG>(std::numeric_limits<LONG>::max())) return DISP_E_OVERFLOW;
      out = static_cast<LONG>(v.ullVal);
      return S_OK;
    case VT_BOOL: out = v.boolVal != 0 ? -1 : 0; return S_OK;
    case VT_R4: return FromReal(v.fltVal, out);
    case VT_R8: return FromReal(v.dblVal, out);
    case VT_BSTR: return FromText(v.bstrVal, out);
    case VT_BYREF | VT_I4:
      if (v.plVal == nullptr) return E_INVALIDARG;
      out = *v.plVal;
      return S_OK;
    case VT_BYREF | VT_BSTR:
      if (v.pbstrVal == nullptr) return E_INVALIDARG;
      return FromText(*v.pbstrVal, out);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// `owned` receives a string made here, to be freed after the call.
HRESULT ToString(const VARIANT& given, BSTR& out, BSTR& owned) {
  const VARIANT& v = Referenced(given);
  if (v.vt == VT_BSTR) {
    out = v.bstrVal;
    return S_OK;
  }
  if (v.vt == (VT_BYREF | VT_BSTR)) {
    if (v.pbstrVal == nullptr) return E_INVALIDARG;
    out = *v.pbstrVal;
    return S_OK;
  }
  if (v.vt == VT_EMPTY) {
    out = nullptr;  // the empty string
    return S_OK;
  }
  // Integers become their decimal text.
  LONG number = 0;
  switch (v.vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_INT: case VT_UI4: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_BOOL: case VT_BYREF | VT_I4: {
      const HRESULT hr = ToLong(v, number);
      if (FAILED(hr)) return hr;
      break;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
  owned = AllocName(std::to_string(number));
  if (owned == nullptr) return E_OUTOFMEMORY;
  out = owned;
  return S_OK;
}

// The places of one call's arguments: converted values, strings made for the
// call and out-values held here for a VARIANT passed by reference.
struct CallFrame {
  static constexpr size_t kMaxParams = 8;
  DispatchArgument args[kMaxParams];
  BSTR ownedText[kMaxParams] = {};
  LONG heldNumber[kMaxParams] = {};
  BSTR heldText[kMaxParams] = {};
  SAFEARRAY* heldArray[kMaxParams] = {};
  VARIANT* heldTarget[kMaxParams] = {};  // the VARIANT the held value goes to

  ~CallFrame() {
    for (size_t i = 0; i < kMaxParams; ++i) {
      SysFreeString(ownedText[i]);
      SysFreeString(heldText[i]);
      if (heldArray[i] != nullptr) SafeArrayDestroy(heldArray[i]);
    }
  }

  // Stores held out-values into their VARIANTs; they belong to the caller then.
  void Deliver(std::span<const ParamType> params) {
    for (size_t i = 0; i < params.size(); ++i) {
      VARIANT* target = heldTarget[i];
      if (target == nullptr) continue;
      VariantClear(target);
      switch (params[i]) {
        case ParamType::LongOut:
          target->vt = VT_I4;
          target->lVal = heldNumber[i];
          break;
        case ParamType::StringOut:
          target->vt = VT_BSTR;
          target->bstrVal = heldText[i];
          heldText[i] = nullptr;
          break;
        case ParamType::StringArrayOut:
          target->vt = VT_ARRAY | VT_BSTR;
          target->parray = heldArray[i];
          heldArray[i] = nullptr;
          break;
        default:
          break;
      }
    }
  }
};

HRESULT Convert(const VARIANT& v, ParamType type, size_t i, CallFrame& frame) {
  DispatchArgument& arg = frame.args[i];
  // An out-value goes to a variable of its type by reference, or to a VARIANT by reference.
  const bool toVariant = v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr;
  switch (type) {
    case ParamType::Long: return ToLong(v, arg.number);
    case ParamType::String: return ToString(v, arg.text, frame.ownedText[i]);
    case ParamType::LongOut:
      if (toVariant) {
        frame.heldTarget[i] = v.pvarVal;
        arg.numberOut = &frame.heldNumber[i];
        return S_OK;
      }
      if (v.vt != (VT_BYREF | VT_I4) || v.plVal == nullptr) return DISP_E_TYPEMISMATCH;
      arg.numberOut = v.plVal;
      return S_OK;
    case ParamType::StringOut:
      if (toVariant) {
        frame.heldTarget[i] = v.pvarVal;
        arg.textOut = &frame.heldText[i];
        return S_OK;
      }
      if (v.vt != (VT_BYREF | VT_BSTR) || v.pbstrVal == nullptr) return DISP_E_TYPEMISMATCH;
      arg.textOut = v.pbstrVal;
      return S_OK;
    case ParamType::StringArrayOut:
      if (toVariant) {
        frame.heldTarget[i] = v.pvarVal;
        arg.arrayOut = &frame.heldArray[i];
        return S_OK;
      }
      if (v.vt != (VT_BYREF | VT_ARRAY | VT_BSTR) || v.pparray == nullptr) return DISP_E_TYPEMISMATCH;
      arg.arrayOut = v.pparray;
      return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

// ---- Type descriptions ---------------------------------------------------

TYPEDESC Plain(VARTYPE vt) {
  TYPEDESC d{};
  d.vt = vt;
  return d;
}

}  // namespace

// The type-information object of one interface: a dispatch interface (dual)
// whose functions are the table's methods. It lives as long as its
// InterfaceTypeInfo, that is until the process ends, so references to it are
// not counted.
class TypeInfoObject final : public ITypeInfo {
 public:
  explicit TypeInfoObject(InterfaceTypeInfo& owner) : owner_(owner) {
    static TYPEDESC long_ = Plain(VT_I4);
    static TYPEDESC text = Plain(VT_BSTR);
    static TYPEDESC textArray = [] {
      TYPEDESC d = Plain(VT_SAFEARRAY);
      d.lptdesc = &text;
      return d;
    }();
    const auto methods = owner_.Methods();
    size_t total = 0;
    for (const DispatchMethod& m : methods) total += m.params.size();
    params_.resize(total);
    pointers_.resize(total);
    functions_.resize(methods.size());
    size_t next = 0;
    for (size_t f = 0; f < methods.size(); ++f) {
      FUNCDESC& fd = functions_[f];
      fd = FUNCDESC{};
      fd.memid = static_cast<MEMBERID>(f + 1);
      fd.lprgelemdescParam = methods[f].params.empty() ? nullptr : &params_[next];
      fd.funckind = FUNC_DISPATCH;
      fd.invkind = INVOKE_FUNC;
      fd.callconv = CC_STDCALL;
      fd.cParams = static_cast<SHORT>(methods[f].params.size());
      fd.oVft = static_cast<SHORT>((7 + f) * sizeof(void*));
      fd.elemdescFunc.tdesc = Plain(VT_VOID);
      for (const ParamType type : methods[f].params) {
        ELEMDESC& e = params_[next];
        e = ELEMDESC{};
        TYPEDESC* pointee = nullptr;
        switch (type) {
          case ParamType::Long: e.tdesc = Plain(VT_I4); break;
          case ParamType::String: e.tdesc = Plain(VT_BSTR); break;
          case ParamType::LongOut: pointee = &long_; break;
          case ParamType::StringOut: pointee = &text; break;
          case ParamType::StringArrayOut: pointee = &textArray; break;
        }
        if (pointee != nullptr) {
          pointers_[next] = *pointee;
          e.tdesc = Plain(VT_PTR);
          e.tdesc.lptdesc = &pointers_[next];
          e.paramdesc.wParamFlags = PARAMFLAG_FOUT;
        } else {
          e.paramdesc.wParamFlags = PARAMFLAG_FIN;
        }
        ++next;
      }
    }
    attributes_ = TYPEATTR{};
    attributes_.guid = owner_.Iid();
    attributes_.memidConstructor = MEMBERID_NIL;
    attributes_.memidDestructor = MEMBERID_NIL;
    attributes_.cbSizeInstance = sizeof(void*);
    attributes_.typekind = TKIND_DISPATCH;
    attributes_.cFuncs = static_cast<WORD>(methods.size());
    attributes_.cbSizeVft = static_cast<WORD>(7 * sizeof(void*));
    attributes_.cbAlignment = alignof(void*);
    attributes_.wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_ITypeInfo)) return E_NOINTERFACE;
    *ppv = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // The records are the object's own and stay valid; releasing them does nothing.
  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = &attributes_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (index >= functions_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = &functions_[index];
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

  // Only the member's name: parameter names are not in the tables.
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    const DispatchMethod* method = Find(memid);
    if (method == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    if (max == 0) return S_OK;
    names[0] = AllocName(method->name);
    if (names[0] == nullptr) return E_OUTOFMEMORY;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return owner_.GetIDsOfNames(names, count, 0, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    if (instance == nullptr) return E_INVALIDARG;
    return owner_.Invoke(instance, memid, flags, params, result, exception, argError);
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                                             BSTR* helpFile) override {
    std::string_view text;
    if (memid == MEMBERID_NIL) {
      text = owner_.InterfaceName();
    } else if (const DispatchMethod* method = Find(memid)) {
      text = method->name;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (doc != nullptr) *doc = nullptr;
    if (helpContext != nullptr) *helpContext = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    if (name != nullptr) {
      *name = AllocName(text);
      if (*name == nullptr) return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  // What a description built from a method table does not have.
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** out) override { return Nothing(out); }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** out) override {
    if (out != nullptr) *out = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo** out) override { return Nothing(out); }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* out) override { return Nothing(out); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* out) override { return Nothing(out); }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* out) override {
    if (out != nullptr) *out = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** out, UINT*) override { return Nothing(out); }

 private:
  template <class T>
  static HRESULT Nothing(T** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
  const DispatchMethod* Find(MEMBERID memid) const {
    const auto methods = owner_.Methods();
    if (memid < 1 || static_cast<size_t>(memid) > methods.size()) return nullptr;
    return &methods[static_cast<size_t>(memid) - 1];
  }

  InterfaceTypeInfo& owner_;
  TYPEATTR attributes_{};
  std::vector<FUNCDESC> functions_;
  std::vector<ELEMDESC> params_;
  std::vector<TYPEDESC> pointers_;  // what out-parameters point to
};

InterfaceTypeInfo::InterfaceTypeInfo(const TypeLibraryId& library, const IID& iid, std::string_view interfaceName,
                                     std::span<const DispatchMethod> methods)
    : library_(library), iid_(iid), interfaceName_(interfaceName), methods_(methods) {
  object_ = std::make_unique<TypeInfoObject>(*this);
}

InterfaceTypeInfo::~InterfaceTypeInfo() = default;

HRESULT InterfaceTypeInfo::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *typeInfo = object_.get();
  object_->AddRef();
  return S_OK;
}

HRESULT InterfaceTypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  ids[0] = DISPID_UNKNOWN;
  if (names[0]) {
    for (size_t i = 0; i < methods_.size(); ++i)
      if (EqualsIgnoringAsciiCase(names[0], methods_[i].name)) ids[0] = static_cast<DISPID>(i + 1);
  }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  // Parameter names are not in the tables.
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// Arguments arrive last first (rgvarg[cArgs - 1] is the first parameter); a
// bad one is named in *argError by its index in rgvarg. A method's failure is
// reported as DISP_E_EXCEPTION with its HRESULT in EXCEPINFO::scode, and its
// success codes are not passed on, as the system's dispatch does.
HRESULT InterfaceTypeInfo::Invoke(void* instance, DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* exception, UINT* argError) {
  if (instance == nullptr || params == nullptr) return E_INVALIDARG;
  if (member < 1 || static_cast<size_t>(member) > methods_.size()) return DISP_E_MEMBERNOTFOUND;
  // Methods only: no member is a property.
  if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  const DispatchMethod& method = methods_[static_cast<size_t>(member) - 1];
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != method.params.size() || method.params.size() > CallFrame::kMaxParams)
    return DISP_E_BADPARAMCOUNT;
  if (params->cArgs != 0 && params->rgvarg == nullptr) return E_INVALIDARG;

  CallFrame frame;
  for (size_t i = 0; i < method.params.size(); ++i) {
    const UINT position = params->cArgs - 1 - static_cast<UINT>(i);
    const VARIANT& given = params->rgvarg[position];
    HRESULT hr = (given.vt == VT_ERROR && given.scode == DISP_E_PARAMNOTFOUND)
                     ? DISP_E_PARAMNOTOPTIONAL  // no parameter is optional
                     : Convert(given, method.params[i], i, frame);
    if (FAILED(hr)) {
      if (argError != nullptr) *argError = position;
      return hr;
    }
  }

  if (result != nullptr) VariantInit(result);
  const HRESULT hr = method.call(instance, frame.args);
  if (FAILED(hr)) {
    if (exception != nullptr) {
      std::memset(exception, 0, sizeof *exception);
      exception->bstrSource = AllocName(interfaceName_);
      exception->scode = hr;
    }
    return DISP_E_EXCEPTION;
  }
  frame.Deliver(method.params);
  return S_OK;
}

HRESULT RegisterModuleTypeLibrary(const TypeLibraryId& library, ComStringView modulePath,
                                  ComStringView helpString) {
  const ComString versionKey = LibraryKey(library) + COM_TEXT("\\") + VersionText(library);
  HRESULT hr = registry::SetString(registry::Root::ClassesRoot, versionKey, {}, helpString);
  if (SUCCEEDED(hr))
    hr = registry::SetString(registry::Root::ClassesRoot, versionKey + COM_TEXT("\\0\\linux64"),
                             {}, modulePath);
  if (SUCCEEDED(hr))
    hr = registry::SetString(registry::Root::ClassesRoot, versionKey + COM_TEXT("\\FLAGS"), {},
                             COM_TEXT("0"));
  return hr;
}

HRESULT UnregisterModuleTypeLibrary(const TypeLibraryId& library) {
  return registry::DeleteTree(registry::Root::ClassesRoot, LibraryKey(library));
}

}  // namespace platform
