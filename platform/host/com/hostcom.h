// Host COM runtime: the Windows COM and OLE automation names, types and memory
// layouts on Linux, so that the portable core and its clients compile unchanged.
// Only what the system uses is declared. Strings are UTF-16 code units, LONG and
// HRESULT are 32-bit, interfaces have the Windows vtable order (no virtual
// destructors, methods in declaration order).
#pragma once

#ifdef _WIN32
#error "hostcom.h is the Linux stand-in; Windows builds use the system headers"
#endif

#include <cstddef>
#include <cstdint>

#define HOSTCOM_API extern "C" __attribute__((visibility("default")))

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI
#define STDAPI extern "C" HRESULT
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define OLESTR(str) u##str

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t INT;
typedef uint32_t UINT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int16_t SHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef DWORD LCID;
typedef LONG DISPID;
typedef USHORT VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

static_assert(sizeof(LONG) == 4 && sizeof(HRESULT) == 4 && sizeof(OLECHAR) == 2,
              "COM types have Windows sizes");

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  const auto* x = reinterpret_cast<const uint8_t*>(&a);
  const auto* y = reinterpret_cast<const uint8_t*>(&b);
  for (int i = 0; i < 16; ++i)
    if (x[i] != y[i]) return false;
  return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

#define MAKE_HRESULT_CONST(v) (static_cast<HRESULT>(static_cast<uint32_t>(v)))
#define S_OK MAKE_HRESULT_CONST(0x00000000u)
#define S_FALSE MAKE_HRESULT_CONST(0x00000001u)
#define E_NOTIMPL MAKE_HRESULT_CONST(0x80004001u)
#define E_NOINTERFACE MAKE_HRESULT_CONST(0x80004002u)
#define E_POINTER MAKE_HRESULT_CONST(0x80004003u)
#define E_ABORT MAKE_HRESULT_CONST(0x80004004u)
#define E_FAIL MAKE_HRESULT_CONST(0x80004005u)
#define E_UNEXPECTED MAKE_HRESULT_CONST(0x8000FFFFu)
#define E_ACCESSDENIED MAKE_HRESULT_CONST(0x80070005u)
#define E_HANDLE MAKE_HRESULT_CONST(0x80070006u)
#define E_OUTOFMEMORY MAKE_HRESULT_CONST(0x8007000Eu)
#define E_INVALIDARG MAKE_HRESULT_CONST(0x80070057u)
#define CLASS_E_NOAGGREGATION MAKE_HRESULT_CONST(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE MAKE_HRESULT_CONST(0x80040111u)
#define REGDB_E_CLASSNOTREG MAKE_HRESULT_CONST(0x80040154u)
#define REGDB_E_READREGDB MAKE_HRESULT_CONST(0x80040150u)
#define REGDB_E_WRITEREGDB MAKE_HRESULT_CONST(0x80040151u)
#define CO_E_NOTINITIALIZED MAKE_HRESULT_CONST(0x800401F0u)
#define CO_E_DLLNOTFOUND MAKE_HRESULT_CONST(0x800401F8u)
#define CO_E_ERRORINDLL MAKE_HRESULT_CONST(0x800401F9u)
#define DISP_E_UNKNOWNINTERFACE MAKE_HRESULT_CONST(0x80020001u)
#define DISP_E_MEMBERNOTFOUND MAKE_HRESULT_CONST(0x80020003u)
#define DISP_E_UNKNOWNNAME MAKE_HRESULT_CONST(0x80020006u)
#define DISP_E_BADINDEX MAKE_HRESULT_CONST(0x8002000Bu)
#define DISP_E_ARRAYISLOCKED MAKE_HRESULT_CONST(0x8002000Du)
#define TYPE_E_ELEMENTNOTFOUND MAKE_HRESULT_CONST(0x8002802Bu)
#define SELFREG_E_CLASS MAKE_HRESULT_CONST(0x80040201u)
#define SELFREG_E_TYPELIB MAKE_HRESULT_CONST(0x80040200u)
#define CO_E_CLASSSTRING MAKE_HRESULT_CONST(0x800401F3u)
#define CO_E_IIDSTRING MAKE_HRESULT_CONST(0x800401F4u)
#define RPC_E_CHANGED_MODE MAKE_HRESULT_CONST(0x80010106u)
#define DISP_E_TYPEMISMATCH MAKE_HRESULT_CONST(0x80020005u)
#define DISP_E_PARAMNOTFOUND MAKE_HRESULT_CONST(0x80020004u)
#define DISP_E_NONAMEDARGS MAKE_HRESULT_CONST(0x80020007u)
#define DISP_E_EXCEPTION MAKE_HRESULT_CONST(0x80020009u)
#define DISP_E_BADPARAMCOUNT MAKE_HRESULT_CONST(0x8002000Eu)
#define DISP_E_PARAMNOTOPTIONAL MAKE_HRESULT_CONST(0x8002000Fu)
#define DISP_E_BADVARTYPE MAKE_HRESULT_CONST(0x80020008u)
#define DISP_E_OVERFLOW MAKE_HRESULT_CONST(0x8002000Au)

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(e)                                                        \
  (static_cast<HRESULT>(e) <= 0                                                      \
       ? static_cast<HRESULT>(e)                                                     \
       : static_cast<HRESULT>((static_cast<uint32_t>(e) & 0x0000FFFFu) | 0x80070000u))

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_BADDB 1009
#define ERROR_REGISTRY_IO_FAILED 1016
#define ERROR_UNSUPPORTED_TYPE 1630
#define ERROR_NOT_SUPPORTED 50
#define ERROR_REQ_NOT_ACCEP 71
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BUSY 170
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_REQUEST_ABORTED 1235
#define ERROR_TIMEOUT 1460
#define ERROR_DEVICE_REMOVED 1617

