// BSTR with the Windows layout: a 32-bit byte length just before the first
// code unit and a two-byte terminator after the last byte.
#include <cstdlib>
#include <cstring>

#include "hostcom.h"

namespace {

// The block keeps the string 8-byte aligned: 4 bytes of padding, the length,
// then the data.
constexpr size_t kHeader = 8;
constexpr uint64_t kMaxBytes = 0x7FFFFFFFu;

BSTR AllocBytes(const void* src, uint64_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + static_cast<size_t>(bytes) + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto len = static_cast<uint32_t>(bytes);
  std::memset(block, 0, 4);
  std::memcpy(block + 4, &len, sizeof len);
  unsigned char* data = block + kHeader;
  if (src != nullptr)
    std::memcpy(data, src, static_cast<size_t>(bytes));
  else
    std::memset(data, 0, static_cast<size_t>(bytes));
  data[bytes] = 0;
  data[bytes + 1] = 0;
  return reinterpret_cast<BSTR>(data);
}

size_t Length(const OLECHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

HOSTCOM_API BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return AllocBytes(psz, uint64_t{Length(psz)} * sizeof(OLECHAR));
}

HOSTCOM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  return AllocBytes(strIn, uint64_t{ui} * sizeof(OLECHAR));
}

HOSTCOM_API BSTR SysAllocStringByteLen(const char* psz, UINT len) { return AllocBytes(psz, len); }

HOSTCOM_API UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t len;
  std::memcpy(&len, reinterpret_cast<const unsigned char*>(bstr) - 4, sizeof len);
  return len;
}

HOSTCOM_API UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

HOSTCOM_API void SysFreeString(BSTR bstrString) {
  if (bstrString == nullptr) return;
  std::free(reinterpret_cast<unsigned char*>(bstrString) - kHeader);
}

HOSTCOM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  // Copy first: psz may point into the old string.
  BSTR fresh = psz != nullptr ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}
