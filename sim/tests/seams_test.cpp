// The host implementations of the outside-driver seams, backed by the
// virtual camcorder: device lists, transport, registry link, storage driver,
// removal notices.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/device_notices.h"
#include "platform/imaging_devices.h"
#include "platform/storage_driver.h"
#include "platform/video_devices.h"
#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;
using platform::ComString;
using platform::ComToUtf8;
using platform::Utf8ToCom;

class SeamsTest : public RootFixture {
 protected:
  void SetUp() override {
    RootFixture::SetUp();
    ::setenv("HOSTCOM_REGISTRY", (root_ / "registry.reg").c_str(), 1);
    CameraOptions a;
    a.uniqueId = "0800460102ab0001";
    first_ = Create("a-first", a);
    CameraOptions b;
    b.uniqueId = "0800460102ab0002";
    b.friendlyName = "Second Camera";
    b.supported = false;
    second_ = Create("b-second", b);
  }
  void TearDown() override {
    ::unsetenv("HOSTCOM_REGISTRY");
    RootFixture::TearDown();
  }
  std::unique_ptr<Camera> first_, second_;
};

TEST_F(SeamsTest, VideoInputDevicesArePluggedCamerasInOrder) {
  std::vector<std::unique_ptr<platform::VideoInputDevice>> devices;
  ASSERT_EQ(platform::ListVideoInputDevices(devices), S_OK);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(ComToUtf8(devices[0]->FriendlyName()), "DV Camera");
  EXPECT_EQ(ComToUtf8(devices[0]->DevicePath()),
            "\\\\?\\avc#marrowfield&kv7&camcorder&dv#0800460102ab0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
  EXPECT_EQ(ComToUtf8(devices[0]->PnpFriendlyName()), "Marrowfield KV7 Camcorder");
  EXPECT_EQ(ComToUtf8(devices[1]->FriendlyName()), "Second Camera");
  second_->SetPlugged(false);
  ASSERT_EQ(platform::ListVideoInputDevices(devices), S_OK);
  EXPECT_EQ(devices.size(), 1u);
  first_->SetPlugged(false);
  EXPECT_EQ(platform::ListVideoInputDevices(devices), S_FALSE);
  EXPECT_TRUE(devices.empty());
}

TEST_F(SeamsTest, BoundTransportAnswersTheIdentificationQuery) {
  std::vector<std::unique_ptr<platform::VideoInputDevice>> devices;
  ASSERT_EQ(platform::ListVideoInputDevices(devices), S_OK);
  auto capture = devices[1]->Bind();
  ASSERT_NE(capture, nullptr);
  auto transport = capture->QueryTransport();
  ASSERT_NE(transport, nullptr);
  uint8_t frame[platform::kAvcFrameBufferSize] = {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
  ASSERT_EQ(transport->Exchange(frame, 11), 0);
  EXPECT_EQ(frame[9], 0x01);
  EXPECT_EQ(frame[10], 0x02);  // the second camera is not a supported one
  second_->SetPlugged(false);
  EXPECT_EQ(transport->Exchange(frame, 11), kDeviceRemoved);
  EXPECT_EQ(devices[1]->Bind(), nullptr);
}

TEST_F(SeamsTest, ImagingDevicesCarryTheirLinkInTheRegistry) {
  std::vector<platform::ImagingDevice> devices;
  ASSERT_EQ(platform::ListImagingDevices(devices), S_OK);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].type >> 16, platform::kImagingMainTypeCamera);
  EXPECT_EQ(ComToUtf8(devices[0].deviceId), "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000");
  EXPECT_EQ(ComToUtf8(devices[1].deviceId), "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001");
  ComString link;
  ASSERT_EQ(platform::ReadDevSymLink(devices[0].deviceId, link), S_OK);
  EXPECT_EQ(ComToUtf8(link), "\\??\\vcamstor#marrowfield&kv7#0800460102ab0001#{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
  EXPECT_EQ(UniqueIdField(ComToUtf8(link)), "0800460102ab0001");
}

TEST_F(SeamsTest, StorageDriverOpensByLinkAndExchanges) {
  std::unique_ptr<platform::StorageDriverHandle> handle;
  const std::string link = "\\\\?\\vcamstor#marrowfield&kv7#0800460102AB0001#{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  ASSERT_EQ(platform::OpenStorageDriver(Utf8ToCom(link), handle), 0);
  ASSERT_NE(handle, nullptr);
  uint8_t frame[sf::kCountEntriesLength];
  ASSERT_TRUE(sf::BuildCountEntries(frame, sf::Address{}, 1, "\\dev\\campset"));
  ASSERT_EQ(handle->Exchange(frame, sizeof frame, nullptr, 0), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(sf::GetBe16(frame + 7), 3);
  EXPECT_EQ(handle->Close(), 0);
  EXPECT_NE(handle->Exchange(frame, sizeof frame, nullptr, 0), 0);  // closed
  EXPECT_NE(handle->Close(), 0);
}

TEST_F(SeamsTest, StorageDriverRefusesUnknownOrUnpluggedLinks) {
  std::unique_ptr<platform::StorageDriverHandle> handle;
  const std::string other = "\\\\?\\vcamstor#marrowfield&kv7#0800460102ab0009#{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  EXPECT_EQ(platform::OpenStorageDriver(Utf8ToCom(other), handle), 2);
  EXPECT_EQ(handle, nullptr);
  const std::string wrongRest = "\\\\?\\elsewhere#x#0800460102ab0001#y";
  EXPECT_EQ(platform::OpenStorageDriver(Utf8ToCom(wrongRest), handle), 2);
  first_->SetPlugged(false);
  const std::string link = "\\\\?\\vcamstor#marrowfield&kv7#0800460102ab0001#{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
  EXPECT_EQ(platform::OpenStorageDriver(Utf8ToCom(link), handle), 2);
}

TEST_F(SeamsTest, EachUnplugSendsOneRemovalNotice) {
  const struct {
    const char* name;
    bool replugAtOnce;  // plugged again before the notice thread can look: the unplug counter tells
  } cases[] = {{"unplug", false}, {"unplug then replug", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    first_->SetPlugged(true);
    second_->SetPlugged(true);
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> removed;
    auto subscription = platform::SubscribeRemovalNotices([&](platform::ComStringView path) {
      std::lock_guard<std::mutex> lock(m);
      removed.push_back(ComToUtf8(path));
      cv.notify_all();
    });
    ASSERT_NE(subscription, nullptr);
    const uint8_t unplugsBefore = second_->ReadState().unplugCount;
    second_->Modify([](vcam::State& s) { s.plugged = 0; });
    if (c.replugAtOnce) second_->Modify([](vcam::State& s) { s.plugged = 1; });
    {
      std::unique_lock<std::mutex> lock(m);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return !removed.empty(); }));
    }
    EXPECT_EQ(second_->ReadState().unplugCount, static_cast<uint8_t>(unplugsBefore + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    subscription.reset();
    first_->SetPlugged(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(removed.size(), 1u);  // once, and none after the subscription ended
    EXPECT_EQ(removed[0], second_->identity().devicePath);
  }
}

TEST_F(SeamsTest, SubscriptionMayEndInsideItsOwnCallback) {
  std::mutex m;
  std::condition_variable cv;
  bool called = false;
  std::unique_ptr<platform::RemovalSubscription> subscription;
  {
    // Stored under the lock the callback takes: the notice thread learns of
    // the unplug through the file system, which orders nothing for the compiler.
    std::lock_guard<std::mutex> lock(m);
    subscription = platform::SubscribeRemovalNotices([&](platform::ComStringView) {
      std::lock_guard<std::mutex> inner(m);
      subscription.reset();
      called = true;
      cv.notify_all();
    });
  }
  first_->SetPlugged(false);
  second_->SetPlugged(false);
  std::unique_lock<std::mutex> lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return called; }));
  EXPECT_EQ(subscription, nullptr);
}

TEST_F(SeamsTest, DefaultRootGetsADefaultCamera) {
  const std::string home = (root_ / "home").string();
  ::unsetenv("VCAM_HOME");
  ::setenv("XDG_STATE_HOME", home.c_str(), 1);
  std::vector<std::unique_ptr<platform::VideoInputDevice>> devices;
  EXPECT_EQ(platform::ListVideoInputDevices(devices), S_OK);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_NE(ComToUtf8(devices[0]->DevicePath()).find("&kv7&"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root_ / "home" / "vcam" / "default" / "identity"));
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("VCAM_HOME", root_.c_str(), 1);
}

}  // namespace
}  // namespace vcam::testing
