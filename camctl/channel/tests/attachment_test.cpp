// Attaching and detaching a camera, the attached-camera count, the settle
// window and the settle check.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/object/camera_state.h"
#include "test_support.h"

namespace camctl::testing {
namespace {

using namespace std::chrono_literals;

std::atomic<int64_t> g_fakeNowNs{0};
std::chrono::steady_clock::time_point FakeNow() {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(g_fakeNowNs.load())));
}
void Advance(std::chrono::nanoseconds by) { g_fakeNowNs += by.count(); }

std::atomic<int> g_watcherStarts{0};
std::atomic<int> g_watcherStops{0};
std::atomic<HRESULT> g_watcherStartResult{S_OK};
HRESULT CountingStart(CameraState&) {
  ++g_watcherStarts;
  return g_watcherStartResult.load();
}
void CountingStop(CameraState&) { ++g_watcherStops; }

class AttachmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fakeNowNs = 1'000'000'000'000;  // far from the clock's epoch
    SetSettleClock(&FakeNow);
    StopSettleTimer();
    g_watcherStarts = 0;
    g_watcherStops = 0;
    g_watcherStartResult = S_OK;
    SetDeviceWatcherHooks({&CountingStart, &CountingStop});
    ASSERT_EQ(AttachedCameraCount(), 0);
  }
  void TearDown() override {
    DetachTransport(state_);
    DetachTransport(second_);
    SetDeviceWatcherHooks({});
    StopSettleTimer();
    SetSettleClock(nullptr);
  }

  // Attaches state_ to transport_ and clears the record of that.
  void Attach() {
    ASSERT_EQ(AttachTransport(state_, &device_), S_OK);
    ASSERT_TRUE(state_.commandChannel);
  }
  void AnswerBusyFlag(uint8_t value) {
    transport_->response = {value};
    transport_->responseOffset = 9;
  }

  MutexNamespace ns_;
  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
  FakeDevice device_{transport_};
  CameraState state_;
  CameraState second_;
};

const Bytes kBusyQuery{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF};

// ---- Attach and detach ---------------------------------------------------------

TEST_F(AttachmentTest, AttachWithoutDeviceFails) {
  EXPECT_EQ(AttachTransport(state_, nullptr), E_FAIL);
  EXPECT_FALSE(state_.commandChannel);
  EXPECT_EQ(state_.connection, ConnectionState::NoCamera);
  EXPECT_EQ(AttachedCameraCount(), 0);
}

TEST_F(AttachmentTest, AttachBindsCountsStartsTheWatcherAndSendsNothing) {
  const auto uses = transport_.use_count();
  ASSERT_EQ(AttachTransport(state_, &device_), S_OK);
  EXPECT_TRUE(state_.commandChannel);
  EXPECT_EQ(state_.connection, ConnectionState::Attached);
  EXPECT_EQ(AttachedCameraCount(), 1);
  EXPECT_EQ(g_watcherStarts.load(), 1);
  EXPECT_EQ(transport_.use_count(), uses + 1);  // the channel keeps its own reference
  EXPECT_TRUE(transport_->calls.empty());
}

TEST_F(AttachmentTest, WatcherFailureDoesNotFailTheAttachment) {
  g_watcherStartResult = E_FAIL;
  EXPECT_EQ(AttachTransport(state_, &device_), S_OK);
  EXPECT_EQ(state_.connection, ConnectionState::Attached);
  EXPECT_EQ(g_watcherStarts.load(), 1);
}

TEST_F(AttachmentTest, WithoutHooksTheWatcherSeamDoesNothing) {
  SetDeviceWatcherHooks({});
  EXPECT_EQ(StartWatcher(state_), S_OK);
  StopWatcher(state_);
  EXPECT_EQ(g_watcherStarts.load(), 0);
  EXPECT_EQ(g_watcherStops.load(), 0);
}

