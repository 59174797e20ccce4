// Removal notices on Linux: a notice thread watches the virtual camcorder's
// root and reports the device path of every camera that stops being plugged
// (unplugged, or deleted).
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/device_notices.h"
#include "vcam/vcam.h"

namespace platform {
namespace {

std::set<std::string> PluggedPaths() {
  std::set<std::string> paths;
  try {
    const std::filesystem::path root = vcam::RootDir();
    for (const std::string& name : vcam::ListCameras(root)) {
      try {
        auto camera = vcam::Camera::Open(root / name);
        vcam::State state;
        if (camera->PeekState(state) && state.plugged) paths.insert(camera->identity().devicePath);
      } catch (const vcam::Error&) {
      }
    }
  } catch (const std::exception&) {
  }
  return paths;
}

std::chrono::milliseconds PollInterval() {
  // VCAM_NOTICE_POLL_MS shortens the wait in tests; 100 ms otherwise.
  if (const char* v = std::getenv("VCAM_NOTICE_POLL_MS"); v != nullptr) {
    const long ms = std::strtol(v, nullptr, 10);
    if (ms >= 1 && ms <= 10000) return std::chrono::milliseconds(ms);
  }
  return std::chrono::milliseconds(100);
}

// What the notice thread uses: shared with it, so that a subscription
// destroyed from inside its own callback leaves the thread nothing dangling.
struct NoticeState {
  RemovalCallback callback;
  std::chrono::milliseconds interval{100};
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};

void RunNotices(const std::shared_ptr<NoticeState>& shared, std::set<std::string> known) {
  NoticeState& st = *shared;
  std::unique_lock<std::mutex> lock(st.mutex);
  while (!st.stop) {
    st.wake.wait_for(lock, st.interval, [&] { return st.stop; });
    if (st.stop) break;
    lock.unlock();
    std::set<std::string> now = PluggedPaths();
    for (const std::string& path : known) {
      if (now.count(path) != 0) continue;
      {
        std::lock_guard<std::mutex> check(st.mutex);
        if (st.stop) return;
      }
      const ComString text = Utf8ToCom(path);
      st.callback(text);
    }
    known = std::move(now);
    lock.lock();
  }
}

class VcamRemovalSubscription final : public RemovalSubscription {
 public:
  explicit VcamRemovalSubscription(RemovalCallback callback) : shared_(std::make_shared<NoticeState>()) {
    shared_->callback = std::move(callback);
    shared_->interval = PollInterval();
    thread_ = std::thread(RunNotices, shared_, PluggedPaths());
  }
  ~VcamRemovalSubscription() override {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->stop = true;
    }
    shared_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // destroyed from its own callback: the thread ends after it
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  std::shared_ptr<NoticeState> shared_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<RemovalSubscription> SubscribeRemovalNotices(RemovalCallback callback) {
  if (!callback) return nullptr;
  try {
    return std::make_unique<VcamRemovalSubscription>(std::move(callback));
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace platform
