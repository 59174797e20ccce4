// Windows-1252 <-> UTF-16.
#include <cstdint>

#include "platform/ansi.h"

namespace platform {
namespace {

// Bytes 0x80-0x9F; every other byte is the character of the same value.
// 0x81, 0x8D, 0x8F, 0x90 and 0x9D are undefined and pass as the C1 control
// character of their value.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char kUnmapped = '?';

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The byte of one UTF-16 code unit, or -1 when the code page has none.
int ByteOf(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == c) return 0x80 + i;
  return -1;
}

}  // namespace

std::string ComToCp1252(ComStringView text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char16_t>(text[i]);
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
      ++i;  // one character outside the code page: one '?'
      out.push_back(kUnmapped);
      continue;
    }
    const int b = ByteOf(c);
    out.push_back(b < 0 ? kUnmapped : static_cast<char>(static_cast<uint8_t>(b)));
  }
  return out;
}

ComString Cp1252ToCom(std::string_view text) {
  ComString out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto b = static_cast<uint8_t>(ch);
    out.push_back(static_cast<OLECHAR>(b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : b));
  }
  return out;
}

}  // namespace platform