TEST_F(AttachmentTest, SecondAttachFailsAndKeepsTheFirstChannel) {
  Attach();
  CommandChannel* first = state_.commandChannel.get();
  auto otherTransport = std::make_shared<FakeTransport>();
  FakeDevice other(otherTransport);
  EXPECT_EQ(AttachTransport(state_, &other), E_FAIL);
  EXPECT_EQ(state_.commandChannel.get(), first);
  EXPECT_EQ(other.queries, 0);
  EXPECT_EQ(AttachedCameraCount(), 1);
  EXPECT_EQ(g_watcherStarts.load(), 1);

  // Commands still reach the first camera.
  ASSERT_EQ(state_.commandChannel->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  EXPECT_EQ(transport_->calls.size(), 1u);
  EXPECT_TRUE(otherTransport->calls.empty());
}

TEST_F(AttachmentTest, DeviceWithoutTransportIsRefused) {
  FakeDevice bare(nullptr);
  EXPECT_EQ(AttachTransport(state_, &bare), E_FAIL);
  EXPECT_EQ(bare.queries, 1);
  FakeDevice throwing(transport_);
  throwing.throws = true;
  EXPECT_EQ(AttachTransport(state_, &throwing), E_FAIL);

  EXPECT_FALSE(state_.commandChannel);
  EXPECT_EQ(state_.connection, ConnectionState::NoCamera);
  EXPECT_EQ(AttachedCameraCount(), 0);
  EXPECT_EQ(g_watcherStarts.load(), 0);
}

TEST_F(AttachmentTest, DetachStopsTheWatcherUncountsAndDropsTheChannel) {
  Attach();
  std::weak_ptr<FakeTransport> weak = transport_;
  transport_.reset();
  DetachTransport(state_);
  EXPECT_FALSE(state_.commandChannel);
  EXPECT_EQ(AttachedCameraCount(), 0);
  EXPECT_EQ(g_watcherStops.load(), 1);
  EXPECT_EQ(weak.use_count(), 1);  // only the device's reference is left
  // The connection state is the caller's business.
  EXPECT_EQ(state_.connection, ConnectionState::Attached);

  // Detaching again does nothing.
  DetachTransport(state_);
  EXPECT_EQ(AttachedCameraCount(), 0);
  EXPECT_EQ(g_watcherStops.load(), 1);
}

TEST_F(AttachmentTest, ObjectMayAttachAgainAfterDetaching) {
  Attach();
  DetachTransport(state_);
  EXPECT_EQ(AttachTransport(state_, &device_), S_OK);
  EXPECT_EQ(AttachedCameraCount(), 1);
}

TEST_F(AttachmentTest, LastDetachStopsTheSettleWindow) {
  Attach();
  auto otherTransport = std::make_shared<FakeTransport>();
  FakeDevice other(otherTransport);
  ASSERT_EQ(AttachTransport(second_, &other), S_OK);
  EXPECT_EQ(AttachedCameraCount(), 2);

  ArmSettleTimer();
  DetachTransport(second_);
  EXPECT_EQ(AttachedCameraCount(), 1);
  EXPECT_TRUE(SettleTimerRunning()) << "another camera is still attached";
  DetachTransport(state_);
  EXPECT_EQ(AttachedCameraCount(), 0);
  EXPECT_FALSE(SettleTimerRunning());
}

// ---- Settle window ---------------------------------------------------------------

TEST_F(AttachmentTest, SettleWindowClosesTwoSecondsAfterArming) {
  EXPECT_FALSE(SettleTimerRunning());
  ArmSettleTimer();
  EXPECT_TRUE(SettleTimerRunning());
  Advance(1999ms);
  EXPECT_TRUE(SettleTimerRunning());
  Advance(1ms);
  EXPECT_FALSE(SettleTimerRunning());
  Advance(-1500ms);  // a closed window stays closed
  EXPECT_FALSE(SettleTimerRunning());
}

TEST_F(AttachmentTest, ArmingAgainRestartsTheWindow) {
  ArmSettleTimer();
  Advance(1500ms);
  ArmSettleTimer();
  Advance(1500ms);
  EXPECT_TRUE(SettleTimerRunning());
  Advance(500ms);
  EXPECT_FALSE(SettleTimerRunning());
}

TEST_F(AttachmentTest, StopClosesTheWindowAtOnce) {
  ArmSettleTimer();
  StopSettleTimer();
  EXPECT_FALSE(SettleTimerRunning());
}

// ---- Busy flag -----------------------------------------------------------------

TEST_F(AttachmentTest, ReadBusyFlagWithoutChannelIsNotConnected) {
  uint8_t flag = 0x55;
  EXPECT_EQ(ReadBusyFlag(state_, flag), CAM_E_NOT_CONNECTED);
  EXPECT_EQ(flag, 0x55);
}

TEST_F(AttachmentTest, ReadBusyFlagSendsTheStatusQueryAndReturnsTheByte) {
  Attach();
  AnswerBusyFlag(0x01);
  uint8_t flag = 0x55;
  ASSERT_EQ(ReadBusyFlag(state_, flag), S_OK);
  EXPECT_EQ(flag, 0x01);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame, kBusyQuery);
}

