// The setting functions over a scripted transport: frames byte for byte,
// value checks, encodings, read-back, refusal conversion, capability inquiry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "camctl/common/results.h"
#include "camctl/settings/camera_settings.h"
#include "camctl/settings/preset_zero.h"
#include "platform/named_mutex.h"
#include "settings_test_support.h"
#include "tests/support/test_environment.h"

namespace camctl::settings::testing {
namespace {

Bytes General(uint8_t ctype, uint8_t address, uint8_t opcode, Bytes operands) {
  operands.insert(operands.begin(), {ctype, address, opcode});
  return operands;
}

// ---- Writes ------------------------------------------------------------------

struct WriteCase {
  int32_t function;
  int32_t value;
  Bytes frame;
  bool readBack;  // the write is verified by reading the code back
};

class WriteFrames : public SettingsTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteFrames, SendsTheFunctionsFrameAndReadsBackOnlyVerifiedWrites) {
  const WriteCase& c = GetParam();
  ASSERT_EQ(SetStatus(state(), c.function, c.value), S_OK);
  ASSERT_FALSE(frames().empty());
  EXPECT_EQ(frames()[0], c.frame);
  if (c.readBack) {
    // The camera model answers the written byte at once: one read-back.
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[1], Status(c.frame[8], 1));
    EXPECT_EQ(FakeTime::Sleeps(), std::vector<uint32_t>{kReadBackPauseMs});
  } else {
    EXPECT_EQ(frames().size(), 1u);
    EXPECT_TRUE(FakeTime::Sleeps().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryWritableFunction, WriteFrames,
    ::testing::Values(
        WriteCase{1, 0, Control(0x26, {0x00}), false}, WriteCase{1, 6, Control(0x26, {0x06}), false},
        WriteCase{2, 2, Control(0x22, {0x02}), false},
        // The value of functions 3 and 6 is ignored: no operands at all.
        WriteCase{3, 12345, Control(0x27, {}), false}, WriteCase{3, -1, Control(0x27, {}), false},
        WriteCase{4, 1, Control(0x29, {0x01}), false}, WriteCase{5, 7, Control(0x19, {0x07}), true},
        WriteCase{5, 0, Control(0x19, {0x00}), true}, WriteCase{6, 99, Control(0x20, {}), false},
        WriteCase{6, 0, Control(0x20, {}), false},
        // Paired functions: the switch alone, or switch on with a level.
        WriteCase{7, 0, Control(0x17, {0x00, 0xFF}), false}, WriteCase{7, 1, Control(0x17, {0x01, 0xFF}), false},
        WriteCase{8, 50, Control(0x17, {0x01, 0x32}), false}, WriteCase{8, 0, Control(0x17, {0x01, 0x00}), false},
        WriteCase{11, 1, Control(0x25, {0x01, 0xFF}), false},
        WriteCase{12, 254, Control(0x25, {0x01, 0xFE}), false}, WriteCase{13, 1, Control(0x23, {0x01}), false},
        WriteCase{15, 1, General(0x00, 0x38, 0xC8, {0x01}), false},
        // Sign-magnitude encodings.
        WriteCase{16, -1, Control(0x1D, {0x09}), false}, WriteCase{16, -4, Control(0x1D, {0x0C}), false},
        WriteCase{16, 0, Control(0x1D, {0x0F}), false}, WriteCase{16, 4, Control(0x1D, {0x04}), false},
        WriteCase{17, 0, Control(0x1C, {0x3F}), false}, WriteCase{17, -16, Control(0x1C, {0x20}), false},
        WriteCase{17, -1, Control(0x1C, {0x11}), false}, WriteCase{17, 16, Control(0x1C, {0x10}), false},
        WriteCase{18, 1, Control(0x13, {0x01}), false}, WriteCase{19, 21, Control(0x14, {0x15}), false},
        WriteCase{19, 2, Control(0x14, {0x02}), false},
        // The picture settings.
        WriteCase{20, 127, Control(0x41, {0x7F}), true}, WriteCase{21, 0, Control(0x40, {0x00}), true},
        WriteCase{22, 6, Control(0x47, {0x06}), true}, WriteCase{23, 12, Control(0x48, {0x0C}), true},
        WriteCase{24, 1, Control(0x4B, {0x01}), true}, WriteCase{25, 2, Control(0x4C, {0x02}), true},
        WriteCase{26, 3, Control(0x4D, {0x03}), true}, WriteCase{27, 4, Control(0x4F, {0x04}), true},
        WriteCase{28, 5, Control(0x50, {0x05}), true}, WriteCase{29, 1, Control(0x44, {0x01}), true},
        WriteCase{30, 1, Control(0x49, {0x01}), true}, WriteCase{31, 1, Control(0x46, {0x01}), true},
        WriteCase{32, 2, Control(0x45, {0x02}), true}, WriteCase{33, 2, Control(0x4A, {0x02}), true},
        WriteCase{34, 3, Control(0x4E, {0x03}), true}));

// ---- Reads -------------------------------------------------------------------

struct ReadCase {
  int32_t function;
  Bytes answer;
  Bytes frame;
  LONG value;
};

class ReadFrames : public SettingsTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadFrames, SendsStatusWithEmptyCellsAndDecodesTheAnswer) {
  const ReadCase& c = GetParam();
  transport().replies.push_back({0, c.answer});
  LONG value = 0x5A5A;
  ASSERT_EQ(GetStatus(state(), c.function, &value), S_OK);
  ASSERT_EQ(frames().size(), 1u);
  EXPECT_EQ(frames()[0], c.frame);
  EXPECT_EQ(value, c.value);
  EXPECT_TRUE(FakeTime::Sleeps().empty()) << "a read never pauses";
}

INSTANTIATE_TEST_SUITE_P(
    EveryReadableFunction, ReadFrames,
    ::testing::Values(
        ReadCase{1, {0x05}, Status(0x26, 1), 5}, ReadCase{2, {0x02}, Status(0x22, 1), 2},
        ReadCase{3, {0x80}, Status(0x27, 1), 128}, ReadCase{4, {0x02, 0x01}, Status(0x29, 2), 21},
        ReadCase{4, {0xFF, 0xFF}, Status(0x29, 2), 0}, ReadCase{4, {0xFF, 0x00}, Status(0x29, 2), 2550},
        ReadCase{5, {0x06}, Status(0x19, 1), 6}, ReadCase{7, {0x01, 0x32}, Status(0x17, 2), 1},
        ReadCase{8, {0x01, 0x32}, Status(0x17, 2), 50}, ReadCase{11, {0x00, 0x07}, Status(0x25, 2), 0},
        ReadCase{12, {0x01, 0xFE}, Status(0x25, 2), 254}, ReadCase{12, {0x01, 0xFF}, Status(0x25, 2), -1},
        ReadCase{13, {0x02}, Status(0x23, 1), 2}, ReadCase{14, {0x12, 0x34}, Status(0x24, 2), 4660},
        ReadCase{14, {0xFF, 0xFF}, Status(0x24, 2), -1}, ReadCase{14, {0xFF, 0x00}, Status(0x24, 2), 65280},
        ReadCase{15, {0x01}, General(0x01, 0x38, 0xC8, {0xFF}), 1},
        ReadCase{16, {0x0C}, Status(0x1D, 1), -4}, ReadCase{16, {0x0F}, Status(0x1D, 1), 0},
        ReadCase{16, {0x0D}, Status(0x1D, 1), -5}, ReadCase{16, {0x08}, Status(0x1D, 1), 8},
        ReadCase{16, {0x04}, Status(0x1D, 1), 4}, ReadCase{16, {0x00}, Status(0x1D, 1), 0},
        ReadCase{16, {0x80}, Status(0x1D, 1), 0}, ReadCase{16, {0x7F}, Status(0x1D, 1), -119},
        ReadCase{17, {0x3F}, Status(0x1C, 1), 0}, ReadCase{17, {0x20}, Status(0x1C, 1), -16},
        ReadCase{17, {0x11}, Status(0x1C, 1), -1}, ReadCase{17, {0x10}, Status(0x1C, 1), 16},
        ReadCase{17, {0xFF}, Status(0x1C, 1), 0}, ReadCase{18, {0x01}, Status(0x13, 1), 1},
        ReadCase{19, {0x13}, Status(0x14, 1), 19}, ReadCase{20, {0x7F}, Status(0x41, 1), 127},
        ReadCase{21, {0xFF}, Status(0x40, 1), 255}, ReadCase{22, {0x06}, Status(0x47, 1), 6},
        ReadCase{23, {0x06}, Status(0x48, 1), 6}, ReadCase{24, {0x06}, Status(0x4B, 1), 6},
        ReadCase{25, {0x06}, Status(0x4C, 1), 6}, ReadCase{26, {0x06}, Status(0x4D, 1), 6},
        ReadCase{27, {0x06}, Status(0x4F, 1), 6}, ReadCase{28, {0x06}, Status(0x50, 1), 6},
        ReadCase{29, {0x01}, Status(0x44, 1), 1}, ReadCase{30, {0x01}, Status(0x49, 1), 1},
        ReadCase{31, {0x01}, Status(0x46, 1), 1}, ReadCase{32, {0x02}, Status(0x45, 1), 2},
        ReadCase{33, {0x02}, Status(0x4A, 1), 2}, ReadCase{34, {0x03}, Status(0x4E, 1), 3}));

TEST_F(SettingsTest, AFailedReadLeavesTheOutputAlone) {
  for (int32_t function : {1, 4, 12, 14, 16, 20, 34}) {
    transport().replies.push_back({kWin32ReqNotAccepted, {0x01, 0x02}});
    LONG value = 77;
    EXPECT_EQ(GetStatus(state(), function, &value), CAM_E_REJECTED) << function;
    EXPECT_EQ(value, 77) << function;
  }
}

// ---- Checks that send nothing ------------------------------------------------

struct RefusedCase {
  int32_t function;
  int32_t value;
  HRESULT expected;
};

// Holds the camera mutex, and the object lock too unless told not to, from
// another thread until told to let go (or, so that a faulty lock-taker fails
// instead of hanging, for ten seconds).
class OtherThreadHolds {
 public:
  OtherThreadHolds(CameraState& state, bool objectLock) {
    std::promise<void> held;
    auto ready = held.get_future();
    thread_ = std::thread([this, &state, &held, objectLock] {
      auto mutex = platform::OpenNamedMutex(kCameraMutexName);
      std::unique_lock<ObjectLock> object(state.lock, std::defer_lock);
      if (objectLock) object.lock();
      const bool owns = mutex && platform::Owns(mutex->Lock(0));
      held.set_value();
      std::unique_lock wait(m_);
      cv_.wait_for(wait, std::chrono::seconds(10), [this] { return release_; });
      released_ = true;
      if (owns) mutex->Unlock();
    });
    ready.wait();
  }
  ~OtherThreadHolds() {
    {
      std::lock_guard hold(m_);
      release_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  bool StillHeld() const { return !released_; }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool release_ = false;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

TEST_F(SettingsTest, RefusedValuesAndFunctionsSendNothingAndTakeNoLock) {
  const RefusedCase cases[] = {
      {20, 128, CAM_E_OUT_OF_RANGE}, {20, -1, CAM_E_OUT_OF_RANGE}, {20, 0x105, CAM_E_OUT_OF_RANGE},
      {21, 128, CAM_E_OUT_OF_RANGE}, {22, 200, CAM_E_OUT_OF_RANGE}, {23, -5, CAM_E_OUT_OF_RANGE},
      {24, 128, CAM_E_OUT_OF_RANGE}, {25, 128, CAM_E_OUT_OF_RANGE}, {26, 1000, CAM_E_OUT_OF_RANGE},
      {27, 128, CAM_E_OUT_OF_RANGE}, {28, -1, CAM_E_OUT_OF_RANGE}, {12, 255, CAM_E_OUT_OF_RANGE},
      {12, -1, CAM_E_OUT_OF_RANGE},  {29, 2, E_INVALIDARG},         {30, 2, E_INVALIDARG},
      {31, -1, E_INVALIDARG},        {32, 3, E_INVALIDARG},         {33, 3, E_INVALIDARG},
      {34, 4, E_INVALIDARG},         {1, 7, E_INVALIDARG},          {1, -1, E_INVALIDARG},
      {2, 0, E_INVALIDARG},          {2, 3, E_INVALIDARG},          {4, 0, E_INVALIDARG},
      {4, 3, E_INVALIDARG},          {5, 3, E_INVALIDARG},          {5, 4, E_INVALIDARG},
      {5, 8, E_INVALIDARG},          {7, 2, E_INVALIDARG},          {8, 101, E_INVALIDARG},
      {8, -1, E_INVALIDARG},         {11, 2, E_INVALIDARG},         {13, 0, E_INVALIDARG},
      {15, 2, E_INVALIDARG},         {16, 5, E_INVALIDARG},         {16, -5, E_INVALIDARG},
      {17, 17, E_INVALIDARG},        {17, -17, E_INVALIDARG},       {18, 2, E_INVALIDARG},
      {19, 0, E_INVALIDARG},         {19, 3, E_INVALIDARG},         {19, 18, E_INVALIDARG},
      {19, 20, E_INVALIDARG},        {19, 22, E_INVALIDARG},        {19, 0x102, E_INVALIDARG},
      {0, 0, CAM_E_NOT_SUPPORTED},   {-1, 0, CAM_E_NOT_SUPPORTED},  {35, 0, CAM_E_NOT_SUPPORTED},
      {9, 0, CAM_E_NOT_SUPPORTED},   {10, 0, CAM_E_NOT_SUPPORTED},  {14, 0, CAM_E_NOT_SUPPORTED},
      {INT_MIN, 0, CAM_E_NOT_SUPPORTED}, {INT_MAX, 0, CAM_E_NOT_SUPPORTED},
  };
  {
    // A picture-setting write first looks at the selected camera's model
    // (under the object lock) to see whether preset 0 must be re-applied, so
    // only the camera mutex is held against those.
    OtherThreadHolds other(state(), false);
    for (const RefusedCase& c : cases) {
      if (IsPictureFunction(c.function)) {
        EXPECT_EQ(SetStatus(state(), c.function, c.value), c.expected) << c.function << " " << c.value;
      }
    }
    EXPECT_TRUE(other.StillHeld()) << "a refused call waited for the camera mutex";
  }
  OtherThreadHolds other(state(), true);
  for (const RefusedCase& c : cases) {
    if (!IsPictureFunction(c.function)) {
      EXPECT_EQ(SetStatus(state(), c.function, c.value), c.expected) << c.function << " " << c.value;
    }
  }
  LONG value = 33;
  for (int32_t function : {6, 9, 10, 0, 35, -7, INT_MIN}) {
    EXPECT_EQ(GetStatus(state(), function, &value), CAM_E_NOT_SUPPORTED) << function;
  }
  EXPECT_EQ(value, 33);
  for (int32_t function : {20, 9, 6}) EXPECT_EQ(GetStatus(state(), function, nullptr), E_POINTER);
  EXPECT_TRUE(other.StillHeld()) << "a refused call waited for a lock";
  EXPECT_TRUE(frames().empty());
}

// ---- Read-back -----------------------------------------------------------------

struct ReadBackCase {
  uint64_t msPerExchange;
  size_t readBacks;
};

class ReadBackWindow : public SettingsTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(ReadBackWindow, AValueThatNeverShowsUpIsPolledForTheWindowAndStillSucceeds) {
  FakeTime::msPerExchange = GetParam().msPerExchange;
  // The camera keeps answering an older value.
  camera_.values[0x47] = {0x10};
  transport().responder = [this](const Bytes& frame) {
    if (frame[0] == 0x01) return camera_(frame);
    return Reply{};
  };
  ASSERT_EQ(SetStatus(state(), kFunctionSharpness, 0x20), S_OK);
  ASSERT_EQ(frames().size(), 1 + GetParam().readBacks);
  EXPECT_EQ(frames()[0], Control(0x47, {0x20}));
  for (size_t i = 1; i < frames().size(); ++i) EXPECT_EQ(frames()[i], Status(0x47, 1)) << i;
  EXPECT_EQ(FakeTime::Sleeps(), std::vector<uint32_t>{kReadBackPauseMs});
}

// The window is 64 ms from the end of the 32 ms pause; the clock moves only
// with each exchange here.
INSTANTIATE_TEST_SUITE_P(ClockSteps, ReadBackWindow,
                         ::testing::Values(ReadBackCase{4, 16}, ReadBackCase{1, 64}, ReadBackCase{30, 3},
                                           ReadBackCase{64, 1}, ReadBackCase{500, 1}));

TEST_F(SettingsTest, ReadBackStopsAtTheFirstMatchingAnswer) {
  int statusReads = 0;
  transport().responder = [&](const Bytes& frame) {
    if (frame[0] != 0x01) return Reply{};
    return Reply{0, {static_cast<uint8_t>(++statusReads < 3 ? 0x01 : 0x09)}};
  };
  ASSERT_EQ(SetStatus(state(), kFunctionColorGain, 9), S_OK);
  EXPECT_EQ(statusReads, 3);
  EXPECT_EQ(frames().size(), 4u);
}

TEST_F(SettingsTest, FailingReadBacksAreRetriedUntilTheWindowEndsAndTheWriteStillCounts) {
  camera_.failures[0x48] = kWin32ReqNotAccepted;
  transport().replies.push_back({0, {}});  // the write itself is accepted
  ASSERT_EQ(SetStatus(state(), kFunctionSetupLevel, 3), S_OK);
  EXPECT_EQ(frames().size(), 1u + 16u);
}

TEST_F(SettingsTest, ARefusedWriteIsNeitherPausedNorReadBack) {
  transport().replies.push_back({kWin32ReqNotAccepted, {}});
  EXPECT_EQ(SetStatus(state(), kFunctionColorGain, 9), CAM_E_REJECTED);
  EXPECT_EQ(frames().size(), 1u);
  EXPECT_TRUE(FakeTime::Sleeps().empty());
}

TEST_F(SettingsTest, ReadBackEndsWithNotConnectedWhenTheChannelGoesDuringThePause) {
  FakeTime::duringSleep = [this] { DetachTransport(state()); };
  EXPECT_EQ(SetStatus(state(), 5, 2), CAM_E_NOT_CONNECTED);
  EXPECT_EQ(frames(), std::vector<Bytes>{Control(0x19, {0x02})});
}

TEST_F(SettingsTest, WriteVerifiedWithoutAChannelSendsNothing) {
  DetachTransport(state());
  uint8_t cell = 3;
  EXPECT_EQ(WriteVerified(state(), 0x16, cell, Ctype::Control), CAM_E_NOT_CONNECTED);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SettingsTest, WithRealTimingANeverMatchingReadBackLastsAtLeastPauseAndWindow) {
  SetReadBackTiming({});
  transport().record = false;
  transport().onExchange = nullptr;
  transport().responder = [](const Bytes& frame) { return frame[0] == 0x01 ? Reply{0, {0x00}} : Reply{}; };
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(SetStatus(state(), kFunctionSharpness, 0x20), S_OK);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // The window is counted in whole milliseconds of the tick clock, so the
  // measured time may fall short of it by less than one millisecond.
  EXPECT_GE(elapsed, std::chrono::milliseconds(kReadBackPauseMs + kReadBackWindowMs - 1));
  EXPECT_GE(transport().exchanges.load(), 2u);
}

// ---- Refusal conversion ----------------------------------------------------------

struct RefusalCase {
  int32_t function;
  uint32_t mask;
  int32_t transportResult;
  HRESULT expected;
};

class RefusalConversion : public SettingsTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalConversion, ANotImplementedWriteBecomesOutOfRangeWhenTheCapabilitySaysSo) {
  const RefusalCase& c = GetParam();
  state().capabilityMask = c.mask;
  transport().replies.push_back({c.transportResult, {}});
  EXPECT_EQ(SetStatus(state(), c.function, 1), c.expected);
  EXPECT_EQ(frames().size(), 1u) << "a failed write is not repeated";
}

constexpr uint32_t kAllBits = 0x0FFFFE3Fu;

INSTANTIATE_TEST_SUITE_P(
    ByCapabilityBit, RefusalConversion,
    ::testing::Values(
        RefusalCase{20, 1u << 15, 50, CAM_E_OUT_OF_RANGE}, RefusalCase{20, 0, 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{20, kAllBits & ~(1u << 15), 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{21, 1u << 16, 50, CAM_E_OUT_OF_RANGE}, RefusalCase{21, 1u << 15, 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{22, 1u << 17, 50, CAM_E_OUT_OF_RANGE}, RefusalCase{23, 1u << 18, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{24, 1u << 19, 50, CAM_E_OUT_OF_RANGE}, RefusalCase{25, 1u << 19, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{26, 1u << 19, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{25, kAllBits & ~(1u << 19), 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{27, 0, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{27, 1u << 3, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{28, 0, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{28, 1u << 0, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{29, kAllBits, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{30, 1u << 23, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{30, 0, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{31, kAllBits, 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{32, kAllBits, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{33, kAllBits, 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{34, kAllBits, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{12, 1u << 9, 50, CAM_E_OUT_OF_RANGE},
        RefusalCase{12, kAllBits & ~(1u << 9), 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{11, kAllBits, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{1, kAllBits, 50, CAM_E_NOT_SUPPORTED},
        RefusalCase{5, kAllBits, 50, CAM_E_NOT_SUPPORTED}, RefusalCase{20, kAllBits, 71, CAM_E_REJECTED},
        RefusalCase{20, kAllBits, 1617, CAM_E_REMOVED}, RefusalCase{12, kAllBits, 71, CAM_E_REJECTED}));

TEST_F(SettingsTest, ARefusedReadIsNeverConverted) {
  state().capabilityMask = kAllBits;
  for (int32_t function : {12, 20, 27}) {
    transport().replies.push_back({kWin32NotSupported, {}});
    LONG value = 0;
    EXPECT_EQ(GetStatus(state(), function, &value), CAM_E_NOT_SUPPORTED) << function;
  }
}

// ---- Settle check ------------------------------------------------------------------

TEST_F(SettingsTest, PictureSettingsAskTheBusyFlagWhileTheSettleWindowIsOpen) {
  ArmSettleTimer();
  camera_.values[kCodeBusyFlag] = {0x01};
  EXPECT_EQ(SetStatus(state(), kFunctionGamma, 1), CAM_E_BUSY);
  LONG value = 9;
  EXPECT_EQ(GetStatus(state(), kFunctionGamma, &value), CAM_E_BUSY);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Status(0x75, 1), Status(0x75, 1)}));

  transport().frames.clear();
  camera_.values[kCodeBusyFlag] = {0x00};
  EXPECT_EQ(SetStatus(state(), kFunctionGamma, 1), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Status(0x75, 1), Control(0x46, {0x01}), Status(0x46, 1)}));
}

TEST_F(SettingsTest, AFailingSettleCheckIsReturnedUnconverted) {
  ArmSettleTimer();
  state().capabilityMask = kAllBits;
  camera_.failures[kCodeBusyFlag] = kWin32NotSupported;
  EXPECT_EQ(SetStatus(state(), kFunctionColorGain, 1), CAM_E_NOT_SUPPORTED);
  EXPECT_EQ(frames().size(), 4u) << "four busy queries, no write";
}

TEST_F(SettingsTest, OtherFunctionsSkipTheSettleCheck) {
  ArmSettleTimer();
  camera_.values[kCodeBusyFlag] = {0x01};
  EXPECT_EQ(SetStatus(state(), 1, 0), S_OK);
  EXPECT_EQ(SetStatus(state(), 5, 0), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Control(0x26, {0x00}), Control(0x19, {0x00}), Status(0x19, 1)}));
}

// ---- Range ---------------------------------------------------------------------------

struct RangeCase {
  int32_t function;
  uint8_t code;
};

class RangeQuery : public SettingsTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeQuery, AsksCode21WithTheSettingsCodeAndReturnsTheBytesUnconverted) {
  const RangeCase& c = GetParam();
  transport().replies.push_back({0, {c.code, 0x00, 0xFF, 0x40}});
  LONG min = -9, max = -9, def = -9;
  ASSERT_EQ(GetRange(state(), c.function, &min, &max, &def), S_OK);
  EXPECT_EQ(frames(), std::vector<Bytes>{Bytes({0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x21, c.code,
                                                0xFF, 0xFF, 0xFF})});
  EXPECT_EQ(min, 0);
  EXPECT_EQ(max, 255);
  EXPECT_EQ(def, 64);
}

INSTANTIATE_TEST_SUITE_P(EveryRangedFunction, RangeQuery,
                         ::testing::Values(RangeCase{2, 0x22}, RangeCase{12, 0x25}, RangeCase{13, 0x23},
                                           RangeCase{20, 0x41}, RangeCase{21, 0x40}, RangeCase{22, 0x47},
                                           RangeCase{23, 0x48}, RangeCase{24, 0x4B}, RangeCase{25, 0x4C},
                                           RangeCase{26, 0x4D}, RangeCase{27, 0x4F}, RangeCase{28, 0x50},
                                           RangeCase{30, 0x49}, RangeCase{34, 0x4E}));

TEST_F(SettingsTest, RangeOfAFunctionWithoutOneOrWithANullPointerSendsNothing) {
  LONG a = 1, b = 2, c = 3;
  for (int32_t function : {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17, 18, 19, 29, 31, 32, 33, 0, 35, -2})
    EXPECT_EQ(GetRange(state(), function, &a, &b, &c), CAM_E_NOT_SUPPORTED) << function;
  EXPECT_EQ(GetRange(state(), 20, nullptr, &b, &c), E_POINTER);
  EXPECT_EQ(GetRange(state(), 20, &a, nullptr, &c), E_POINTER);
  EXPECT_EQ(GetRange(state(), 20, &a, &b, nullptr), E_POINTER);
  EXPECT_EQ(GetRange(state(), 1, &a, &b, nullptr), E_POINTER);
  EXPECT_TRUE(frames().empty());
  transport().replies.push_back({kWin32Timeout, {1, 2, 3, 4}});
  transport().replies.push_back({kWin32Timeout, {}});
  transport().replies.push_back({kWin32Timeout, {}});
  transport().replies.push_back({kWin32Timeout, {}});
  EXPECT_EQ(GetRange(state(), 20, &a, &b, &c), CAM_E_TIMEOUT);
  EXPECT_EQ(frames().size(), 4u);
  EXPECT_EQ((std::vector<LONG>{a, b, c}), (std::vector<LONG>{1, 2, 3}));
}

// ---- Capability inquiry ------------------------------------------------------------------

Bytes Probe(uint8_t code) { return {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0xF0, code}; }

const uint8_t kProbeOrder[] = {0x26, 0x22, 0x27, 0x29, 0x19, 0x17, 0x25, 0x23, 0x1D, 0x1C, 0x13, 0x14, 0x41,
                               0x40, 0x47, 0x48, 0x4B, 0x4F, 0x50, 0x44, 0x49, 0x46, 0x45, 0x4A, 0x4E};

TEST_F(SettingsTest, ProbeAsksTwentyFiveCodesInOrderAndSetsTheBitsOfTheAnsweredOnes) {
  state().capabilityMask = 0xF00001C0u;  // bits no probe may leave set
  transport().responder = [](const Bytes& frame) {
    switch (frame[9]) {
      case 0x26: case 0x41: case 0x4B: case 0x50: case 0x4E: case 0x17:
        return Reply{0, {0x00}};  // whatever the byte says, the answer counts
      case 0x22:
        return Reply{kWin32ReqNotAccepted, {}};
      default:
        return Reply{kWin32NotSupported, {}};
    }
  };
  ProbeCapabilities(state());
  ASSERT_EQ(frames().size(), 25u);
  for (size_t i = 0; i < 25; ++i) EXPECT_EQ(frames()[i], Probe(kProbeOrder[i])) << i;
  EXPECT_EQ(state().capabilityMask, (1u << 0) | (1u << 5) | (1u << 15) | (1u << 19) | (1u << 21) | (1u << 27));
}

TEST_F(SettingsTest, ProbeOfACameraThatAnswersEverythingSetsExactlyTheKnownBits) {
  ProbeCapabilities(state());
  EXPECT_EQ(state().capabilityMask, kAllBits);
}

TEST_F(SettingsTest, ProbeGoesOnPastTimeOutsAndRecordsNothingForThem) {
  state().capabilityMask = kAllBits;
  transport().responder = [](const Bytes& frame) {
    return frame[9] == 0x4E ? Reply{} : Reply{kWin32Timeout, {}};
  };
  ProbeCapabilities(state());
  EXPECT_EQ(frames().size(), 24u * 4u + 1u);
  EXPECT_EQ(state().capabilityMask, 1u << 27);
}

TEST_F(SettingsTest, ProbeWithoutAChannelChangesNothing) {
  DetachTransport(state());
  state().capabilityMask = 0x1234;
  ProbeCapabilities(state());
  EXPECT_EQ(state().capabilityMask, 0x1234u);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SettingsTest, CapabilityIsHandedOutOnlyInCameraMode) {
  const Bytes modeQuery{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x09, 0xFF, 0xFF, 0xFF, 0xFF};
  state().capabilityMask = 0x00808001u;
  LONG mask = 0;
  EXPECT_EQ(GetCapability(state(), nullptr), E_POINTER);
  EXPECT_TRUE(frames().empty());

  transport().replies.push_back({0, {0x38, 0x00, 0x00, 0x00}});
  ASSERT_EQ(GetCapability(state(), &mask), S_OK);
  EXPECT_EQ(mask, 0x00808001);
  EXPECT_EQ(frames(), std::vector<Bytes>{modeQuery});

  mask = 5;
  transport().replies.push_back({0, {0x20, 0x00, 0x00, 0x00}});
  EXPECT_EQ(GetCapability(state(), &mask), CAM_E_REJECTED);
  transport().replies.push_back({kWin32DeviceRemoved, {0x38}});
  EXPECT_EQ(GetCapability(state(), &mask), CAM_E_REMOVED);
  transport().replies.push_back({kWin32ReqNotAccepted, {0x38}});
  EXPECT_EQ(GetCapability(state(), &mask), CAM_E_REJECTED);
  EXPECT_EQ(mask, 5);
}

// ---- Object state and locks ----------------------------------------------------------------

TEST_F(SettingsTest, AfterRemovalPlainCallsSayRemovedAndPictureCallsFindNoChannel) {
  DetachTransport(state());
  state().connection = ConnectionState::Removed;
  LONG v = 0, a = 0, b = 0, c = 0;
  EXPECT_EQ(SetStatus(state(), 1, 0), CAM_E_REMOVED);
  EXPECT_EQ(SetStatus(state(), 5, 0), CAM_E_REMOVED);
  EXPECT_EQ(GetStatus(state(), 14, &v), CAM_E_REMOVED);
  EXPECT_EQ(GetRange(state(), 20, &a, &b, &c), CAM_E_REMOVED);
  EXPECT_EQ(GetCapability(state(), &v), CAM_E_REMOVED);
  EXPECT_EQ(SetStatus(state(), 20, 0), CAM_E_NOT_CONNECTED);
  EXPECT_EQ(GetStatus(state(), 34, &v), CAM_E_NOT_CONNECTED);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SettingsTest, RemovedStateWinsEvenWhileAChannelIsStillThere) {
  state().connection = ConnectionState::Removed;
  LONG v = 0;
  EXPECT_EQ(SetStatus(state(), 1, 0), CAM_E_REMOVED);
  EXPECT_EQ(GetStatus(state(), 1, &v), CAM_E_REMOVED);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SettingsTest, WithoutACameraOrWithoutAChannelEverythingIsNotConnected) {
  DetachTransport(state());  // the state stays "attached" without a channel
  for (ConnectionState s : {ConnectionState::Attached, ConnectionState::NoCamera}) {
    state().connection = s;
    LONG v = 0, a = 0, b = 0, c = 0;
    EXPECT_EQ(SetStatus(state(), 1, 0), CAM_E_NOT_CONNECTED);
    EXPECT_EQ(GetStatus(state(), 4, &v), CAM_E_NOT_CONNECTED);
    EXPECT_EQ(SetStatus(state(), 20, 0), CAM_E_NOT_CONNECTED);
    EXPECT_EQ(GetRange(state(), 20, &a, &b, &c), CAM_E_NOT_CONNECTED);
    EXPECT_EQ(GetCapability(state(), &v), CAM_E_NOT_CONNECTED);
  }
  EXPECT_TRUE(frames().empty());
}

TEST_F(SettingsTest, CameraMutexHeldByAnotherThreadTimesOutWithoutSending) {
  std::promise<void> held;
  std::promise<void> done;
  std::thread other([&] {
    auto mutex = platform::OpenNamedMutex(kCameraMutexName);
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(platform::Owns(mutex->Lock(platform::kWaitForever)));
    held.set_value();
    done.get_future().wait();
    mutex->Unlock();
  });
  held.get_future().wait();
  LONG v = 0, a = 0, b = 0, c = 0;
  EXPECT_EQ(SetStatus(state(), kFunctionColorGain, 5), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(GetStatus(state(), kFunctionNR, &v), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(SetStatus(state(), 1, 0), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(GetRange(state(), 20, &a, &b, &c), CAM_E_LOCK_TIMEOUT);
  done.set_value();
  other.join();
  EXPECT_TRUE(frames().empty());
  EXPECT_EQ(SetStatus(state(), kFunctionColorGain, 5), S_OK) << "usable again once released";
}

TEST_F(SettingsTest, PictureWritesKeepTheCameraMutexFromWriteToReadBack) {
  // During the pause between write and read-back no other thread may get in.
  std::vector<platform::LockResult> seen;
  FakeTime::duringSleep = [&] {
    std::thread other([&] {
      auto mutex = platform::OpenNamedMutex(kCameraMutexName);
      const auto r = mutex ? mutex->Lock(0) : platform::LockResult::Failed;
      if (platform::Owns(r)) mutex->Unlock();
      seen.push_back(r);
    });
    other.join();
  };
  ASSERT_EQ(SetStatus(state(), kFunctionKnee, 2), S_OK);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], platform::LockResult::TimedOut);
  // Functions outside the picture set hold it per frame only.
  ASSERT_EQ(SetStatus(state(), 5, 2), S_OK);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(platform::Owns(seen[1]));
}

// ---- Preset zero hook ------------------------------------------------------------------

TEST(PresetZeroHook, ModelWordIsTheTextBetweenTheFirstTwoAmpersands) {
  platform::ComString word;
  ASSERT_TRUE(ModelWord(COM_TEXT("\\\\?\\avc#maker&kv7&camcorder&0#1234#{x}"), word));
  EXPECT_EQ(word, COM_TEXT("kv7"));
  ASSERT_TRUE(ModelWord(COM_TEXT("a&&b"), word));
  EXPECT_EQ(word, COM_TEXT(""));
  EXPECT_FALSE(ModelWord(COM_TEXT("avc#maker&kv7"), word));
  EXPECT_FALSE(ModelWord(COM_TEXT(""), word));
}

TEST(PresetZeroHook, AppliesToPictureWritesOnTheKv7ModelOnly) {
  const struct {
    const OLECHAR* path;
    bool kv7;
  } cases[] = {{COM_TEXT("\\\\?\\avc#Maker&Kv7&camcorder#0011#{guid}"), true},
               {COM_TEXT("\\\\?\\avc#maker&KV7&x#0011"), true},
               {COM_TEXT("\\\\?\\avc#maker&kv70&camcorder#0011"), false},
               {COM_TEXT("\\\\?\\avc#maker&kv7"), false},
               {COM_TEXT(""), false}};
  for (const auto& c : cases) EXPECT_EQ(IsPresetZeroModel(c.path), c.kv7);

  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", ("settings-hook-" + UniqueToken()));
  CameraState state;
  state.reapplyPresetZero = true;
  for (int32_t f = -1; f <= 36; ++f) EXPECT_EQ(NeedsPresetZeroReapply(state, f), f >= 20 && f <= 34) << f;
  state.reapplyPresetZero = false;
  EXPECT_FALSE(NeedsPresetZeroReapply(state, 20));
  velquin_testing::SetEnvironment("VELQUIN_MUTEX_NAMESPACE", "");
}

}  // namespace
}  // namespace camctl::settings::testing
