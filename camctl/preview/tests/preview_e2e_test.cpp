// The preview through the COM interfaces against a virtual camcorder, drawn
// into X windows of a private Xvfb display: the video window's geometry and
// pixels, the owner's destruction, handles that are not the client's windows,
// a camera without video, and promptness while another process holds the
// camera mutex.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camctl/common/results.h"
#include "camctl/object/camera_control.h"
#include "camctl/object/interfaces.h"
#include "camctl/preview/tests/x_display.h"
#include "vcam/isolated_environment.h"
#include "vcam/picture.h"
#include "vcam/vcam.h"
#include "x11_preview.h"

extern char** environ;

namespace camctl::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kOwnerWidth = 400;
constexpr uint16_t kOwnerHeight = 300;

// Polls until the condition holds or two seconds pass.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + 2s;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

class PreviewE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    display_ = PrivateDisplay::Start();
    ASSERT_NE(display_, nullptr) << "Xvfb did not start";
    client_.emplace();
    ASSERT_TRUE(client_->ok());
    env_.emplace("velquin-preview");
    vcam::CameraOptions options;
    options.model = "KX1";
    options.sampleContent = false;
    camera_ = vcam::CreateCamera(env_->Cameras(), "cam", options);

    void* p = nullptr;
    ASSERT_EQ(CameraControl::Create(nullptr, IID_ICDVEnumDevice, &p), S_OK);
    devices_ = static_cast<ICDVEnumDevice*>(p);
    ASSERT_EQ(devices_->QueryInterface(IID_ICDVPreviewControl, &p), S_OK);
    preview_ = static_cast<ICDVPreviewControl*>(p);
    const platform::ComString id =
        platform::Utf8ToCom(camera_->identity().friendlyName + "#" + camera_->identity().uniqueId);
    BSTR name = SysAllocStringLen(id.data(), static_cast<UINT>(id.size()));
    ASSERT_EQ(devices_->SelectDevice(name), S_OK);
    SysFreeString(name);
    owner_ = client_->CreateWindow(kOwnerWidth, kOwnerHeight);
  }
  void TearDown() override {
    if (preview_) preview_->Release();
    if (devices_) devices_->Release();
    camera_.reset();
    env_.reset();
    client_.reset();
    display_.reset();
  }

  static LONG Handle(xcb_window_t w) { return static_cast<LONG>(w); }

  // Owner, visible, running.
  HRESULT Up(xcb_window_t owner) {
    EXPECT_EQ(preview_->SetOwner(Handle(owner)), S_OK);
    EXPECT_EQ(preview_->SetVisible(-1), S_OK);
    return preview_->StartPreview();
  }
  // The video window: the one child of the owner.
  xcb_window_t Video(xcb_window_t owner) {
    const auto children = client_->Children(owner);
    return children.size() == 1 ? children[0] : XCB_NONE;
  }
  void SetCamera(const std::function<void(vcam::State&)>& change) { camera_->Modify(change); }

  std::unique_ptr<PrivateDisplay> display_;
  std::optional<TestClient> client_;
  std::optional<vcam::testing::IsolatedEnvironment> env_;
  std::unique_ptr<vcam::Camera> camera_;
  ICDVEnumDevice* devices_ = nullptr;
  ICDVPreviewControl* preview_ = nullptr;
  xcb_window_t owner_ = XCB_NONE;
};

TEST_F(PreviewE2eTest, VideoWindowGeometry) {
  ASSERT_EQ(Up(owner_), S_OK);
  struct Row {
    const char* what;
    std::function<HRESULT()> call;
    TestClient::Geometry expected;
  };
  const std::vector<Row> rows = {
      {"fills the client area", [] { return S_OK; }, {0, 0, kOwnerWidth, kOwnerHeight, true}},
      {"edges", [&] { return preview_->MoveWindow(10, 20, 110, 220); }, {10, 20, 100, 200, true}},
      {"full frame", [&] { return preview_->MoveWindow(0, 0, 720, 576); }, {0, 0, 720, 576, true}},
      {"negative origin", [&] { return preview_->MoveWindow(-5, -6, 50, 60); }, {-5, -6, 55, 66, true}},
      {"SetOwner fills again", [&] { return preview_->SetOwner(Handle(owner_)); },
       {0, 0, kOwnerWidth, kOwnerHeight, true}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(row.call(), S_OK);
    client_->Sync();
    const xcb_window_t video = Video(owner_);
    ASSERT_NE(video, XCB_NONE);
    const auto g = client_->GeometryOf(video);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->x, row.expected.x);
    EXPECT_EQ(g->y, row.expected.y);
    EXPECT_EQ(g->width, row.expected.width);
    EXPECT_EQ(g->height, row.expected.height);
    EXPECT_EQ(g->mapped, row.expected.mapped);
  }
  // Hidden, stopped or removed: no video window in the owner.
  for (const auto& down : std::vector<std::function<HRESULT()>>{[&] { return preview_->SetVisible(0); },
                                                               [&] { return preview_->StopPreview(); },
                                                               [&] { return devices_->RemoveDevice(); }}) {
    ASSERT_EQ(Up(owner_), S_OK);
    ASSERT_EQ(down(), S_OK);
    client_->Sync();
    EXPECT_EQ(Video(owner_), XCB_NONE);
  }
  EXPECT_EQ(preview_->StartPreview(), CAM_E_NOT_CONNECTED);
}

