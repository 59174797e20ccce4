// The preview on Linux. The owner is an X11 window id (what a toolkit gives
// as its native window id). The video window is a child X window of the
// owner, created and drawn by this library through XCB at 25 frames a
// second from the pictures the virtual camcorder renders from its state. The
// camera's state is read directly (lock-free): the preview never takes the
// camera mutex and never sends a camera command.
//
// One X connection serves the process while the hook is installed (one or
// more previews exist); its event thread turns the destruction of a watched
// owner window into the destroy message, as the call-window-procedure hook
// does on Windows.
#include "x11_preview.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/preview.h"
#include "vcam/picture.h"
#include "vcam/vcam.h"
#include "vcam_capture_device.h"

namespace platform {
namespace {

constexpr HRESULT kNotStopped = static_cast<HRESULT>(0x80040224u);  // VFW_E_NOT_STOPPED
constexpr auto kFrameInterval = std::chrono::microseconds(40000);   // 25 frames a second

std::atomic<uint64_t> g_framesDrawn{0};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionOwner = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// Opens a connection to $DISPLAY; null when there is none.
ConnectionOwner Connect(int& screen) {
  ConnectionOwner c(xcb_connect(nullptr, &screen));
  if (xcb_connection_has_error(c.get())) return nullptr;
  return c;
}

xcb_screen_t* ScreenOf(xcb_connection_t* c, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0; xcb_screen_next(&it), ++i)
    if (i == number) return it.data;
  return nullptr;
}

// ---- Window queries ---------------------------------------------------------

bool QueryIsWindow(xcb_connection_t* c, xcb_window_t w) {
  if (w == XCB_NONE) return false;
  Reply<xcb_get_window_attributes_reply_t> r(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr));
  return r != nullptr;
}

xcb_window_t QueryTopLevel(xcb_connection_t* c, xcb_window_t w) {
  // Up from the window while its parent is not the root. A bound keeps a
  // changing tree from looping.
  for (int depth = 0; depth < 256; ++depth) {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
    if (!tree) return XCB_NONE;
    if (w == tree->root) return XCB_NONE;  // the root has no top-level ancestor
    if (tree->parent == tree->root) return w;
    if (tree->parent == XCB_NONE) return XCB_NONE;
    w = tree->parent;
  }
  return XCB_NONE;
}

bool IsRootWindow(xcb_connection_t* c, xcb_window_t w) {
  for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0; xcb_screen_next(&it))
    if (it.data->root == w) return true;
  return false;
}

// The process of the X client that created the window, as the server knows
// it (X Resource extension 1.2); 0 when the server cannot tell (no extension,
// a client on another machine).
uint32_t QueryCreatorProcess(xcb_connection_t* c, xcb_window_t w) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_res_id);
  if (extension == nullptr || !extension->present) return 0;
  Reply<xcb_res_query_version_reply_t> version(
      xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
  if (!version || version->server_major < 1 || (version->server_major == 1 && version->server_minor < 2)) return 0;
  const xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  Reply<xcb_res_query_client_ids_reply_t> ids(
      xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &spec), nullptr));
  if (!ids) return 0;
  for (xcb_res_client_id_value_iterator_t it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0) continue;
    if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
    return *xcb_res_client_id_value_value(it.data);
  }
  return 0;
}

// Only a window that a client of this very process created, by the server's
// own record: a property such as _NET_WM_PID is whatever its client wrote, and
// a window without one tells nothing. The root window is the server's.
bool QueryBelongsToThisProcess(xcb_connection_t* c, xcb_window_t w) {
  if (w == XCB_NONE || IsRootWindow(c, w)) return false;
  return QueryCreatorProcess(c, w) == static_cast<uint32_t>(::getpid());
}

bool QueryClientRect(xcb_connection_t* c, xcb_window_t w, PreviewRect& rect) {
  Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
  if (!g) return false;
  rect = {0, 0, g->width, g->height};
  return true;
}

// ---- The process's X session ------------------------------------------------

class XSession final : public PreviewWindows {
 public:
  ~XSession() override { RemoveHook(); }

