// Camera/VCR mode, EVF display and colour bars over a scripted transport.
#include <gtest/gtest.h>

#include "camctl/common/results.h"
#include "camctl/settings/device_modes.h"
#include "settings_test_support.h"

namespace camctl::settings::testing {
namespace {

const Bytes kCameraModeFrame{0x00, 0xFF, 0x20, 0x00, 0x38, 0x38, 0x20, 0x20};
const Bytes kVcrModeFrame{0x00, 0xFF, 0x20, 0xA0, 0x00, 0x00, 0x20, 0x20};
const Bytes kModeQuery{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x09, 0xFF, 0xFF, 0xFF, 0xFF};

using DeviceModes = SettingsTest;

TEST_F(DeviceModes, CameraModeIsOneConnectAvWithoutAColourBarQuery) {
  camera_.values[kCodeColorBars] = {0x02};
  EXPECT_EQ(SetCVMode(state(), kCameraMode), S_OK);
  EXPECT_EQ(frames(), std::vector<Bytes>{kCameraModeFrame});
}

TEST_F(DeviceModes, VcrModeAsksTheColourBarsFirst) {
  camera_.values[kCodeColorBars] = {0x00};
  EXPECT_EQ(SetCVMode(state(), kVcrMode), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Status(0x16, 1), kVcrModeFrame}));
}

TEST_F(DeviceModes, VcrModeIsRefusedWhileColourBarsAreOn) {
  for (uint8_t bars : {0x01, 0x02, 0x03, 0xFF}) {
    transport().frames.clear();
    camera_.values[kCodeColorBars] = {bars};
    EXPECT_EQ(SetCVMode(state(), kVcrMode), CAM_E_REJECTED) << int(bars);
    EXPECT_EQ(frames(), std::vector<Bytes>{Status(0x16, 1)}) << "no mode command";
  }
}

TEST_F(DeviceModes, VcrModeGoesAheadWhenTheColourBarsCannotBeRead) {
  camera_.failures[kCodeColorBars] = kWin32NotSupported;
  EXPECT_EQ(SetCVMode(state(), kVcrMode), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Status(0x16, 1), kVcrModeFrame}));
  transport().frames.clear();
  transport().replies = {{0, {0x00}}, {kWin32ReqNotAccepted, {}}};
  EXPECT_EQ(SetCVMode(state(), kVcrMode), CAM_E_REJECTED) << "the mode command's own refusal";
  EXPECT_EQ(frames().size(), 2u);
}

TEST_F(DeviceModes, OnlyTheTwoModeValuesAreAccepted) {
  for (int32_t mode : {0, 1, 0x21, 0x37, 0x38 + 256, 0x20 + 256, -56, 0x7FFFFFFF})
    EXPECT_EQ(SetCVMode(state(), mode), E_INVALIDARG) << mode;
  EXPECT_TRUE(frames().empty());
}

TEST_F(DeviceModes, ModeQueryReturnsTheFirstAndFourthBytes) {
  transport().replies.push_back({0, {0x38, 0x12, 0x34, 0x01}});
  LONG mode = 0, emergency = 0;
  ASSERT_EQ(GetCVMode(state(), &mode, &emergency), S_OK);
  EXPECT_EQ(mode, 56);
  EXPECT_EQ(emergency, 1);
  EXPECT_EQ(frames(), std::vector<Bytes>{kModeQuery});

  transport().replies.push_back({0, {0xFE, 0x00, 0x00, 0xFF}});
  ASSERT_EQ(GetCVMode(state(), &mode, &emergency), S_OK);
  EXPECT_EQ(mode, 0xFE) << "zero-extended, passed through";
  EXPECT_EQ(emergency, 0xFF);
}

TEST_F(DeviceModes, ModeQueryWithANullPointerOrAFailureTouchesNothing) {
  LONG mode = 7, emergency = 8;
  EXPECT_EQ(GetCVMode(state(), nullptr, &emergency), E_POINTER);
  EXPECT_EQ(GetCVMode(state(), &mode, nullptr), E_POINTER);
  EXPECT_TRUE(frames().empty());
  transport().replies.push_back({kWin32ReqNotAccepted, {0x38, 0, 0, 1}});
  EXPECT_EQ(GetCVMode(state(), &mode, &emergency), CAM_E_REJECTED);
  EXPECT_EQ(mode, 7);
  EXPECT_EQ(emergency, 8);
}

