#include "platform/dynamic_library.h"

#include <windows.h>
#include <io.h>
#include <stdio.h>

namespace platform {
namespace {

class Win32Library final : public DynamicLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { ::FreeLibrary(module_); }
  Win32Library(const Win32Library&) = delete;
  Win32Library& operator=(const Win32Library&) = delete;
  void* Symbol(const char* name) const override {
    return reinterpret_cast<void*>(::GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::filesystem::path& path, std::string& error) {
  const HMODULE module = ::LoadLibraryW(path.wstring().c_str());
  if (module == nullptr) {
    error = "cannot load " + path.string() + " (error " + std::to_string(::GetLastError()) + ")";
    return nullptr;
  }
  return std::make_unique<Win32Library>(module);
}

std::string DynamicLibraryFileName(const std::string& stem) { return stem + ".dll"; }

bool StandardOutputIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

}  // namespace platform