  // The session's connection (opened on first use while the hook is
  // installed), or null. Valid until the hook is removed.
  xcb_connection_t* Connection(int& screen) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!hooked_) return nullptr;
    OpenLocked();
    screen = screen_;
    return connection_.get();
  }

  // Wakes the event thread: a reply read on another thread may have queued events.
  void Kick() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (wake_ >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }
  }

  bool IsWindow(WindowHandle window) override {
    return Query([&](xcb_connection_t* c) { return QueryIsWindow(c, static_cast<xcb_window_t>(window)); });
  }
  bool BelongsToThisProcess(WindowHandle window) override {
    return Query([&](xcb_connection_t* c) { return QueryBelongsToThisProcess(c, static_cast<xcb_window_t>(window)); });
  }
  bool ClientRect(WindowHandle window, PreviewRect& rect) override {
    return Query([&](xcb_connection_t* c) { return QueryClientRect(c, static_cast<xcb_window_t>(window), rect); });
  }
  WindowHandle TopLevelAncestor(WindowHandle window) override {
    WindowHandle top = 0;
    Query([&](xcb_connection_t* c) {
      top = QueryTopLevel(c, static_cast<xcb_window_t>(window));
      return true;
    });
    return top;
  }

  void Watch(WindowHandle window) override { SelectEvents(window, XCB_EVENT_MASK_STRUCTURE_NOTIFY); }
  void Unwatch(WindowHandle window) override { SelectEvents(window, XCB_EVENT_MASK_NO_EVENT); }

  void InstallHook(MessageSink sink) override {
    std::lock_guard<std::mutex> hold(mutex_);
    sink_ = std::move(sink);
    hooked_ = true;
  }

  void RemoveHook() override {
    ConnectionOwner connection;
    std::thread events;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      hooked_ = false;
      connection = std::move(connection_);
      events = std::move(events_);
    }
    // Outside the session lock: a message being delivered may need it.
    if (events.joinable()) {
      stop_.store(true);
      Kick();
      events.join();
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (wake_ >= 0) ::close(wake_);
      wake_ = -1;
      sink_ = nullptr;
    }
    // A query may still be using the connection it was given.
    std::unique_lock<std::shared_mutex> users(users_);
    connection.reset();
  }

 private:
  // Runs a query on the session's connection, or on a short-lived one when
  // no preview exists. False when there is no display.
  template <typename F>
  bool Query(F&& query) {
    int screen = 0;
    std::shared_lock<std::shared_mutex> use(users_);
    if (xcb_connection_t* c = Connection(screen)) {
      const bool result = query(c);
      Kick();
      return result;
    }
    ConnectionOwner own = Connect(screen);
    return own && query(own.get());
  }

  void SelectEvents(WindowHandle window, uint32_t mask) {
    int screen = 0;
    std::shared_lock<std::shared_mutex> use(users_);
    xcb_connection_t* c = Connection(screen);
    if (!c) return;
    xcb_change_window_attributes(c, static_cast<xcb_window_t>(window), XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
  }

  void OpenLocked() {
    if (connection_ || !hooked_) return;
    connection_ = Connect(screen_);
    if (!connection_) return;
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stop_.store(false);
    events_ = std::thread([this, c = connection_.get(), wake = wake_] { EventLoop(c, wake); });
  }

  void EventLoop(xcb_connection_t* c, int wake) {
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake, POLLIN, 0}};
    while (!stop_.load()) {
      while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
        Reply<xcb_generic_event_t> event(raw);
        if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) continue;  // errors and other notices
        const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event.get());
        if (destroyed->event != destroyed->window) continue;  // a child of a watched window
        MessageSink sink;
        {
          std::lock_guard<std::mutex> hold(mutex_);
          sink = sink_;
        }
        if (sink) sink(destroyed->window, WindowMessage{kMessageDestroy, 0, 0});
      }
      if (xcb_connection_has_error(c)) return;
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake, &count, sizeof count);
      }
    }
  }

  std::mutex mutex_;
  std::shared_mutex users_;  // held by queries on the session's connection
  bool hooked_ = false;
  MessageSink sink_;
  ConnectionOwner connection_;
  int screen_ = 0;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::thread events_;
};

XSession& Session() {
  static XSession session;
  return session;
}

// ---- The camera's video window ----------------------------------------------