TEST_F(PreviewE2eTest, PictureShowsBarsAndFollowsThePictureRegisters) {
  ICDVDeviceControl* device = nullptr;
  ASSERT_EQ(devices_->QueryInterface(IID_ICDVDeviceControl, reinterpret_cast<void**>(&device)), S_OK);
  ASSERT_EQ(device->SetColorBars(1), S_OK);
  ASSERT_EQ(Up(owner_), S_OK);
  ASSERT_EQ(preview_->MoveWindow(0, 0, 350, 100), S_OK);  // inside the owner, so it can be read back
  const xcb_window_t video = Video(owner_);
  ASSERT_NE(video, XCB_NONE);
  for (uint32_t bar = 0; bar < 7; ++bar) {
    const int16_t x = static_cast<int16_t>(bar * 50 + 25);
    const uint32_t expected = vcam::ColourBarAt(static_cast<uint32_t>(x), 350) & 0xFFFFFFu;
    EXPECT_TRUE(Eventually([&] { return client_->Pixel(video, x, 50) == expected; }))
        << "bar " << bar << " reads " << std::hex << client_->Pixel(video, x, 50).value_or(0xDEAD);
  }

  // Bars off: the test scene, whose colour follows the colour phase register.
  ASSERT_EQ(device->SetColorBars(0), S_OK);
  device->Release();
  const int16_t x = 100, y = 20;  // in the hue sweep
  ASSERT_TRUE(Eventually([&] {
    const auto p = client_->Pixel(video, x, y);
    return p && *p != (vcam::ColourBarAt(x, 350) & 0xFFFFFFu);
  }));
  std::this_thread::sleep_for(100ms);
  const auto neutral = client_->Pixel(video, x, y);
  ASSERT_TRUE(neutral.has_value());
  SetCamera([](vcam::State& s) { s.value[0x40][0] = 12; });  // colour phase at its end
  EXPECT_TRUE(Eventually([&] { return client_->Pixel(video, x, y) != neutral; }));
}

TEST_F(PreviewE2eTest, OwnerDestructionTakesThePreviewDown) {
  struct Row {
    const char* what;
    bool destroyTop;  // destroy the top-level window rather than the owner
  };
  for (const Row row : {Row{"owner itself", false}, Row{"its top-level ancestor", true}}) {
    SCOPED_TRACE(row.what);
    const xcb_window_t top = client_->CreateWindow(kOwnerWidth, kOwnerHeight);
    const xcb_window_t owner = client_->CreateWindow(200, 150, top);
    ASSERT_EQ(Up(owner), S_OK);
    ASSERT_TRUE(Eventually([] { return platform::host::PreviewFramesDrawn() > 0; }));
    client_->Destroy(row.destroyTop ? top : owner);
    // Detached: a bring-up with the stale owner would answer E_FAIL.
    EXPECT_TRUE(Eventually([&] { return preview_->SetVisible(-1) == S_OK; }));
    const uint64_t drawn = platform::host::PreviewFramesDrawn();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(platform::host::PreviewFramesDrawn(), drawn) << "still drawing";
    EXPECT_EQ(preview_->StartPreview(), S_OK);  // stays down until a new owner
    if (!row.destroyTop) client_->Destroy(top);
  }
}

