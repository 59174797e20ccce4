#include "camctl/channel/attachment.h"

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"

namespace camctl {
namespace {

constexpr int kMaxBusyQueries = 4;
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::min();

std::atomic<int32_t> g_attachedCameras{0};

std::atomic<SettleClock> g_settleClock{nullptr};
// Deadline of the settle window in clock ticks since the clock's epoch;
// kNoDeadline while no window is open.
std::atomic<int64_t> g_settleDeadline{kNoDeadline};

std::atomic<HRESULT (*)(CameraState&)> g_watcherStart{nullptr};
std::atomic<void (*)(CameraState&)> g_watcherStop{nullptr};

int64_t NowTicks() noexcept {
  const SettleClock clock = g_settleClock.load(std::memory_order_acquire);
  const auto now = clock != nullptr ? clock() : std::chrono::steady_clock::now();
  return now.time_since_epoch().count();
}

}  // namespace

// ---- Settle window -------------------------------------------------------

void SetSettleClock(SettleClock clock) noexcept { g_settleClock.store(clock, std::memory_order_release); }

void ArmSettleTimer() noexcept {
  const int64_t window =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(kSettleWindow).count();
  g_settleDeadline.store(NowTicks() + window, std::memory_order_release);
}

void StopSettleTimer() noexcept { g_settleDeadline.store(kNoDeadline, std::memory_order_release); }

bool SettleTimerRunning() noexcept {
  int64_t deadline = g_settleDeadline.load(std::memory_order_acquire);
  if (deadline == kNoDeadline) return false;
  if (NowTicks() < deadline) return true;
  // Run out: close it, unless someone armed a new window meanwhile.
  g_settleDeadline.compare_exchange_strong(deadline, kNoDeadline, std::memory_order_acq_rel);
  return false;
}

// ---- Attached cameras ----------------------------------------------------

int32_t AttachedCameraCount() noexcept { return g_attachedCameras.load(std::memory_order_acquire); }

// ---- Device watcher seam -------------------------------------------------

void SetDeviceWatcherHooks(const DeviceWatcherHooks& hooks) noexcept {
  g_watcherStart.store(hooks.start, std::memory_order_release);
  g_watcherStop.store(hooks.stop, std::memory_order_release);
}

HRESULT StartWatcher(CameraState& state) noexcept {
  const auto start = g_watcherStart.load(std::memory_order_acquire);
  return start != nullptr ? start(state) : S_OK;
}

void StopWatcher(CameraState& state) noexcept {
  const auto stop = g_watcherStop.load(std::memory_order_acquire);
  if (stop != nullptr) stop(state);
}

// ---- Attachment ----------------------------------------------------------

HRESULT AttachTransport(CameraState& state, platform::CaptureDevice* device) noexcept {
  if (device == nullptr) return E_FAIL;
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.commandChannel) return E_FAIL;

  std::shared_ptr<platform::AvcTransport> transport;
  try {
    transport = device->QueryTransport();
  } catch (...) {
    return E_FAIL;  // whatever the device's failure was
  }
  if (!transport) return E_FAIL;

  std::unique_ptr<CommandChannel> channel;
  try {
    channel = std::make_unique<CommandChannel>(std::move(transport));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  // A channel that can never take the camera mutex could never send anything.
  if (!channel->HasMutex()) return E_FAIL;

  state.commandChannel = std::move(channel);
  g_attachedCameras.fetch_add(1, std::memory_order_acq_rel);
  (void)StartWatcher(state);
  state.connection = ConnectionState::Attached;
  return S_OK;
}

void DetachTransport(CameraState& state) noexcept {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (!state.commandChannel) return;
  state.reapplyPresetZero = false;
  StopWatcher(state);
  if (g_attachedCameras.fetch_sub(1, std::memory_order_acq_rel) == 1) StopSettleTimer();
  state.commandChannel.reset();  // waits for the camera mutex
}

// ---- Busy flag and settle check ------------------------------------------

HRESULT ReadBusyFlag(CameraState& state, uint8_t& flag) noexcept {
  std::lock_guard<ObjectLock> hold(state.lock);
  if (!state.commandChannel) return CAM_E_NOT_CONNECTED;
  uint8_t cell = 0xFF;  // filled by the camera
  const HRESULT hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodeBusyFlag, Ctype::Status, {&cell});
  if (hr == S_OK) flag = cell;
  return hr;
}

HRESULT QueryBusy(CameraState& state, bool& busy) noexcept {
  if (!SettleTimerRunning()) {
    busy = false;
    return S_OK;
  }
  uint8_t flag = 0;
  const HRESULT hr = ReadBusyFlag(state, flag);
  if (hr != S_OK) return hr;
  busy = flag == 1;
  return S_OK;
}

HRESULT SettleCheck(CameraState& state) noexcept {
  std::lock_guard<ObjectLock> hold(state.lock);
  bool busy = false;
  HRESULT hr = QueryBusy(state, busy);
  // A refusal is an answer; anything else may pass, so ask again at once.
  for (int query = 1; hr != S_OK && hr != CAM_E_REJECTED && query < kMaxBusyQueries; ++query)
    hr = QueryBusy(state, busy);
  if (hr != S_OK) return hr;
  return busy ? CAM_E_BUSY : S_OK;
}

}  // namespace camctl