class XFilterGraph final : public FilterGraph {
 public:
  explicit XFilterGraph(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~XFilterGraph() override {
    StopDrawing();
    DestroyVideoWindow();
  }
  XFilterGraph(const XFilterGraph&) = delete;
  XFilterGraph& operator=(const XFilterGraph&) = delete;

  HRESULT AddCameraFilter() override {
    if (camera_) return E_FAIL;  // already in the graph
    try {
      auto camera = vcam::Camera::Open(dir_);
      vcam::State state;
      if (!camera->PeekState(state) || !state.plugged) return E_FAIL;
      camera_ = std::move(camera);
      return S_OK;
    } catch (const std::exception&) {
      return E_FAIL;
    }
  }

  HRESULT RenderCameraOutput() override {
    if (!camera_) return E_FAIL;
    vcam::State state;
    if (!camera_->PeekState(state)) return E_FAIL;
    if (state.noVideo) return S_FALSE;  // no video output
    if (!renderer_) renderer_ = std::make_unique<vcam::PictureRenderer>();
    rendered_ = true;
    return S_OK;
  }

  HRESULT RemoveAllFilters() override {
    if (state_ != GraphState::Stopped) return kNotStopped;
    rendered_ = false;
    camera_.reset();
    return S_OK;
  }

  HRESULT GetState(uint32_t, GraphState& state) override {
    state = state_;
    return S_OK;
  }

  HRESULT Run() override {
    state_ = GraphState::Running;
    if (rendered_) StartDrawing();
    return S_OK;
  }
  HRESULT Pause() override {
    state_ = GraphState::Paused;
    StopDrawing();
    return S_OK;
  }
  HRESULT Stop() override {
    state_ = GraphState::Stopped;
    StopDrawing();
    return S_OK;
  }

  HRESULT HideVideo() override {
    std::lock_guard<std::mutex> hold(mutex_);
    visible_ = false;
    if (window_ != XCB_NONE) {
      xcb_unmap_window(connection_, window_);
      SyncLocked();
    }
    return S_OK;
  }

  void SetVideoOwner(WindowHandle owner) override {
    DestroyVideoWindow();
    if (owner != 0) CreateVideoWindow(static_cast<xcb_window_t>(owner));
  }

  void PlaceVideo(const PreviewRect& rect) override {
    std::lock_guard<std::mutex> hold(mutex_);
    // X windows are at least 1 x 1.
    width_ = static_cast<uint32_t>(std::clamp<int64_t>(int64_t{rect.right} - rect.left, 1, 32767));
    height_ = static_cast<uint32_t>(std::clamp<int64_t>(int64_t{rect.bottom} - rect.top, 1, 32767));
    if (window_ == XCB_NONE) return;
    const uint32_t values[] = {static_cast<uint32_t>(std::clamp<int32_t>(rect.left, -32768, 32767)),
                               static_cast<uint32_t>(std::clamp<int32_t>(rect.top, -32768, 32767)), width_,
                               height_};
    xcb_configure_window(connection_, window_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    xcb_flush(connection_);
  }

  void ShowVideo() override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (window_ == XCB_NONE) return;
      const uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
      xcb_map_window(connection_, window_);
      SyncLocked();
      visible_ = true;
    }
    wake_.notify_all();  // the first frame at once
  }

  void NotifyOwnerMessage(WindowHandle, const WindowMessage&) override {}
  void DrainEvents() override {}
  void ClearEventWindow() override {}

