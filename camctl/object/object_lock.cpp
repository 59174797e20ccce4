#include "camctl/object/object_lock.h"

namespace camctl {

void ObjectLock::lock() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> hold(mutex_);
  if (depth_ > 0 && holder_ == self) {
    ++depth_;
    return;
  }
  const uint64_t ticket = nextTicket_++;
  turn_.wait(hold, [&] { return serving_ == ticket; });
  holder_ = self;
  depth_ = 1;
}

bool ObjectLock::try_lock() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> hold(mutex_);
  if (depth_ > 0) {
    if (holder_ != self) return false;
    ++depth_;
    return true;
  }
  if (nextTicket_ != serving_) return false;  // others are queued for it
  ++nextTicket_;
  holder_ = self;
  depth_ = 1;
  return true;
}

void ObjectLock::unlock() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (--depth_ > 0) return;
  holder_ = std::thread::id();
  ++serving_;
  // Every waiter checks whether its ticket is now served; there are few.
  // Notified before the internal mutex is let go: the next holder may end
  // the object (and this lock) as soon as it has its turn.
  turn_.notify_all();
}

uint64_t ObjectLock::Waiting() {
  std::lock_guard<std::mutex> hold(mutex_);
  return nextTicket_ - serving_ - (depth_ > 0 ? 1 : 0);
}

}  // namespace camctl
