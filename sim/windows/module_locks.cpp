// The server's count of live objects and locks.
#include <atomic>

#include "vcam_filter.h"

namespace vcam::dshow {
namespace {

std::atomic<long> g_locks{0};

}  // namespace

void LockModule() noexcept { g_locks.fetch_add(1, std::memory_order_relaxed); }
void UnlockModule() noexcept { g_locks.fetch_sub(1, std::memory_order_acq_rel); }
long ModuleLocks() noexcept { return g_locks.load(std::memory_order_acquire); }

}  // namespace vcam::dshow
