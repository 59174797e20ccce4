// The machine-wide named lock on Windows: a named Win32 mutex. Windows mutexes
// are owned per thread and recursive for their owner, and report an owner that
// died holding them as abandoned; ownership then passes to the waiter.
//
// When the environment variable VELQUIN_MUTEX_NAMESPACE is set and not empty,
// the name becomes "<namespace>-<name>" (after a "Local\" or "Global\"
// prefix) so that test runs stay apart from real use; otherwise the name is
// used exactly as given.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "platform/named_mutex.h"

namespace platform {
namespace {

std::wstring WideName(std::string_view name) {
  // A "Local\" or "Global\" prefix stays in front: the rest of the name
  // may hold no backslash.
  std::string full;
  for (const std::string_view prefix : {std::string_view("Local\\"), std::string_view("Global\\")}) {
    if (name.substr(0, prefix.size()) == prefix) {
      full.assign(prefix);
      name.remove_prefix(prefix.size());
      break;
    }
  }
  char ns[128];
  const DWORD n = GetEnvironmentVariableA("VELQUIN_MUTEX_NAMESPACE", ns, sizeof(ns));
  if (n > 0 && n < sizeof(ns)) {
    full.append(ns, n);
    full += '-';
  }
  full.append(name.data(), name.size());
  std::wstring wide;
  if (full.empty()) return wide;
  const int len = MultiByteToWideChar(CP_UTF8, 0, full.data(), static_cast<int>(full.size()), nullptr, 0);
  if (len <= 0) return wide;
  wide.resize(static_cast<size_t>(len));
  MultiByteToWideChar(CP_UTF8, 0, full.data(), static_cast<int>(full.size()), wide.data(), len);
  return wide;
}

class Win32NamedMutex final : public NamedMutex {
 public:
  explicit Win32NamedMutex(HANDLE handle) : handle_(handle) {}
  ~Win32NamedMutex() override { CloseHandle(handle_); }
  Win32NamedMutex(const Win32NamedMutex&) = delete;
  Win32NamedMutex& operator=(const Win32NamedMutex&) = delete;

  LockResult Lock(uint32_t timeoutMs) noexcept override {
    const DWORD wait = timeoutMs == kWaitForever ? INFINITE : static_cast<DWORD>(timeoutMs);
    switch (WaitForSingleObject(handle_, wait)) {
      case WAIT_OBJECT_0:
        return LockResult::Acquired;
      case WAIT_ABANDONED:
        return LockResult::AcquiredAbandoned;
      case WAIT_TIMEOUT:
        return LockResult::TimedOut;
      default:
        return LockResult::Failed;
    }
  }

  void Unlock() noexcept override { ReleaseMutex(handle_); }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<NamedMutex> OpenNamedMutex(std::string_view name) {
  const std::wstring wide = WideName(name);
  if (wide.empty()) return nullptr;
  // Opens the existing mutex or creates it, without taking ownership.
  HANDLE handle = CreateMutexW(nullptr, FALSE, wide.c_str());
  if (handle == nullptr) return nullptr;
  return std::make_unique<Win32NamedMutex>(handle);
}

}  // namespace platform
