// Well-known interface identifiers and the GUID text form.
#include <cstring>

#include "platform/com.h"

HOSTCOM_DATA const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
HOSTCOM_DATA const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
HOSTCOM_DATA const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
HOSTCOM_DATA const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
HOSTCOM_DATA const IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
HOSTCOM_DATA const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
HOSTCOM_DATA const IID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace {

constexpr INT kGuidChars = 39;  // 38 characters and the terminator

size_t Length(const OLECHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

HOSTCOM_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
  if (lpsz == nullptr || cchMax < kGuidChars) return 0;
  const platform::ComString text = platform::GuidToString(rguid);
  std::memcpy(lpsz, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  return kGuidChars;
}

HOSTCOM_API HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  if (lpiid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  const size_t len = Length(lpsz);
  if (len != kGuidChars - 1) return E_INVALIDARG;
  IID parsed;
  if (!platform::GuidFromString(platform::ComStringView(lpsz, len), parsed)) return CO_E_IIDSTRING;
  *lpiid = parsed;
  return S_OK;
}

HOSTCOM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  CLSID parsed;
  if (platform::GuidFromString(platform::ComStringView(lpsz, Length(lpsz)), parsed)) {
    *pclsid = parsed;
    return S_OK;
  }
  // Not a GUID: the text may be a ProgID.
  if (lpsz[0] != '{' && SUCCEEDED(CLSIDFromProgID(lpsz, &parsed))) {
    *pclsid = parsed;
    return S_OK;
  }
  return CO_E_CLASSSTRING;
}
