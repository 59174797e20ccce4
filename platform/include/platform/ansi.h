// Conversion between COM strings (UTF-16) and the system's ANSI code page, the
// single-byte text in which the camera keeps its preset names.
//
// Windows: the system's converter for CP_ACP (WideCharToMultiByte and
// MultiByteToWideChar with their default behaviour).
// Elsewhere there is no system ANSI code page, so Windows-1252 stands in: it
// is the ANSI code page of the Western European and American Windows
// installations the camera's own tools are used with, it is single-byte
// (every character is one byte, as the camera's 8-byte name field expects),
// and its round trip with UTF-16 is exact for every byte.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

namespace platform {

// UTF-16 to the ANSI code page. A character the code page cannot represent
// becomes '?'; so does a lone surrogate, and a surrogate pair becomes one '?'.
std::string ComToAnsi(ComStringView text);
// The ANSI code page to UTF-16. Every byte, including 0, gives a character.
ComString AnsiToCom(std::string_view text);

// Windows-1252, available on every platform (the host's ANSI code page).
// No best-fit substitution: a character without a byte becomes '?'. The five
// bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the control characters of the same value and back, as the Windows
// converter does, so every byte survives a round trip.
std::string ComToCp1252(ComStringView text);
ComString Cp1252ToCom(std::string_view text);

}  // namespace platform
