// VARIANT lifetime: clearing frees what the variant owns, copying duplicates it.
#include <cstring>

#include "hostcom.h"

namespace {

bool IsKnownType(VARTYPE vt) {
  switch (vt & ~VT_ARRAY) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_VARIANT:
    case VT_UNKNOWN: case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

}  // namespace

HOSTCOM_API void VariantInit(VARIANT* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HOSTCOM_API HRESULT VariantClear(VARIANT* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if ((vt & VT_BYREF) == 0) {
    if (!IsKnownType(vt)) return DISP_E_BADVARTYPE;
    if ((vt & VT_ARRAY) != 0) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvarg->punkVal != nullptr) {
      pvarg->punkVal->Release();
    }
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

HOSTCOM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  const VARTYPE vt = pvargSrc->vt;
  if ((vt & VT_BYREF) == 0 && !IsKnownType(vt)) return DISP_E_BADVARTYPE;
  // Arrays inside variants are not used by this system.
  if ((vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY) return E_NOTIMPL;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy;
  std::memcpy(&copy, pvargSrc, sizeof copy);
  if ((vt & VT_BYREF) == 0) {
    if (vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
      copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                           SysStringByteLen(pvargSrc->bstrVal));
      if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvargSrc->punkVal != nullptr) {
      pvargSrc->punkVal->AddRef();
    }
  }
  std::memcpy(pvargDest, &copy, sizeof copy);
  return S_OK;
}