TEST_F(AttachmentTest, ReadBusyFlagIgnoresTheConnectionState) {
  Attach();
  state_.connection = ConnectionState::Removed;
  AnswerBusyFlag(0x00);
  uint8_t flag = 0x55;
  EXPECT_EQ(ReadBusyFlag(state_, flag), S_OK);
  EXPECT_EQ(flag, 0x00);
}

TEST_F(AttachmentTest, FailedReadLeavesTheFlagAlone) {
  Attach();
  AnswerBusyFlag(0x01);
  transport_->results = {71};
  uint8_t flag = 0x55;
  EXPECT_EQ(ReadBusyFlag(state_, flag), CAM_E_REJECTED);
  EXPECT_EQ(flag, 0x55);
}

// ---- Settle check -----------------------------------------------------------------

TEST_F(AttachmentTest, OutsideTheWindowTheCheckSendsNothingAndPasses) {
  Attach();
  AnswerBusyFlag(0x01);
  EXPECT_EQ(SettleCheck(state_), S_OK);
  EXPECT_TRUE(transport_->calls.empty());

  // Also once the window has run out.
  ArmSettleTimer();
  Advance(2s);
  EXPECT_EQ(SettleCheck(state_), S_OK);
  EXPECT_TRUE(transport_->calls.empty());
}

TEST_F(AttachmentTest, BusyCameraInsideTheWindowFailsTheCheck) {
  Attach();
  ArmSettleTimer();
  AnswerBusyFlag(0x01);
  EXPECT_EQ(SettleCheck(state_), CAM_E_BUSY);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame, kBusyQuery);
}

TEST_F(AttachmentTest, OnlyOneMeansBusy) {
  Attach();
  ArmSettleTimer();
  for (uint8_t value : {0x00, 0x02, 0xFF}) {
    AnswerBusyFlag(value);
    EXPECT_EQ(SettleCheck(state_), S_OK) << int{value};
  }
  EXPECT_EQ(transport_->calls.size(), 3u);
}

TEST_F(AttachmentTest, RefusedBusyQueryIsAskedOnce) {
  Attach();
  ArmSettleTimer();
  transport_->fallback = 71;
  EXPECT_EQ(SettleCheck(state_), CAM_E_REJECTED);
  EXPECT_EQ(transport_->calls.size(), 1u);
}

TEST_F(AttachmentTest, TimedOutBusyQueryIsAskedFourTimes) {
  Attach();
  ArmSettleTimer();
  transport_->fallback = 1460;
  EXPECT_EQ(SettleCheck(state_), CAM_E_TIMEOUT);
  // Four queries of four transport calls each.
  EXPECT_EQ(transport_->calls.size(), 16u);
  for (const auto& call : transport_->calls) EXPECT_EQ(call.frame, kBusyQuery);
}

TEST_F(AttachmentTest, BusyQueryFailingOnceThenAnsweringPasses) {
  Attach();
  ArmSettleTimer();
  transport_->results = {1617, 0};
  AnswerBusyFlag(0x00);
  EXPECT_EQ(SettleCheck(state_), S_OK);
  EXPECT_EQ(transport_->calls.size(), 2u);
}

TEST_F(AttachmentTest, LastFailureIsTheCheckResult) {
  Attach();
  ArmSettleTimer();
  transport_->results = {50, 1617, 1235, 31};
  EXPECT_EQ(SettleCheck(state_), static_cast<HRESULT>(0x8007001Fu));
  EXPECT_EQ(transport_->calls.size(), 4u);
}

TEST_F(AttachmentTest, CheckWithoutChannelInsideTheWindowIsNotConnected) {
  ArmSettleTimer();
  EXPECT_EQ(SettleCheck(state_), CAM_E_NOT_CONNECTED);
}

TEST_F(AttachmentTest, CheckWhileAnotherProcessHoldsTheCameraMutexTimesOutWithoutSending) {
  Attach();
  ArmSettleTimer();
  ScratchDir dir;
  OtherProcessHolder holder(kCameraMutexName, dir);
  ASSERT_TRUE(holder.WaitHeld());
  EXPECT_EQ(SettleCheck(state_), CAM_E_LOCK_TIMEOUT);
  EXPECT_TRUE(transport_->calls.empty());
  EXPECT_EQ(holder.Release(), 0);
}

}  // namespace
}  // namespace camctl::testing
