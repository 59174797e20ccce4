// The library's result codes: one closed list of the standard codes it returns
// and its own interface-specific codes, each with a name for messages and logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace camctl {

inline constexpr HRESULT CAM_E_REJECTED = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT CAM_E_LOCK_TIMEOUT = static_cast<HRESULT>(0x80040204u);
inline constexpr HRESULT CAM_E_FILE_EXISTS = static_cast<HRESULT>(0x80040207u);
inline constexpr HRESULT CAM_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040208u);
inline constexpr HRESULT CAM_E_BUSY = static_cast<HRESULT>(0x8004020Au);
inline constexpr HRESULT CAM_E_PROTECTED = static_cast<HRESULT>(0x8004020Bu);
inline constexpr HRESULT CAM_E_BAD_PRESET_FILE = static_cast<HRESULT>(0x8004020Cu);
inline constexpr HRESULT CAM_E_TIMEOUT = static_cast<HRESULT>(0x8004020Du);
inline constexpr HRESULT CAM_E_OUT_OF_RANGE = static_cast<HRESULT>(0x8004020Eu);
inline constexpr HRESULT CAM_E_NOT_SUPPORTED = static_cast<HRESULT>(0x8004020Fu);
inline constexpr HRESULT CAM_E_REMOVED = static_cast<HRESULT>(0x80040210u);
inline constexpr HRESULT CAM_E_PREVIEW_FAILED = static_cast<HRESULT>(0x80040211u);

// Win32 error values the transports and drivers report.
inline constexpr int32_t kWin32NotSupported = 50;      // ERROR_NOT_SUPPORTED
inline constexpr int32_t kWin32ReqNotAccepted = 71;    // ERROR_REQ_NOT_ACCEP
inline constexpr int32_t kWin32Busy = 170;             // ERROR_BUSY
inline constexpr int32_t kWin32RequestAborted = 1235;  // ERROR_REQUEST_ABORTED
inline constexpr int32_t kWin32Timeout = 1460;         // ERROR_TIMEOUT
inline constexpr int32_t kWin32DeviceRemoved = 1617;   // ERROR_DEVICE_REMOVED

// A positive Win32 error e becomes 0x80070000 | (e & 0xFFFF); zero or a
// negative value passes unchanged.
constexpr HRESULT HResultFromWin32(int32_t error) {
  return error <= 0 ? static_cast<HRESULT>(error)
                    : static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

struct ResultCodeInfo {
  HRESULT code;
  std::string_view name;
  std::string_view meaning;
};

// Every code of the closed list, in ascending order of the unsigned value.
const ResultCodeInfo* ResultCodes(size_t& count);

// The name of a code of the list ("CAM_E_BUSY", "E_POINTER"); for a code
// outside it, a HRESULT formed from a Win32 error reads "WIN32(n)", any other
// "0xXXXXXXXX". Returns a pointer to static text or into `buffer`.
std::string_view ResultName(HRESULT code, char (&buffer)[16]);
// A readable sentence for a code of the list; empty for other codes.
std::string_view ResultMeaning(HRESULT code);
// The name and, when known, the meaning: "WIN32(5): access denied". A message
// never gives a bare code where the list says what it means.
std::string ResultText(HRESULT code);

// Input echoed in a message: its first line only, at most `maxBytes` bytes
// (whole UTF-8 sequences), control characters as '?', and "..." when
// anything was left out. A message never repeats more of bad input than that.
std::string InputExcerpt(std::string_view input, size_t maxBytes = 80);

}  // namespace camctl