 private:
  void CreateVideoWindow(xcb_window_t owner) {
    std::lock_guard<std::mutex> hold(mutex_);
    int screenNumber = 0;
    connection_ = Session().Connection(screenNumber);
    if (!connection_) return;
    const xcb_screen_t* screen = ScreenOf(connection_, screenNumber);
    if (!screen) return;
    depth_ = screen->root_depth;
    drawable_ = PixelsAre32Bit(depth_);
    window_ = xcb_generate_id(connection_);
    // The root visual with its own colormap, whatever the owner's visual.
    const uint32_t values[] = {screen->black_pixel, screen->black_pixel, screen->default_colormap};
    xcb_create_window(connection_, depth_, window_, owner, 0, 0, static_cast<uint16_t>(width_),
                      static_cast<uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP, values);
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, window_, 0, nullptr);
    maxRequestBytes_ = static_cast<size_t>(xcb_get_maximum_request_length(connection_)) * 4u;
    xcb_flush(connection_);
  }

  void DestroyVideoWindow() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (window_ == XCB_NONE) return;
    // The window is gone already when its owner was destroyed; the server's
    // error for it is read and dropped by the event thread.
    xcb_free_gc(connection_, gc_);
    xcb_destroy_window(connection_, window_);
    SyncLocked();
    window_ = XCB_NONE;
    visible_ = false;
  }

  // Waits until the server has carried out the requests so far, so that a
  // preview method returns with its windows changed.
  void SyncLocked() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    Session().Kick();  // the reply may have queued events for the event thread
  }

  // Whether the server takes this depth's images as 32-bit little-endian pixels.
  bool PixelsAre32Bit(uint8_t depth) const {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || (depth != 24 && depth != 32)) return false;
    for (xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it))
      if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
    return false;
  }

  void StartDrawing() {
    if (drawer_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopDrawing_ = false;
    }
    drawer_ = std::thread([this] { DrawLoop(); });
  }

  void StopDrawing() {
    if (!drawer_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopDrawing_ = true;
    }
    wake_.notify_all();
    drawer_.join();
  }

  void DrawLoop() {
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      if (wake_.wait_until(hold, next, [&] { return stopDrawing_; })) return;
      const auto now = std::chrono::steady_clock::now();
      next += kFrameInterval;
      if (next < now) next = now + kFrameInterval;  // late: drop frames, never catch up in a burst
      if (window_ != XCB_NONE && visible_ && drawable_) DrawFrame();
    }
  }

  // Under mutex_. Renders into the frame buffer, which grows only when the
  // window does, and sends it in as few image requests as the server takes.
  void DrawFrame() {
    if (!camera_ || !renderer_ || !camera_->PeekState(cameraState_)) return;
    const size_t pixels = static_cast<size_t>(width_) * height_;
    if (frame_.size() < pixels) frame_.resize(pixels);
    renderer_->Render(cameraState_, frameNumber_++, frame_.data(), width_, height_, width_);
    const size_t rowBytes = static_cast<size_t>(width_) * 4u;
    constexpr size_t kRequestHeader = 24;
    const size_t rowsPerRequest =
        std::max<size_t>(1, (maxRequestBytes_ > kRequestHeader ? maxRequestBytes_ - kRequestHeader : 0) / rowBytes);
    for (uint32_t y = 0; y < height_;) {
      const uint32_t rows = static_cast<uint32_t>(std::min<size_t>(rowsPerRequest, height_ - y));
      xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, static_cast<uint16_t>(width_),
                    static_cast<uint16_t>(rows), 0, static_cast<int16_t>(y), 0, depth_,
                    static_cast<uint32_t>(rows * rowBytes),
                    reinterpret_cast<const uint8_t*>(frame_.data() + static_cast<size_t>(y) * width_));
      y += rows;
    }
    xcb_flush(connection_);
    g_framesDrawn.fetch_add(1, std::memory_order_relaxed);
  }

  const std::filesystem::path dir_;
  std::unique_ptr<vcam::Camera> camera_;  // the camera filter, while in the graph
  std::unique_ptr<vcam::PictureRenderer> renderer_;
  bool rendered_ = false;
  GraphState state_ = GraphState::Stopped;

  // The video window and the drawing thread's view of it.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread drawer_;
  bool stopDrawing_ = false;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = XCB_NONE;
  xcb_gcontext_t gc_ = 0;
  uint8_t depth_ = 0;
  bool drawable_ = false;
  bool visible_ = false;
  uint32_t width_ = 1;
  uint32_t height_ = 1;
  size_t maxRequestBytes_ = 0;
  std::vector<uint32_t> frame_;
  vcam::State cameraState_{};
  uint32_t frameNumber_ = 0;
};

}  // namespace

WindowHandle WindowFromLong(LONG value) noexcept { return static_cast<uint32_t>(value); }

HRESULT CreateFilterGraph(CaptureDevice& camera, std::unique_ptr<FilterGraph>& graph) {
  const auto* device = dynamic_cast<const host::VcamCaptureDevice*>(&camera);
  if (!device) return E_NOINTERFACE;
  graph = std::make_unique<XFilterGraph>(device->dir());
  return S_OK;
}

PreviewWindows& ProcessPreviewWindows() { return Session(); }

uint64_t host::PreviewFramesDrawn() noexcept { return g_framesDrawn.load(std::memory_order_relaxed); }

}  // namespace platform
