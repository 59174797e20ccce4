// SAFEARRAY with the Windows layout: 16 hidden bytes before the descriptor
// hold the element VARTYPE (in the last 4 bytes) or the element IID; bounds
// are stored last dimension first; vectors carry their data in the same block.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "hostcom.h"

namespace {

constexpr size_t kHidden = 16;

// Element size, 0 for a type that cannot be an array element.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_R4: case VT_ERROR: case VT_INT: case VT_UINT: return 4;
    case VT_R8: case VT_CY: case VT_DATE: case VT_I8: case VT_UI8: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    case VT_DECIMAL: return 16;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

size_t DescriptorSize(UINT cDims) { return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND); }

unsigned char* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<unsigned char*>(psa) - kHidden; }

void SetFeatures(SAFEARRAY* psa, VARTYPE vt) {
  unsigned char* block = BlockOf(psa);
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    psa->fFeatures = FADF_HAVEIID | (vt == VT_UNKNOWN ? FADF_UNKNOWN : FADF_DISPATCH);
    std::memcpy(block, vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(IID));
    return;
  }
  psa->fFeatures = FADF_HAVEVARTYPE;
  const DWORD hidden = vt;
  std::memcpy(block + kHidden - sizeof hidden, &hidden, sizeof hidden);
  if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
  if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
}

// Total element count; false on overflow of the data size.
bool CellCount(const SAFEARRAY* psa, size_t& cells) {
  uint64_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    n *= psa->rgsabound[i].cElements;
    if (n > 0x7FFFFFFFu) return false;
  }
  if (n * psa->cbElements > 0x7FFFFFFFu) return false;
  cells = static_cast<size_t>(n);
  return true;
}

SAFEARRAY* AllocDescriptor(VARTYPE vt, UINT cDims, size_t inlineData) {
  auto* block = static_cast<unsigned char*>(std::calloc(1, kHidden + DescriptorSize(cDims) + inlineData));
  if (block == nullptr) return nullptr;
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
  psa->cDims = static_cast<USHORT>(cDims);
  psa->cbElements = ElementSize(vt);
  SetFeatures(psa, vt);
  return psa;
}

// Releases what the elements own (strings, interfaces, variants).
void ClearCells(SAFEARRAY* psa) {
  size_t cells = 0;
  if (psa->pvData == nullptr || !CellCount(psa, cells)) return;
  auto* data = static_cast<unsigned char*>(psa->pvData);
  for (size_t i = 0; i < cells; ++i) {
    unsigned char* cell = data + i * psa->cbElements;
    if (psa->fFeatures & FADF_BSTR) {
      BSTR s;
      std::memcpy(&s, cell, sizeof s);
      SysFreeString(s);
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      IUnknown* p;
      std::memcpy(&p, cell, sizeof p);
      if (p != nullptr) p->Release();
    } else if (psa->fFeatures & FADF_VARIANT) {
      VariantClear(reinterpret_cast<VARIANT*>(cell));
    }
  }
  std::memset(data, 0, cells * psa->cbElements);
}

// Address of the cell for indices given last dimension first; nullptr when out of range.
unsigned char* Cell(SAFEARRAY* psa, const LONG* indices) {
  uint64_t offset = 0;
  uint64_t stride = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& b = psa->rgsabound[i];
    const int64_t rel = int64_t{indices[i]} - b.lLbound;
    if (rel < 0 || rel >= int64_t{b.cElements}) return nullptr;
    offset += static_cast<uint64_t>(rel) * stride;
    stride *= b.cElements;
  }
  return static_cast<unsigned char*>(psa->pvData) + offset * psa->cbElements;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* psa) { return std::atomic_ref<ULONG>(psa->cLocks); }

}  // namespace

HOSTCOM_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (cDims == 0 || cDims > 0xFFFF || rgsabound == nullptr || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(vt, cDims, 0);
  if (psa == nullptr) return nullptr;
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
  size_t cells = 0;
  if (!CellCount(psa, cells)) {
    std::free(BlockOf(psa));
    return nullptr;
  }
  psa->pvData = std::calloc(cells == 0 ? 1 : cells, psa->cbElements);
  if (psa->pvData == nullptr) {
    std::free(BlockOf(psa));
    return nullptr;
  }
  return psa;
}

