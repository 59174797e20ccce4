// Removal notices on Linux. Every unplug of a virtual camera bumps its unplug
// counter and then touches the events file in the cameras' root. A
// subscription's notice thread sleeps in poll() on an inotify watch of that
// root and on its own stop descriptor; when woken it rescans the cameras and
// reports the device path of every camera that was unplugged (even if it was
// plugged in again since), deleted, or is no longer plugged.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/device_notices.h"
#include "vcam/vcam.h"

namespace platform {
namespace {

struct CameraMark {
  bool plugged = false;
  uint8_t unplugCount = 0;
};
using Snapshot = std::map<std::string, CameraMark>;  // by device path

Snapshot Scan(const std::filesystem::path& root) {
  Snapshot cameras;
  try {
    for (const std::string& name : vcam::ListCameras(root)) {
      try {
        auto camera = vcam::Camera::Open(root / name);
        vcam::State state;
        if (camera->PeekState(state))
          cameras[camera->identity().devicePath] = {state.plugged != 0, state.unplugCount};
      } catch (const vcam::Error&) {
      }
    }
  } catch (const std::exception&) {
  }
  return cameras;
}

bool WentAway(const CameraMark& before, const Snapshot& now, const std::string& path) {
  const auto found = now.find(path);
  if (found == now.end()) return before.plugged;
  if (found->second.unplugCount != before.unplugCount) return true;
  return before.plugged && !found->second.plugged;
}

// A descriptor closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// What the notice thread uses: shared with it, so that a subscription
// destroyed from inside its own callback leaves the thread nothing dangling.
struct NoticeState {
  RemovalCallback callback;
  std::filesystem::path root;
  Fd watch;  // inotify, on the root
  Fd stopSignal;  // eventfd, written once to stop
  std::mutex mutex;
  bool stop = false;

  bool Stopped() {
    std::lock_guard<std::mutex> lock(mutex);
    return stop;
  }
};

void DrainWatch(int fd) {
  alignas(inotify_event) char buffer[4096];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

void RunNotices(const std::shared_ptr<NoticeState>& shared, Snapshot known) {
  NoticeState& st = *shared;
  for (;;) {
    pollfd fds[2] = {{st.watch.get(), POLLIN, 0}, {st.stopSignal.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) return;
    if (st.Stopped()) return;
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
    DrainWatch(st.watch.get());
    Snapshot now = Scan(st.root);
    for (const auto& [path, mark] : known) {
      if (!WentAway(mark, now, path)) continue;
      if (st.Stopped()) return;
      const ComString text = Utf8ToCom(path);
      st.callback(text);
    }
    known = std::move(now);
  }
}

class VcamRemovalSubscription final : public RemovalSubscription {
 public:
  explicit VcamRemovalSubscription(std::shared_ptr<NoticeState> shared, Snapshot known)
      : shared_(std::move(shared)), thread_(RunNotices, shared_, std::move(known)) {}
  ~VcamRemovalSubscription() override {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->stop = true;
    }
    const uint64_t one = 1;
    (void)!::write(shared_->stopSignal.get(), &one, sizeof one);
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
    auto shared = std::make_shared<NoticeState>();
    shared->callback = std::move(callback);
    shared->root = vcam::RootDir();
    shared->watch.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    shared->stopSignal.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (shared->watch.get() < 0 || shared->stopSignal.get() < 0) return nullptr;
    constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_DELETE_SELF | IN_MOVE_SELF;
    if (::inotify_add_watch(shared->watch.get(), shared->root.c_str(), kEvents) < 0) return nullptr;
    // Watched first, then scanned: an unplug in between wakes the thread.
    Snapshot known = Scan(shared->root);
    return std::make_unique<VcamRemovalSubscription>(std::move(shared), std::move(known));
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace platform
