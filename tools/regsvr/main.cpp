// regsvr: loads an in-process COM server and calls its DllRegisterServer, or
// with /u its DllUnregisterServer, for the current user or, with --machine,
// for every user. Exit status 0 success, 1 failure, 2 bad usage.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "hostcom.h"
#include "registry_store.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: regsvr [/u] [/s] [--machine] SERVER\n"
      "Registers the in-process COM server SERVER (a shared library) by calling its\n"
      "DllRegisterServer export.\n"
      "  /u, -u      unregister: call DllUnregisterServer instead\n"
      "  /s, -s      silent: print nothing on success\n"
      "  --machine   register (or unregister) for every user, in the machine registry\n"
      "              file (needs write access to it, normally root)\n"
      "  --help, -h  show this help\n"
      "The user's registry file is $HOSTCOM_REGISTRY, else $XDG_DATA_HOME/hostcom/registry.reg,\n"
      "else ~/.local/share/hostcom/registry.reg. The machine registry file is\n"
      "$HOSTCOM_MACHINE_REGISTRY, else /var/lib/hostcom/registry.reg.\n"
      "Exit status: 0 success, 1 failure, 2 bad usage.\n",
      out);
}

struct DlClose {
  void operator()(void* handle) const { ::dlclose(handle); }
};

// Keeps COM initialised on this thread while the server runs.
class ComScope {
 public:
  ComScope() : hr_(CoInitialize(nullptr)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(static_cast<uint32_t>(hr)); }

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  bool silent = false;
  bool machine = false;
  std::string server;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      PrintUsage(stdout);
      return kSuccess;
    }
    if (arg == "/u" || arg == "-u" || arg == "/U" || arg == "-U") {
      unregister = true;
    } else if (arg == "/s" || arg == "-s" || arg == "/S" || arg == "-S") {
      silent = true;
    } else if (arg == "--machine") {
      machine = true;
    } else if (!arg.empty() && (arg[0] == '-' || (arg[0] == '/' && arg.size() == 2))) {
      std::fprintf(stderr, "regsvr: unknown option %s\n", argv[i]);
      PrintUsage(stderr);
      return kUsage;
    } else if (server.empty()) {
      server = arg;
    } else {
      std::fprintf(stderr, "regsvr: only one server may be given\n");
      PrintUsage(stderr);
      return kUsage;
    }
  }
  if (server.empty()) {
    std::fprintf(stderr, "regsvr: no server given\n");
    PrintUsage(stderr);
    return kUsage;
  }

  // Load by absolute path: the server records the path it was loaded from,
  // and a bare name must not be looked up in the library search path.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(server, ec);
  const std::string path = ec ? server : absolute.lexically_normal().string();
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";

  if (machine) {
    // Say up front why the machine file cannot be used, rather than leave the
    // server with a bare error code: an empty transaction opens, locks, checks
    // and parses the file and writes nothing.
    hostcom::RegistryStore store = hostcom::RegistryStore::Machine();
    const hostcom::RegStatus st = store.Transact([](hostcom::RegTree&) { return hostcom::RegStatus::Ok(); });
    if (!st) {
      std::fprintf(stderr, "regsvr: cannot use the machine registry %s: %s%s\n", store.File().c_str(),
                   st.message.c_str(), ::geteuid() != 0 ? " (registering for every user needs root)" : "");
      return kFailure;
    }
    hostcom::SetRegistrationScope(hostcom::RegScope::Machine);
  }

  ComScope com;
  std::unique_ptr<void, DlClose> library(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library) {
    const char* why = ::dlerror();
    // Failures are reported even with /s: the exit status alone does not say why.
    std::fprintf(stderr, "regsvr: cannot load %s (error 0x%08X): %s\n", path.c_str(),
                 Hex(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)), why != nullptr ? why : "unknown error");
    return kFailure;
  }
  using EntryPoint = HRESULT (*)();
  const auto function = reinterpret_cast<EntryPoint>(::dlsym(library.get(), entry));
  if (function == nullptr) {
    std::fprintf(stderr, "regsvr: %s has no entry point %s (error 0x%08X)\n", path.c_str(), entry,
                 Hex(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)));
    return kFailure;
  }
  const HRESULT hr = function();
  if (FAILED(hr)) {
    std::fprintf(stderr, "regsvr: %s in %s failed with error 0x%08X\n", entry, path.c_str(), Hex(hr));
    return kFailure;
  }
  if (!silent) std::printf("%s in %s succeeded.\n", entry, path.c_str());
  return kSuccess;
}
