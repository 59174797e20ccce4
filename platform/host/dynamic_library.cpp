#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <unistd.h>

namespace platform {
namespace {

class HostLibrary final : public DynamicLibrary {
 public:
  explicit HostLibrary(void* handle) : handle_(handle) {}
  ~HostLibrary() override { ::dlclose(handle_); }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;
  void* Symbol(const char* name) const override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::filesystem::path& path, std::string& error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* message = ::dlerror();
    error = message != nullptr ? message : "cannot load " + path.string();
    return nullptr;
  }
  return std::make_unique<HostLibrary>(handle);
}

std::string DynamicLibraryFileName(const std::string& stem) { return stem + ".so"; }

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

}  // namespace platform
