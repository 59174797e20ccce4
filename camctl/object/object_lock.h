// The object lock of one camera control object: recursive for the thread that
// holds it, and handed over in the order the threads asked for it. A plain
// mutex lets the thread that just released it take it straight back, so a
// thread looping over select and remove could keep an enumerating thread out
// indefinitely; here a thread that asks again queues behind those already
// waiting. Always waited for without limit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace camctl {

class ObjectLock {
 public:
  ObjectLock() = default;
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

  // Waits for this thread's turn; at once when this thread holds the lock.
  void lock();
  // Takes the lock only when this thread holds it or nobody holds or waits for it.
  bool try_lock();
  // Ends one lock() or successful try_lock() of the holding thread.
  void unlock();

  // Threads now waiting (for tests).
  uint64_t Waiting();

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t nextTicket_ = 0;  // the ticket the next new request gets
  uint64_t serving_ = 0;     // the ticket that holds or may take the lock
  std::thread::id holder_;
  uint32_t depth_ = 0;
};

}  // namespace camctl
