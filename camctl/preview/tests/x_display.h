// Test support: a private Xvfb display for the preview tests, started on a
// free display number (Xvfb picks it and reports it) and stopped again, and a
// test client connection with the few requests the tests need.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>

namespace camctl::testing {

inline bool XvfbInstalled() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    if (::access((dirs.substr(start, end - start) + "/Xvfb").c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Xvfb on a display of its own choosing, without TCP; DISPLAY is set to it
// while it runs.
class PrivateDisplay {
 public:
  // Null when Xvfb could not be started.
  static std::unique_ptr<PrivateDisplay> Start() {
    int fds[2];
    if (::pipe(fds) != 0) return nullptr;
    const pid_t pid = ::fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    auto display = std::make_unique<PrivateDisplay>(pid);
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      char c = 0;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number.push_back(c);
    }
    ::close(fds[0]);
    if (number.empty()) return nullptr;
    display->name_ = ":" + number;
    ::setenv("DISPLAY", display->name_.c_str(), 1);
    return display;
  }
  ~PrivateDisplay() {
    ::unsetenv("DISPLAY");
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;
  // Takes over a started Xvfb process.
  explicit PrivateDisplay(pid_t pid) : pid_(pid) {}
  const std::string& name() const { return name_; }

 private:
  pid_t pid_;
  std::string name_;
};

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XReply = std::unique_ptr<T, Free>;

// The test's own client of the display.
class TestClient {
 public:
  TestClient() : c_(xcb_connect(nullptr, nullptr)) {
    if (!xcb_connection_has_error(c_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~TestClient() { xcb_disconnect(c_); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  bool ok() const { return screen_ != nullptr; }
  xcb_connection_t* connection() const { return c_; }

  // A mapped window (top-level unless a parent is given).
  xcb_window_t CreateWindow(uint16_t width, uint16_t height, xcb_window_t parent = XCB_NONE) {
    const xcb_window_t w = xcb_generate_id(c_);
    const uint32_t background = screen_->white_pixel;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent == XCB_NONE ? screen_->root : parent, 0, 0, width, height,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, &background);
    xcb_map_window(c_, w);
    Sync();
    return w;
  }
  void Destroy(xcb_window_t w) {
    xcb_destroy_window(c_, w);
    Sync();
  }
  void SetPid(xcb_window_t w, uint32_t pid) {
    static constexpr char kName[] = "_NET_WM_PID";
    XReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, sizeof kName - 1, kName), nullptr));
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, atom->atom, XCB_ATOM_CARDINAL, 32, 1, &pid);
    Sync();
  }
  std::vector<xcb_window_t> Children(xcb_window_t w) {
    XReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, w), nullptr));
    if (!tree) return {};
    const xcb_window_t* first = xcb_query_tree_children(tree.get());
    return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(tree.get()));
  }
  struct Geometry {
    int x, y, width, height;
    bool mapped;
  };
  std::optional<Geometry> GeometryOf(xcb_window_t w) {
    XReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
    XReply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
    if (!g || !a) return std::nullopt;
    return Geometry{g->x, g->y, g->width, g->height, a->map_state == XCB_MAP_STATE_VIEWABLE};
  }
  // The pixel as 0xRRGGBB; nullopt when it cannot be read.
  std::optional<uint32_t> Pixel(xcb_window_t w, int16_t x, int16_t y) {
    XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, w, x, y, 1, 1, 0xFFFFFFFFu), nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < 4) return std::nullopt;
    uint32_t value = 0;
    std::memcpy(&value, xcb_get_image_data(image.get()), 4);
    return value & 0xFFFFFFu;
  }
  void Sync() { XReply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

}  // namespace camctl::testing
