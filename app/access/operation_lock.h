// One camera operation at a time per camera across our own front ends (the
// window and presetctl). The library's camera mutex covers one exchange; an
// operation is a sequence (select, fifteen writes, register) that another
// program's sequence must never interleave with. The lock is a named mutex of
// the platform seam (scoped like it: the user's session), named after the
// camera's unique id, so operations on different cameras never wait for each
// other.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/named_mutex.h"

namespace presets {

// How long an operation waits for another program's operation on the same
// camera. The longest healthy operation is Clear Preset on a slow camera: a
// reset, the bounded preset-state wait (about five seconds at most) and
// sixteen reads; ten seconds lets an operation queued behind it still run,
// and is short enough that a stuck holder is reported rather than waited out.
inline constexpr std::chrono::milliseconds kOperationLockWait{10000};

// The lock's name for a device identifier ("<friendly name>#<unique id>"):
// the unique id in lower case, characters outside [a-z0-9._-] as '_'.
std::string OperationLockName(std::string_view deviceIdentifier);

enum class LockOutcome : uint8_t {
  Held,    // taken now, or held already by this set
  InUse,   // another operation kept it for the whole wait
  Failed,  // the system refused to open or take it
};

// The operation locks one operation holds, released together.
class OperationLocks {
 public:
  explicit OperationLocks(std::chrono::milliseconds wait = kOperationLockWait) : wait_(wait) {}
  ~OperationLocks() { ReleaseAll(); }
  OperationLocks(const OperationLocks&) = delete;
  OperationLocks& operator=(const OperationLocks&) = delete;

  // Takes the lock of the camera with this identifier unless already held.
  LockOutcome Acquire(std::string_view deviceIdentifier);
  void ReleaseAll() noexcept;
  bool empty() const { return held_.empty(); }

 private:
  struct Held {
    std::string name;
    std::unique_ptr<platform::NamedMutex> mutex;
  };
  std::chrono::milliseconds wait_;
  std::vector<Held> held_;
};

}  // namespace presets