HOSTCOM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const ULONG size = ElementSize(vt);
  if (size == 0 || uint64_t{cElements} * size > 0x7FFFFFFFu) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(vt, 1, size_t{cElements} * size);
  if (psa == nullptr) return nullptr;
  psa->fFeatures |= FADF_CREATEVECTOR;
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  psa->pvData = reinterpret_cast<unsigned char*>(psa) + DescriptorSize(1);
  return psa;
}

HOSTCOM_API HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (Locks(psa).load() > 0) return DISP_E_ARRAYISLOCKED;
  ClearCells(psa);
  // Arrays the caller placed on the stack or inside its own structures keep their memory.
  if (psa->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED)) return S_OK;
  if (!(psa->fFeatures & FADF_CREATEVECTOR)) std::free(psa->pvData);
  psa->pvData = nullptr;
  std::free(BlockOf(psa));
  return S_OK;
}

HOSTCOM_API UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa != nullptr ? psa->cDims : 0; }

HOSTCOM_API UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa != nullptr ? psa->cbElements : 0; }

HOSTCOM_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    DWORD hidden;
    std::memcpy(&hidden, BlockOf(psa) + kHidden - sizeof hidden, sizeof hidden);
    *pvt = static_cast<VARTYPE>(hidden);
    return S_OK;
  }
  if (psa->fFeatures & FADF_HAVEIID) {
    *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
    return S_OK;
  }
  return E_INVALIDARG;
}

HOSTCOM_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HOSTCOM_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(int64_t{b.lLbound} + int64_t{b.cElements} - 1);
  return S_OK;
}

HOSTCOM_API HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (Locks(psa).fetch_add(1) >= 0xFFFF) {
    Locks(psa).fetch_sub(1);
    return E_UNEXPECTED;
  }
  return S_OK;
}

HOSTCOM_API HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  ULONG cur = Locks(psa).load();
  do {
    if (cur == 0) return E_UNEXPECTED;
  } while (!Locks(psa).compare_exchange_weak(cur, cur - 1));
  return S_OK;
}

HOSTCOM_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) {
    *ppvData = nullptr;
    return hr;
  }
  *ppvData = psa->pvData;
  return S_OK;
}

HOSTCOM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HOSTCOM_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  unsigned char* cell = Cell(psa, rgIndices);
  if (cell == nullptr) return DISP_E_BADINDEX;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  if (psa->fFeatures & FADF_BSTR) {
    BSTR src;
    std::memcpy(&src, cell, sizeof src);
    BSTR copy = nullptr;
    if (src != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
      if (copy == nullptr) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) std::memcpy(pv, &copy, sizeof copy);
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* dest = static_cast<VARIANT*>(pv);
    VariantInit(dest);
    hr = VariantCopy(dest, reinterpret_cast<VARIANT*>(cell));
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* p;
    std::memcpy(&p, cell, sizeof p);
    if (p != nullptr) p->AddRef();
    std::memcpy(pv, &p, sizeof p);
  } else {
    std::memcpy(pv, cell, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HOSTCOM_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  // A string or interface element may be null; other kinds need data.
  if (pv == nullptr && !(psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))) return E_INVALIDARG;
  unsigned char* cell = Cell(psa, rgIndices);
  if (cell == nullptr) return DISP_E_BADINDEX;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  if (psa->fFeatures & FADF_BSTR) {
    const auto src = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (src != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
      if (copy == nullptr) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      BSTR old;
      std::memcpy(&old, cell, sizeof old);
      SysFreeString(old);
      std::memcpy(cell, &copy, sizeof copy);
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    hr = VariantCopy(reinterpret_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* fresh = static_cast<IUnknown*>(pv);
    if (fresh != nullptr) fresh->AddRef();
    IUnknown* old;
    std::memcpy(&old, cell, sizeof old);
    if (old != nullptr) old->Release();
    std::memcpy(cell, &fresh, sizeof fresh);
  } else {
    std::memcpy(cell, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}
