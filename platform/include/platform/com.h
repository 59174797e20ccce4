// COM types and runtime for the portable core: the system's own on Windows,
// the host COM runtime (same names and layouts) elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#else
#include "hostcom.h"
#endif

#include <string>
#include <string_view>

// A COM string literal from narrow literals, which may be concatenated macros.
#ifdef _WIN32
#define COM_TEXT(s) L"" s
#else
#define COM_TEXT(s) u"" s
#endif

static_assert(sizeof(LONG) == 4 && sizeof(HRESULT) == 4 && sizeof(OLECHAR) == 2,
              "COM interface values are 32-bit and strings UTF-16 on every platform");

namespace platform {

// A UTF-16 string in the code unit type of COM strings on this platform.
using ComString = std::basic_string<OLECHAR>;
using ComStringView = std::basic_string_view<OLECHAR>;

// Converts between UTF-8 and UTF-16 COM strings (invalid sequences become U+FFFD).
ComString Utf8ToCom(std::string_view utf8);
std::string ComToUtf8(ComStringView text);

// Text form of a GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
ComString GuidToString(const GUID& guid);
// Parses the text form above (braces required, either case); false on malformed text.
bool GuidFromString(ComStringView text, GUID& guid);

}  // namespace platform
