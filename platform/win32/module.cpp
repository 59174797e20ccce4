// Module facts on Windows: the DLL that holds this code and the diagnostic log.
#include "platform/module.h"

#include <vector>

namespace platform {
namespace {

// Any function of this translation unit identifies the module it was linked into.
void ModuleAnchor() {}

}  // namespace

ComString ModuleFilePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModuleAnchor), &module))
    return ComString();
  // Grow the buffer until the whole path fits (long paths exceed MAX_PATH).
  std::vector<wchar_t> buf(MAX_PATH);
  while (buf.size() <= 32768) {
    const DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return ComString();
    if (n < buf.size()) return ComString(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
  return ComString();
}

std::filesystem::path DiagnosticLogPath() { return std::filesystem::path(L"C:\\ORVANELogFile.txt"); }

void DeleteDiagnosticLog() noexcept {
  try {
    (void)DeleteFileW(DiagnosticLogPath().c_str());  // never removes a folder
  } catch (...) {
  }
}

}  // namespace platform