// Class contexts and CoInitializeEx flags.
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

// Variant types used by SAFEARRAY and VARIANT.
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_CREATEVECTOR 0x2000

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
static_assert(offsetof(SAFEARRAY, pvData) == 16 && sizeof(SAFEARRAY) == 32,
              "SAFEARRAY has the 64-bit Windows layout");

struct IUnknown;
struct IDispatch;
struct ITypeInfo;

struct DECIMAL_PLACEHOLDER {
  uint64_t lo, hi;
};

// A record held by a VARIANT (VT_RECORD).
struct VARIANT_RECORD {
  PVOID pvRecord;
  PVOID pRecInfo;
};

// Automation VARIANT with the Windows layout (24 bytes on 64-bit builds).
struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    char cVal;
    USHORT uiVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    ULONGLONG ullVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    LONGLONG llVal;
    float fltVal;
    double dblVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    LONG* plVal;
    BSTR* pbstrVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    PVOID byref;
    VARIANT_RECORD record;
  };
};
typedef VARIANT VARIANTARG;
static_assert(sizeof(VARIANT) == 24, "VARIANT has the 64-bit Windows size");

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
  HRESULT scode;
};

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPID_UNKNOWN (-1)

// Type information, as far as a type-information object built without a type
// library describes an interface (Windows layouts).
typedef LONG MEMBERID;
typedef DWORD HREFTYPE;
typedef LONG SCODE;
#define MEMBERID_NIL DISPID_UNKNOWN
enum TYPEKIND { TKIND_ENUM, TKIND_RECORD, TKIND_MODULE, TKIND_INTERFACE, TKIND_DISPATCH, TKIND_COCLASS, TKIND_ALIAS, TKIND_UNION, TKIND_MAX };
enum FUNCKIND { FUNC_VIRTUAL, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH };
enum INVOKEKIND { INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4, INVOKE_PROPERTYPUTREF = 8 };
enum CALLCONV { CC_FASTCALL = 0, CC_CDECL = 1, CC_PASCAL = 2, CC_MACPASCAL = 3, CC_STDCALL = 4 };
#define TYPEFLAG_FDUAL 0x40
#define TYPEFLAG_FNONEXTENSIBLE 0x80
#define TYPEFLAG_FDISPATCHABLE 0x1000
#define PARAMFLAG_NONE 0x0
#define PARAMFLAG_FIN 0x1
#define PARAMFLAG_FOUT 0x2
#define TYPE_E_LIBNOTREGISTERED MAKE_HRESULT_CONST(0x8002801Du)

