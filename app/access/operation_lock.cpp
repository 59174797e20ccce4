#include "app/access/operation_lock.h"

#include <algorithm>
#include <cstdint>

namespace presets {

std::string OperationLockName(std::string_view deviceIdentifier) {
  const size_t hash = deviceIdentifier.rfind('#');
  std::string_view id = hash == std::string_view::npos ? deviceIdentifier : deviceIdentifier.substr(hash + 1);
  if (id.empty()) id = deviceIdentifier;
  // Device paths compare without case on Windows; a unique id is short.
  constexpr size_t kMaxId = 96;
  std::string name = "Local\\VELQUIN-camera-operation-";
  for (const char c : id.substr(0, kMaxId)) {
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const bool keep = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '.' ||
                      lower == '_' || lower == '-';
    name += keep ? lower : '_';
  }
  return name;
}

LockOutcome OperationLocks::Acquire(std::string_view deviceIdentifier) {
  std::string name = OperationLockName(deviceIdentifier);
  if (std::any_of(held_.begin(), held_.end(), [&](const Held& h) { return h.name == name; }))
    return LockOutcome::Held;
  std::unique_ptr<platform::NamedMutex> mutex = platform::OpenNamedMutex(name);
  if (mutex == nullptr) return LockOutcome::Failed;
  const auto ms = std::clamp<int64_t>(wait_.count(), 0, platform::kWaitForever - 1);
  switch (mutex->Lock(static_cast<uint32_t>(ms))) {
    case platform::LockResult::Acquired:
    case platform::LockResult::AcquiredAbandoned:
      // An owner that died mid-operation left the camera as any failed
      // operation leaves it; this one starts over from the selection.
      held_.push_back({std::move(name), std::move(mutex)});
      return LockOutcome::Held;
    case platform::LockResult::TimedOut:
      return LockOutcome::InUse;
    case platform::LockResult::Failed:
      break;
  }
  return LockOutcome::Failed;
}

void OperationLocks::ReleaseAll() noexcept {
  while (!held_.empty()) {
    held_.back().mutex->Unlock();
    held_.pop_back();
  }
}

}  // namespace presets
