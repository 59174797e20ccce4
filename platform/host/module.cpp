// Module facts on Linux: the file of the shared object that holds this code,
// and the diagnostic log location.
#include "platform/module.h"

#include "registry_store.h"  // the home directory

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace platform {
namespace {

// Any function of this translation unit: dladdr on it names the module this
// static library was linked into.
void ModuleAnchor() {}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

}  // namespace

ComString ModuleFilePath() {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&ModuleAnchor), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0)
    return ComString();
  // The main program's link map has an empty name.
  std::string path = (map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') ? map->l_name
                     : (info.dli_fname != nullptr && map == nullptr)                     ? info.dli_fname
                                                                                         : ExecutablePath();
  // A library loaded by a relative name: make the path absolute like a Windows module name.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (!ec) path = absolute.lexically_normal().string();
  return Utf8ToCom(path);
}

std::filesystem::path DiagnosticLogPath() {
  constexpr const char* kName = "ORVANELogFile.txt";
  if (std::string dir = Env("VELQUIN_LOG_DIR"); !dir.empty()) return std::filesystem::path(dir) / kName;
  // A relative XDG_STATE_HOME is invalid and ignored, as the base directory rules say.
  if (std::string state = Env("XDG_STATE_HOME"); !state.empty() && state.front() == '/')
    return std::filesystem::path(state) / "velquin" / kName;
  const std::filesystem::path home = hostcom::HomeDirectory();
  if (home.empty()) return {};  // never a path relative to the current folder
  return home / ".local" / "state" / "velquin" / kName;
}

void DeleteDiagnosticLog() noexcept {
  try {
    // unlink never removes a folder (unlike remove, which takes an empty one).
    (void)::unlink(DiagnosticLogPath().c_str());
  } catch (...) {
  }
}

}  // namespace platform