struct ARRAYDESC;
struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;
    ARRAYDESC* lpadesc;
    HREFTYPE hreftype;
  };
  VARTYPE vt;
};
struct IDLDESC {
  uintptr_t dwReserved;
  USHORT wIDLFlags;
};
struct PARAMDESCEX;
struct PARAMDESC {
  PARAMDESCEX* pparamdescex;
  USHORT wParamFlags;
};
struct ELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
};
struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
  IDLDESC idldescType;
};
struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  SHORT cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};
struct VARDESC;
struct ITypeComp;
struct ITypeLib;
static_assert(sizeof(TYPEDESC) == 16 && sizeof(ELEMDESC) == 32 && sizeof(TYPEATTR) == 96 &&
                  sizeof(FUNCDESC) == 88,
              "type information records have the 64-bit Windows layouts");

extern "C++" {

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                  LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid,
                                           WORD wFlags, DISPPARAMS* pDispParams,
                                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                           UINT* puArgErr) = 0;
};

struct ITypeInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** ppVarDesc) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                             UINT* pcNames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags,
                                           DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                           EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                                     DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName,
                                                BSTR* pBstrName, WORD* pwOrdinal) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMops(MEMBERID memid, BSTR* pBstrMops) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
  virtual void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
  virtual void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;
  virtual void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* pVarDesc) = 0;
};

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

}  // extern "C++"

#define HOSTCOM_DATA extern "C" __attribute__((visibility("default")))
HOSTCOM_DATA const IID IID_IUnknown;
HOSTCOM_DATA const IID IID_IDispatch;
HOSTCOM_DATA const IID IID_IClassFactory;
HOSTCOM_DATA const IID IID_ITypeInfo;
HOSTCOM_DATA const IID IID_ISupportErrorInfo;
HOSTCOM_DATA const IID IID_NULL;
HOSTCOM_DATA const IID GUID_NULL;

// Strings.
HOSTCOM_API BSTR SysAllocString(const OLECHAR* psz);
HOSTCOM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
HOSTCOM_API BSTR SysAllocStringByteLen(const char* psz, UINT len);
HOSTCOM_API UINT SysStringLen(BSTR pbstr);
HOSTCOM_API UINT SysStringByteLen(BSTR bstr);
HOSTCOM_API void SysFreeString(BSTR bstrString);
HOSTCOM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);

// Safe arrays.
HOSTCOM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HOSTCOM_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
HOSTCOM_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HOSTCOM_API UINT SafeArrayGetDim(SAFEARRAY* psa);
HOSTCOM_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HOSTCOM_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HOSTCOM_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HOSTCOM_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HOSTCOM_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HOSTCOM_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HOSTCOM_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HOSTCOM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HOSTCOM_API HRESULT SafeArrayLock(SAFEARRAY* psa);
HOSTCOM_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);

// Variants.
HOSTCOM_API void VariantInit(VARIANT* pvarg);
HOSTCOM_API HRESULT VariantClear(VARIANT* pvarg);
HOSTCOM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

// GUID text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
HOSTCOM_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
HOSTCOM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
HOSTCOM_API HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
HOSTCOM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);

// Runtime: in-process servers are found through the registry store
// (HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32), loaded with dlopen and asked
// through their DllGetClassObject export.
HOSTCOM_API HRESULT CoInitialize(LPVOID pvReserved);
HOSTCOM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HOSTCOM_API void CoUninitialize();
HOSTCOM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                     REFIID riid, LPVOID* ppv);
HOSTCOM_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                     REFIID riid, LPVOID* ppv);
HOSTCOM_API void CoFreeUnusedLibraries();
HOSTCOM_API LPVOID CoTaskMemAlloc(size_t cb);
HOSTCOM_API void CoTaskMemFree(LPVOID pv);

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)();
