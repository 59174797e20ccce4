// The host has no system ANSI code page: Windows-1252 stands in (see ansi.h).
#include "platform/ansi.h"

namespace platform {

std::string ComToAnsi(ComStringView text) { return ComToCp1252(text); }
ComString AnsiToCom(std::string_view text) { return Cp1252ToCom(text); }

}  // namespace platform