// A window made by another X client process, held while this lives.
class ForeignWindow {
 public:
  // `claimedPid`: the _NET_WM_PID it sets (none when empty).
  explicit ForeignWindow(const std::string& claimedPid) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv{const_cast<char*>(FOREIGN_WINDOW)};
    if (!claimedPid.empty()) argv.push_back(const_cast<char*>(claimedPid.c_str()));
    argv.push_back(nullptr);
    const bool spawned = posix_spawn(&pid_, FOREIGN_WINDOW, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    keep_ = in[1];
    std::string line;
    char c = 0;
    while (spawned && ::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    ::close(out[0]);
    if (!spawned) pid_ = 0;
    if (!line.empty()) window_ = static_cast<xcb_window_t>(std::stoul(line));
  }
  ~ForeignWindow() {
    ::close(keep_);  // the helper ends at the end of its input
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
  }
  ForeignWindow(const ForeignWindow&) = delete;
  ForeignWindow& operator=(const ForeignWindow&) = delete;
  xcb_window_t window() const { return window_; }

 private:
  pid_t pid_ = 0;
  int keep_ = -1;
  xcb_window_t window_ = XCB_NONE;
};

// Refused with E_FAIL before anything else, also by an object without a
// camera; the previous owner keeps its preview.
TEST_F(PreviewE2eTest, HandlesThatAreNotTheClientsWindows) {
  ASSERT_EQ(Up(owner_), S_OK);
  const ForeignWindow foreign("");
  const ForeignWindow claiming(std::to_string(::getpid()));
  ASSERT_NE(foreign.window(), XCB_NONE);
  ASSERT_NE(claiming.window(), XCB_NONE);
  const xcb_window_t gone = client_->CreateWindow(100, 100);
  client_->Destroy(gone);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(client_->connection())).data->root;
  void* p = nullptr;
  ASSERT_EQ(CameraControl::Create(nullptr, IID_ICDVPreviewControl, &p), S_OK);
  ICDVPreviewControl* unselected = static_cast<ICDVPreviewControl*>(p);
  struct Row {
    const char* what;
    LONG handle;
  };
  for (const Row& row : {Row{"no window", 0}, Row{"never a window", 0x7FFFFF01}, Row{"destroyed", Handle(gone)},
                         Row{"another process's window", Handle(foreign.window())},
                         Row{"another process's window naming this one", Handle(claiming.window())},
                         Row{"the root window", Handle(root)}}) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(preview_->SetOwner(row.handle), E_FAIL);
    EXPECT_EQ(unselected->SetOwner(row.handle), E_FAIL) << "without a camera";
    // The previous owner keeps its preview; nothing was drawn into the window.
    client_->Sync();
    const xcb_window_t video = Video(owner_);
    ASSERT_NE(video, XCB_NONE);
    EXPECT_TRUE(client_->GeometryOf(video)->mapped);
    if (row.handle != 0 && row.handle != 0x7FFFFF01 && row.handle != Handle(gone)) {
      for (const xcb_window_t child : client_->Children(static_cast<xcb_window_t>(row.handle)))
        EXPECT_NE(child, video);
    }
  }
  EXPECT_EQ(unselected->SetOwner(Handle(owner_)), CAM_E_NOT_CONNECTED) << "a window of this process";
  unselected->Release();
}

TEST_F(PreviewE2eTest, CameraWithoutVideoCannotBePreviewed) {
  SetCamera([](vcam::State& s) { s.noVideo = 1; });
  EXPECT_EQ(Up(owner_), CAM_E_PREVIEW_FAILED);
  client_->Sync();
  EXPECT_EQ(Video(owner_), XCB_NONE);
  SetCamera([](vcam::State& s) { s.noVideo = 0; });
  EXPECT_EQ(preview_->StartPreview(), S_OK);
  client_->Sync();
  EXPECT_NE(Video(owner_), XCB_NONE);
}

TEST_F(PreviewE2eTest, EveryMethodPromptWhileAnotherProcessHoldsTheCameraMutex) {
  // `vcam hold-mutex` prints "held" once it owns the mutex.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* argv[] = {VCAM_TOOL, "hold-mutex", "--ms", "5000", nullptr};
  pid_t holder = 0;
  ASSERT_EQ(posix_spawn(&holder, VCAM_TOOL, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  char held[5] = {};
  ASSERT_EQ(::read(out[0], held, 4), 4);
  ::close(out[0]);
  ASSERT_STREQ(held, "held");

  struct Row {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT expected;
  };
  const std::vector<Row> rows = {
      {"SetOwner", [&] { return preview_->SetOwner(Handle(owner_)); }, S_OK},
      {"SetVisible", [&] { return preview_->SetVisible(-1); }, S_OK},
      {"StartPreview", [&] { return preview_->StartPreview(); }, S_OK},
      {"MoveWindow", [&] { return preview_->MoveWindow(10, 10, 200, 100); }, S_OK},
      {"StopPreview", [&] { return preview_->StopPreview(); }, S_OK},
  };
  const size_t exchanges = camera_->ReadTrace().size();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const auto start = Clock::now();
    EXPECT_EQ(row.call(), row.expected);
    // Shorter than the camera mutex's 300 ms wait: the mutex was never asked for.
    EXPECT_LT(Clock::now() - start, 250ms);
  }
  EXPECT_EQ(camera_->ReadTrace().size(), exchanges) << "the preview sent a camera command";
  ::kill(holder, SIGTERM);
  int status = 0;
  ::waitpid(holder, &status, 0);
}

}  // namespace
}  // namespace camctl::testing
