#include "camctl/common/results.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace camctl {
namespace {

constexpr HRESULT H(uint32_t v) { return static_cast<HRESULT>(v); }

// Sorted by unsigned value so a lookup can bisect.
constexpr ResultCodeInfo kCodes[] = {
    {H(0x00000000u), "S_OK", "success"},
    {H(0x00000001u), "S_FALSE", "success, nothing found"},
    {H(0x80004001u), "E_NOTIMPL", "not implemented"},
    {H(0x80004002u), "E_NOINTERFACE", "interface not supported"},
    {H(0x80004003u), "E_POINTER", "null pointer argument"},
    {H(0x80004004u), "E_ABORT", "the request was aborted"},
    {H(0x80004005u), "E_FAIL", "unspecified failure"},
    {H(0x80040110u), "CLASS_E_NOAGGREGATION", "the class does not support this aggregation"},
    {H(0x80040111u), "CLASS_E_CLASSNOTAVAILABLE", "the class is not available from this server"},
    {CAM_E_REJECTED, "CAM_E_REJECTED",
     "the camera refused the command, or it is not allowed in the camera's current mode"},
    {CAM_E_LOCK_TIMEOUT, "CAM_E_LOCK_TIMEOUT", "the camera mutex was not obtained within 300 ms"},
    {CAM_E_FILE_EXISTS, "CAM_E_FILE_EXISTS", "the target file exists and overwriting was not requested"},
    {CAM_E_NOT_CONNECTED, "CAM_E_NOT_CONNECTED", "no camera attached, or a needed channel is missing"},
    {CAM_E_BUSY, "CAM_E_BUSY", "the camera or its storage is busy"},
    {CAM_E_PROTECTED, "CAM_E_PROTECTED", "the preset slot is protected"},
    {CAM_E_BAD_PRESET_FILE, "CAM_E_BAD_PRESET_FILE", "a preset file failed its length checks"},
    {CAM_E_TIMEOUT, "CAM_E_TIMEOUT", "the camera gave no final answer on four attempts"},
    {CAM_E_OUT_OF_RANGE, "CAM_E_OUT_OF_RANGE",
     "a value outside the accepted range, or a write the camera refused"},
    {CAM_E_NOT_SUPPORTED, "CAM_E_NOT_SUPPORTED",
     "function not handled, or the camera does not implement the command"},
    {CAM_E_REMOVED, "CAM_E_REMOVED", "the attached camera has been removed"},
    {CAM_E_PREVIEW_FAILED, "CAM_E_PREVIEW_FAILED", "the preview graph cannot be built"},
    {H(0x8007000Eu), "E_OUTOFMEMORY", "out of memory"},
    {H(0x80070057u), "E_INVALIDARG", "invalid argument"},
};

const ResultCodeInfo* Find(HRESULT code) {
  const auto key = static_cast<uint32_t>(code);
  const auto* it = std::lower_bound(std::begin(kCodes), std::end(kCodes), key,
                                    [](const ResultCodeInfo& e, uint32_t k) {
                                      return static_cast<uint32_t>(e.code) < k;
                                    });
  return (it != std::end(kCodes) && static_cast<uint32_t>(it->code) == key) ? it : nullptr;
}

}  // namespace

const ResultCodeInfo* ResultCodes(size_t& count) {
  count = std::size(kCodes);
  return kCodes;
}

std::string_view ResultName(HRESULT code, char (&buffer)[16]) {
  if (const auto* e = Find(code)) return e->name;
  const auto u = static_cast<uint32_t>(code);
  int n = (u & 0xFFFF0000u) == 0x80070000u
              ? std::snprintf(buffer, sizeof buffer, "WIN32(%u)", static_cast<unsigned>(u & 0xFFFFu))
              : std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(u));
  return {buffer, static_cast<size_t>(std::clamp(n, 0, 15))};
}

std::string_view ResultMeaning(HRESULT code) {
  const auto* e = Find(code);
  return e ? e->meaning : std::string_view{};
}

}  // namespace camctl
