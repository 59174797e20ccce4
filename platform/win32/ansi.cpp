// The system's ANSI code page through its own converter.
#include <climits>

#include "platform/ansi.h"

namespace platform {

std::string ComToAnsi(ComStringView text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int units = static_cast<int>(text.size());
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  const int written = ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, out.data(), bytes, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

ComString AnsiToCom(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int bytes = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
  if (units <= 0) return {};
  ComString out(static_cast<size_t>(units), OLECHAR{0});
  const int written = ::MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, out.data(), units);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace platform
