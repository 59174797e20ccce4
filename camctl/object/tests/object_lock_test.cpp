// The object lock: recursive for its holder, and handed over in the order the
// threads asked for it, also when the releasing thread asks again at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camctl/object/object_lock.h"

namespace camctl {
namespace {

bool TryFromAnotherThread(ObjectLock& lock) {
  bool taken = false;
  std::thread other([&] {
    taken = lock.try_lock();
    if (taken) lock.unlock();
  });
  other.join();
  return taken;
}

void WaitForWaiters(ObjectLock& lock, uint64_t count) {
  while (lock.Waiting() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(ObjectLock, RecursiveForItsHolderOnly) {
  ObjectLock lock;
  lock.lock();
  lock.lock();
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(TryFromAnotherThread(lock));
  lock.unlock();
  lock.unlock();
  EXPECT_FALSE(TryFromAnotherThread(lock)) << "still held once";
  lock.unlock();
  EXPECT_TRUE(TryFromAnotherThread(lock));
}

TEST(ObjectLock, FirstComeFirstServed) {
  ObjectLock lock;
  std::vector<std::string> order;  // guarded by the lock under test
  lock.lock();
  std::vector<std::thread> waiters;
  for (int i = 1; i <= 3; ++i) {
    waiters.emplace_back([&, i] {
      lock.lock();
      order.push_back("waiter " + std::to_string(i));
      lock.unlock();
    });
    WaitForWaiters(lock, static_cast<uint64_t>(i));
  }
  // Released and asked for again at once: behind the three already queued.
  lock.unlock();
  lock.lock();
  order.push_back("first holder again");
  lock.unlock();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<std::string>{"waiter 1", "waiter 2", "waiter 3", "first holder again"}));
  EXPECT_EQ(lock.Waiting(), 0u);
}

}  // namespace
}  // namespace camctl
