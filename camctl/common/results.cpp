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
    // Win32 errors as results: the transports, the storage driver and the
    // file operations report these.
    {H(0x80070002u), "WIN32(2)", "file not found"},
    {H(0x80070003u), "WIN32(3)", "path not found"},
    {H(0x80070004u), "WIN32(4)", "too many open files"},
    {H(0x80070005u), "WIN32(5)", "access denied"},
    {H(0x80070006u), "WIN32(6)", "invalid handle"},
    {H(0x8007000Bu), "WIN32(11)", "not a regular file, or a bad format"},
    {H(0x8007000Eu), "E_OUTOFMEMORY", "out of memory"},
    {H(0x80070015u), "WIN32(21)", "the device is not ready"},
    {H(0x80070017u), "WIN32(23)", "data error: the device failed the transfer"},
    {H(0x8007001Du), "WIN32(29)", "write fault: the data was not all written"},
    {H(0x8007001Fu), "WIN32(31)", "a device attached to the system is not functioning"},
    {H(0x80070020u), "WIN32(32)", "the file is in use by another process"},
    {H(0x80070032u), "WIN32(50)", "the request is not supported"},
    {H(0x80070047u), "WIN32(71)", "the request was not accepted"},
    {H(0x80070050u), "WIN32(80)", "the file exists"},
    {H(0x80070057u), "E_INVALIDARG", "invalid argument"},
    {H(0x80070070u), "WIN32(112)", "disk full"},
    {H(0x800700AAu), "WIN32(170)", "the resource is busy"},
    {H(0x800700B7u), "WIN32(183)", "the file already exists"},
    {H(0x800700CEu), "WIN32(206)", "the file name or extension is too long"},
    {H(0x800703F1u), "WIN32(1009)", "the registry is corrupt"},
    {H(0x800703F8u), "WIN32(1016)", "a registry input/output operation failed"},
    {H(0x8007048Fu), "WIN32(1167)", "the device is not connected"},
    {H(0x800704D3u), "WIN32(1235)", "the request was aborted"},
    {H(0x800705B4u), "WIN32(1460)", "the operation timed out"},
    {H(0x80070651u), "WIN32(1617)", "the device has been removed"},
    {H(0x8007065Eu), "WIN32(1630)", "unsupported data type"},
};

// A lookup bisects the table.
constexpr bool Ascending() {
  for (size_t i = 1; i < std::size(kCodes); ++i)
    if (static_cast<uint32_t>(kCodes[i - 1].code) >= static_cast<uint32_t>(kCodes[i].code)) return false;
  return true;
}
static_assert(Ascending(), "result codes must be listed in ascending order");

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

std::string ResultText(HRESULT code) {
  char buffer[16];
  std::string text(ResultName(code, buffer));
  const std::string_view meaning = ResultMeaning(code);
  if (!meaning.empty()) text.append(": ").append(meaning);
  return text;
}

std::string InputExcerpt(std::string_view input, size_t maxBytes) {
  const size_t lineEnd = input.find_first_of("\r\n");
  std::string_view line = input.substr(0, lineEnd);
  bool cut = lineEnd != std::string_view::npos;
  if (line.size() > maxBytes) {
    size_t keep = maxBytes;
    // Never half a UTF-8 sequence: back off over continuation bytes.
    while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0u) == 0x80u) --keep;
    line = line.substr(0, keep);
    cut = true;
  }
  std::string out;
  out.reserve(line.size() + 3);
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    out += (byte < 0x20 || byte == 0x7F) ? '?' : c;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace camctl