TEST_F(DeviceModes, EvfDisplayWritesTheWholeValueCheckedAndReadsOneByte) {
  for (int32_t v : {0, 1, 2}) EXPECT_EQ(SetEvfDisplay(state(), v), S_OK);
  for (int32_t v : {3, 258, -1, 256}) EXPECT_EQ(SetEvfDisplay(state(), v), E_INVALIDARG) << v;
  EXPECT_EQ(frames(), (std::vector<Bytes>{Control(0x12, {0x00}), Control(0x12, {0x01}), Control(0x12, {0x02})}));
  EXPECT_TRUE(FakeTime::Sleeps().empty()) << "the display is not read back";

  transport().frames.clear();
  LONG display = 0;
  EXPECT_EQ(GetEvfDisplay(state(), nullptr), E_POINTER);
  ASSERT_EQ(GetEvfDisplay(state(), &display), S_OK);
  EXPECT_EQ(display, 2);
  EXPECT_EQ(frames(), std::vector<Bytes>{Status(0x12, 1)});
}

TEST_F(DeviceModes, ColourBarsExamineOnlyTheLowByteAndAreReadBack) {
  ASSERT_EQ(SetColorBars(state(), 258), S_OK);
  EXPECT_EQ(frames(), (std::vector<Bytes>{Control(0x16, {0x02}), Status(0x16, 1)}));
  EXPECT_EQ(FakeTime::Sleeps(), std::vector<uint32_t>{kReadBackPauseMs});
  transport().frames.clear();
  ASSERT_EQ(SetColorBars(state(), 256), S_OK);
  EXPECT_EQ(frames().front(), Control(0x16, {0x00}));
  transport().frames.clear();
  for (int32_t v : {4, 0xFF, -1, 0x1FF}) EXPECT_EQ(SetColorBars(state(), v), E_INVALIDARG) << v;
  EXPECT_TRUE(frames().empty());
}

TEST_F(DeviceModes, ColourBarsThatNeverShowTheWrittenStateStillSucceedAfterTheWindow) {
  transport().responder = [](const Bytes& frame) { return frame[0] == 0x01 ? Reply{0, {0x00}} : Reply{}; };
  ASSERT_EQ(SetColorBars(state(), 3), S_OK);
  EXPECT_EQ(frames().size(), 1u + 16u);  // 4 ms per exchange, 64 ms window
  transport().frames.clear();
  transport().replies.push_back({kWin32ReqNotAccepted, {}});
  EXPECT_EQ(SetColorBars(state(), 3), CAM_E_REJECTED);
  EXPECT_EQ(frames().size(), 1u) << "a refused write is not read back";
}

TEST_F(DeviceModes, ColourBarsReadOneByte) {
  camera_.values[kCodeColorBars] = {0x03};
  LONG bars = 0;
  EXPECT_EQ(GetColorBars(state(), nullptr), E_POINTER);
  ASSERT_EQ(GetColorBars(state(), &bars), S_OK);
  EXPECT_EQ(bars, 3);
  EXPECT_EQ(frames(), std::vector<Bytes>{Status(0x16, 1)});
  transport().replies.push_back({kWin32Timeout, {1}});
  transport().replies.push_back({kWin32Timeout, {1}});
  transport().replies.push_back({kWin32Timeout, {1}});
  transport().replies.push_back({kWin32Timeout, {1}});
  EXPECT_EQ(GetColorBars(state(), &bars), CAM_E_TIMEOUT);
  EXPECT_EQ(bars, 3);
}

TEST_F(DeviceModes, StateChecksComeBeforeAnyFrame) {
  struct Expect {
    ConnectionState state;
    bool keepChannel;
    HRESULT result;
  };
  const Expect cases[] = {{ConnectionState::Removed, true, CAM_E_REMOVED},
                          {ConnectionState::Removed, false, CAM_E_REMOVED},
                          {ConnectionState::NoCamera, true, CAM_E_NOT_CONNECTED},
                          {ConnectionState::Attached, false, CAM_E_NOT_CONNECTED}};
  for (const Expect& e : cases) {
    if (!e.keepChannel) DetachTransport(state());
    state().connection = e.state;
    LONG a = 0, b = 0;
    EXPECT_EQ(SetCVMode(state(), kCameraMode), e.result);
    EXPECT_EQ(SetCVMode(state(), kVcrMode), e.result);
    EXPECT_EQ(GetCVMode(state(), &a, &b), e.result);
    EXPECT_EQ(SetEvfDisplay(state(), 1), e.result);
    EXPECT_EQ(GetEvfDisplay(state(), &a), e.result);
    EXPECT_EQ(SetColorBars(state(), 1), e.result);
    EXPECT_EQ(GetColorBars(state(), &a), e.result);
    EXPECT_TRUE(frames().empty());
  }
  // Argument checks still come first.
  EXPECT_EQ(SetCVMode(state(), 1), E_INVALIDARG);
  EXPECT_EQ(GetCVMode(state(), nullptr, nullptr), E_POINTER);
}

}  // namespace
}  // namespace camctl::settings::testing
