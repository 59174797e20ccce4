// A named lock shared by every process of the machine, recursive for its owning
// thread: a named mutex on Windows, a robust process-shared mutex elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace platform {

enum class LockResult {
  Acquired,
  // The previous owner died holding the lock. Ownership passes to the caller,
  // as with a Windows mutex: one exchange is self-contained, so nothing the
  // dead owner left half-done is carried into the next one.
  AcquiredAbandoned,
  TimedOut,
  Failed,
};

inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Waits at most timeoutMs (kWaitForever: no limit).
  virtual LockResult Lock(uint32_t timeoutMs) noexcept = 0;
  virtual void Unlock() noexcept = 0;
};

// Opens a handle on the mutex of that name, creating the mutex if it does not
// exist yet; the handle does not own it. Null when the system refuses.
std::unique_ptr<NamedMutex> OpenNamedMutex(std::string_view name);

inline bool Owns(LockResult r) {
  return r == LockResult::Acquired || r == LockResult::AcquiredAbandoned;
}

// Holds a named mutex through one handle for a scope; a null handle is never held.
class NamedMutexHold {
 public:
  NamedMutexHold(NamedMutex* mutex, uint32_t timeoutMs) noexcept
      : mutex_(mutex), held_(mutex != nullptr && Owns(mutex->Lock(timeoutMs))) {}
  ~NamedMutexHold() {
    if (held_) mutex_->Unlock();
  }
  NamedMutexHold(const NamedMutexHold&) = delete;
  NamedMutexHold& operator=(const NamedMutexHold&) = delete;
  bool held() const { return held_; }

 private:
  NamedMutex* mutex_;
  bool held_;
};

}  // namespace platform
