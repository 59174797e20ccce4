// The command channel: frames byte for byte, operand write-back, time-out
// retries, result mapping and the camera mutex around each exchange.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ostream>
#include <utility>

#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "test_support.h"

namespace camctl::testing {
namespace {

class CommandChannelTest : public ::testing::Test {
 protected:
  MutexNamespace ns_;
  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
  std::unique_ptr<CommandChannel> channel_ = std::make_unique<CommandChannel>(transport_);
};

// ---- Vendor-dependent frames ---------------------------------------------

struct VendorCase {
  uint16_t commandSet;
  uint8_t code;
  Ctype ctype;
  Bytes expected;  // header bytes 0..8
};

void PrintTo(const VendorCase& c, std::ostream* os) {
  *os << "set " << c.commandSet << " code " << int{c.code} << " selector " << static_cast<int>(c.ctype);
}

class VendorFrameTest : public CommandChannelTest, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(VendorFrameTest, HeaderIsByteExact) {
  const VendorCase& c = GetParam();
  uint8_t a = 0x12, b = 0xFF;
  ASSERT_EQ(channel_->SendVendorCommand(c.commandSet, c.code, c.ctype, {&a, &b}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  Bytes expected = c.expected;
  expected.push_back(0x12);
  expected.push_back(0xFF);
  EXPECT_EQ(transport_->calls[0].frame, expected);
  EXPECT_EQ(transport_->calls[0].length, 11u);
  EXPECT_TRUE(transport_->calls[0].tailZero);
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, VendorFrameTest,
    ::testing::Values(
        VendorCase{0x0001, 0x26, Ctype::Control, {0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x26}},
        VendorCase{0x0001, 0x75, Ctype::Status, {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75}},
        VendorCase{0x0010, 0x09, Ctype::Status, {0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x09}},
        VendorCase{0x0010, 0xF0, Ctype::Control, {0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0xF0}}));

TEST_F(CommandChannelTest, VendorFrameWithoutOperandsIsNineBytes) {
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame, (Bytes{0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x20}));
}

TEST_F(CommandChannelTest, VendorRefusesInquirySelectorsAndOtherSelectorsWithoutSending) {
  uint8_t cell = 0x33;
  for (auto ctype : {Ctype::SpecificInquiry, Ctype::GeneralInquiry, static_cast<Ctype>(4), static_cast<Ctype>(0xFF)}) {
    EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, ctype, {&cell}), E_FAIL)
        << static_cast<int>(ctype);
  }
  EXPECT_TRUE(transport_->calls.empty());
  EXPECT_EQ(cell, 0x33);
}

TEST_F(CommandChannelTest, VendorRefusesOtherCommandSetsWithoutSending) {
  for (uint16_t set : {0x0000, 0x0002, 0x0011, 0x0100, 0x1000, 0xFFFF}) {
    EXPECT_EQ(channel_->SendVendorCommand(set, 0x75, Ctype::Status, {}), E_FAIL) << set;
  }
  EXPECT_TRUE(transport_->calls.empty());
}

// ---- General frames -------------------------------------------------------

struct GeneralCase {
  Ctype ctype;
  uint8_t ctypeByte;
};

void PrintTo(const GeneralCase& c, std::ostream* os) { *os << "selector " << static_cast<int>(c.ctype); }

class GeneralFrameTest : public CommandChannelTest, public ::testing::WithParamInterface<GeneralCase> {};

TEST_P(GeneralFrameTest, HeaderIsByteExact) {
  const GeneralCase& c = GetParam();
  uint8_t op[5] = {0x01, 0x02, 0x03, 0xFF, 0x05};
  ASSERT_EQ(channel_->SendAvcCommand(0xFF, 0x20, c.ctype, {&op[0], &op[1], &op[2], &op[3], &op[4]}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame, (Bytes{c.ctypeByte, 0xFF, 0x20, 0x01, 0x02, 0x03, 0xFF, 0x05}));
  EXPECT_EQ(transport_->calls[0].length, 8u);
  EXPECT_TRUE(transport_->calls[0].tailZero);
}

INSTANTIATE_TEST_SUITE_P(Selectors, GeneralFrameTest,
                         ::testing::Values(GeneralCase{Ctype::Control, 0x00}, GeneralCase{Ctype::Status, 0x01},
                                           GeneralCase{Ctype::SpecificInquiry, 0x02},
                                           GeneralCase{Ctype::GeneralInquiry, 0x04}));

TEST_F(CommandChannelTest, GeneralFrameCarriesCallerAddressAndOpcode) {
  uint8_t cell = 0x7A;
  ASSERT_EQ(channel_->SendAvcCommand(0x38, 0xC8, Ctype::Control, {&cell}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame, (Bytes{0x00, 0x38, 0xC8, 0x7A}));
}

TEST_F(CommandChannelTest, GeneralRefusesUnknownSelectorsWithoutSending) {
  for (auto ctype : {static_cast<Ctype>(4), static_cast<Ctype>(5), static_cast<Ctype>(0xFF)}) {
    EXPECT_EQ(channel_->SendAvcCommand(0xFF, 0x20, ctype, {}), E_FAIL);
  }
  EXPECT_TRUE(transport_->calls.empty());
}

// ---- Operand cells -----------------------------------------------------------

TEST_F(CommandChannelTest, AbsentCellSendsFF) {
  uint8_t a = 0x01, c = 0x03;
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x17, Ctype::Control, {&a, nullptr, &c}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame,
            (Bytes{0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x17, 0x01, 0xFF, 0x03}));
}

TEST_F(CommandChannelTest, StatusWithTwoCellsSendsFFAndFillsBothFromResponse) {
  transport_->response = {0x12, 0x34, 0x56};
  transport_->responseOffset = 9;
  uint8_t hi = 0xFF, lo = 0xFF;
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x25, Ctype::Status, {&hi, &lo}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 1u);
  EXPECT_EQ(transport_->calls[0].frame[9], 0xFF);
  EXPECT_EQ(transport_->calls[0].frame[10], 0xFF);
  EXPECT_EQ(transport_->calls[0].length, 11u);
  EXPECT_EQ(hi, 0x12);
  EXPECT_EQ(lo, 0x34);
}

TEST_F(CommandChannelTest, GeneralStatusFillsCellsFromByteThree) {
  transport_->response = {0x9A, 0xBC};
  transport_->responseOffset = 3;
  uint8_t cell = 0xFF;
  ASSERT_EQ(channel_->SendAvcCommand(0x38, 0xC8, Ctype::Status, {&cell}), S_OK);
  EXPECT_EQ(cell, 0x9A);
}

TEST_F(CommandChannelTest, OnlyStatusWritesBack) {
  transport_->response = {0x12, 0x34};
  transport_->responseOffset = 9;
  uint8_t a = 0x01, b = 0x02;
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x25, Ctype::Control, {&a, &b}), S_OK);
  EXPECT_EQ(a, 0x01);
  EXPECT_EQ(b, 0x02);

  transport_->responseOffset = 3;
  for (auto ctype : {Ctype::Control, Ctype::SpecificInquiry, Ctype::GeneralInquiry}) {
    ASSERT_EQ(channel_->SendAvcCommand(0x38, 0xC8, ctype, {&a, &b}), S_OK);
    EXPECT_EQ(a, 0x01);
    EXPECT_EQ(b, 0x02);
  }
}

TEST_F(CommandChannelTest, FailedStatusLeavesCellsUntouched) {
  transport_->response = {0x12, 0x34};
  transport_->responseOffset = 9;
  for (int32_t failure : {71, 50, 1617, 1235, 31}) {
    transport_->results = {failure};
    uint8_t a = 0xFF, b = 0xFF;
    EXPECT_NE(channel_->SendVendorCommand(kCommandSetCamera, 0x25, Ctype::Status, {&a, &b}), S_OK);
    EXPECT_EQ(a, 0xFF) << failure;
    EXPECT_EQ(b, 0xFF) << failure;
  }
}

TEST_F(CommandChannelTest, WriteBackStopsAtFirstAbsentCell) {
  transport_->response = {0x11, 0x22, 0x33};
  transport_->responseOffset = 9;
  uint8_t a = 0xFF, c = 0xFF;
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x21, Ctype::Status, {&a, nullptr, &c}), S_OK);
  EXPECT_EQ(a, 0x11);
  EXPECT_EQ(c, 0xFF);
}

TEST_F(CommandChannelTest, CellsMayComeAsACallerBuiltRun) {
  transport_->response = {0x0A, 0x0B};
  transport_->responseOffset = 9;
  std::array<uint8_t, 2> values{0xFF, 0xFF};
  std::array<uint8_t*, 2> cells{&values[0], &values[1]};
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x24, Ctype::Status, OperandSpan(cells)), S_OK);
  EXPECT_EQ(values[0], 0x0A);
  EXPECT_EQ(values[1], 0x0B);
}

TEST_F(CommandChannelTest, OperandCountIsBoundedByTheBuffer) {
  uint8_t value = 0x5A;
  std::vector<uint8_t*> cells(kMaxGeneralOperands + 1, &value);

  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x13, Ctype::Control,
                                        OperandSpan(cells.data(), kMaxVendorOperands + 1)),
            E_INVALIDARG);
  EXPECT_EQ(channel_->SendAvcCommand(0xFF, 0x20, Ctype::Control, OperandSpan(cells.data(), kMaxGeneralOperands + 1)),
            E_INVALIDARG);
  EXPECT_TRUE(transport_->calls.empty());

  // Exactly full frames are sent whole.
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x13, Ctype::Status,
                                        OperandSpan(cells.data(), kMaxVendorOperands)),
            S_OK);
  ASSERT_EQ(channel_->SendAvcCommand(0xFF, 0x20, Ctype::Status, OperandSpan(cells.data(), kMaxGeneralOperands)),
            S_OK);
  ASSERT_EQ(transport_->calls.size(), 2u);
  EXPECT_EQ(transport_->calls[0].length, 512u);
  EXPECT_EQ(transport_->calls[1].length, 512u);
  EXPECT_EQ(transport_->calls[0].frame[511], 0x5A);
  EXPECT_EQ(transport_->calls[1].frame[511], 0x5A);
}

TEST_F(CommandChannelTest, TransmitFrameRefusesLengthBeyondBuffer) {
  EXPECT_EQ(channel_->TransmitFrame(513), E_INVALIDARG);
  EXPECT_TRUE(transport_->calls.empty());
}

TEST_F(CommandChannelTest, EachCommandStartsFromAZeroedBuffer) {
  transport_->onCall = [](uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t) {
    std::fill(std::begin(frame), std::end(frame), uint8_t{0xEE});
  };
  ASSERT_EQ(channel_->SendAvcCommand(0xFF, 0x20, Ctype::Control, {}), S_OK);
  ASSERT_EQ(channel_->SendAvcCommand(0xFF, 0x20, Ctype::Control, {}), S_OK);
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 3u);
  EXPECT_EQ(transport_->calls[1].frame, (Bytes{0x00, 0xFF, 0x20}));
  EXPECT_TRUE(transport_->calls[1].tailZero);
  EXPECT_EQ(transport_->calls[2].frame, (Bytes{0x00, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x20}));
  EXPECT_TRUE(transport_->calls[2].tailZero);
}

// ---- Retries and result mapping ----------------------------------------------

struct RetryCase {
  std::vector<int32_t> script;
  HRESULT expected;
  size_t calls;
};

void PrintTo(const RetryCase& c, std::ostream* os) {
  *os << "script";
  for (int32_t r : c.script) *os << " " << r;
}

class RetryTest : public CommandChannelTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTest, CallsAndResult) {
  const RetryCase& c = GetParam();
  transport_->results.assign(c.script.begin(), c.script.end());
  transport_->fallback = 9999;  // a call past the script would show
  uint8_t cell = 0xFF;
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), c.expected);
  ASSERT_EQ(transport_->calls.size(), c.calls);
  for (const auto& call : transport_->calls) EXPECT_EQ(call.frame, transport_->calls[0].frame);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RetryTest,
    ::testing::Values(RetryCase{{0}, S_OK, 1}, RetryCase{{1460, 1460, 1460, 0}, S_OK, 4},
                      RetryCase{{1460, 1460, 1460, 1460, 0}, CAM_E_TIMEOUT, 4},
                      RetryCase{{1460, 71}, CAM_E_REJECTED, 2}, RetryCase{{71, 0}, CAM_E_REJECTED, 1},
                      RetryCase{{50, 0}, CAM_E_NOT_SUPPORTED, 1}, RetryCase{{1235, 0}, E_ABORT, 1},
                      RetryCase{{1617, 0}, CAM_E_REMOVED, 1}, RetryCase{{31, 0}, static_cast<HRESULT>(0x8007001Fu), 1},
                      RetryCase{{1460, 1460, 31}, static_cast<HRESULT>(0x8007001Fu), 3}, RetryCase{{-7, 0}, -7, 1}));

TEST(MapTransportResultTest, Table) {
  const std::pair<int32_t, HRESULT> table[] = {
      {0, S_OK},
      {50, CAM_E_NOT_SUPPORTED},
      {71, CAM_E_REJECTED},
      {1235, E_ABORT},
      {1460, CAM_E_TIMEOUT},
      {1617, CAM_E_REMOVED},
      {31, static_cast<HRESULT>(0x8007001Fu)},
      {170, static_cast<HRESULT>(0x800700AAu)},
      {-1, -1},
      {static_cast<int32_t>(0x80004005u), E_FAIL},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(MapTransportResult(in), out) << in;
}

TEST_F(CommandChannelTest, RetrySendsTheCommandNotTheLeftoverOfATimedOutCall) {
  transport_->results = {1460, 0};
  transport_->onCall = [](uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t) {
    frame[0] = 0x0F;  // an interim answer's response code
    frame[9] = 0x42;
  };
  uint8_t cell = 0xFF;
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), S_OK);
  ASSERT_EQ(transport_->calls.size(), 2u);
  EXPECT_EQ(transport_->calls[1].frame,
            (Bytes{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x01, 0x75, 0xFF}));
  EXPECT_EQ(cell, 0x42);
}

TEST_F(CommandChannelTest, ChannelWithoutTransportFails) {
  CommandChannel empty(nullptr);
  uint8_t cell = 0xFF;
  EXPECT_EQ(empty.SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), E_FAIL);
  EXPECT_EQ(cell, 0xFF);
  // The failure released the mutex: another thread can take it.
  auto mutex = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(mutex);
  platform::LockResult r = platform::LockResult::Failed;
  std::thread([&] {
    r = mutex->Lock(0);
    if (platform::Owns(r)) mutex->Unlock();
  }).join();
  EXPECT_EQ(r, platform::LockResult::Acquired);
}

// ---- The camera mutex ----------------------------------------------------------

TEST_F(CommandChannelTest, OwnerOfTheCameraMutexMaySendThroughTheChannel) {
  auto objectMutex = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(objectMutex);
  ASSERT_EQ(objectMutex->Lock(kCameraMutexWaitMs), platform::LockResult::Acquired);
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  EXPECT_EQ(transport_->calls.size(), 1u);
  objectMutex->Unlock();
}

TEST_F(CommandChannelTest, ExchangeHoldsTheCameraMutex) {
  auto probe = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(probe);
  platform::LockResult seen = platform::LockResult::Acquired;
  transport_->onCall = [&](uint8_t (&)[platform::kAvcFrameBufferSize], uint32_t) {
    std::thread([&] {
      seen = probe->Lock(0);
      if (platform::Owns(seen)) probe->Unlock();
    }).join();
  };
  ASSERT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  EXPECT_EQ(seen, platform::LockResult::TimedOut);
}

TEST_F(CommandChannelTest, ThreadHoldingTheCameraMutexBlocksOtherThreadsCommands) {
  auto other = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(other);
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    if (!platform::Owns(other->Lock(kCameraMutexWaitMs))) return;
    held = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    other->Unlock();
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  uint8_t cell = 0xFF;
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(channel_->TransmitFrame(10), CAM_E_LOCK_TIMEOUT);
  EXPECT_TRUE(transport_->calls.empty());
  done = true;
  holder.join();
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), S_OK);
}

TEST_F(CommandChannelTest, AnotherProcessHoldingTheCameraMutexTimesEveryCommandOut) {
  ScratchDir dir;
  OtherProcessHolder holder(kCameraMutexName, dir);
  ASSERT_TRUE(holder.WaitHeld());

  uint8_t cell = 0xFF;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), CAM_E_LOCK_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kCameraMutexWaitMs - 20));
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(channel_->SendAvcCommand(0xFF, 0x20, Ctype::Control, {&cell}), CAM_E_LOCK_TIMEOUT);
  EXPECT_EQ(channel_->TransmitFrame(9), CAM_E_LOCK_TIMEOUT);
  EXPECT_TRUE(transport_->calls.empty());
  EXPECT_EQ(cell, 0xFF);

  EXPECT_EQ(holder.Release(), 0);
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x20, Ctype::Control, {}), S_OK);
  EXPECT_EQ(transport_->calls.size(), 1u);
}

TEST_F(CommandChannelTest, CommandAfterAnOwnerDiedHoldingTheMutexGoesThrough) {
  ScratchDir dir;
  ASSERT_EQ(RunHolder("die " + Quote(kCameraMutexName) + " " + Quote((dir / "held").string())), 0);
  uint8_t cell = 0xFF;
  transport_->response = {0x01};
  transport_->responseOffset = 9;
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), S_OK);
  EXPECT_EQ(cell, 0x01);
  EXPECT_EQ(channel_->SendVendorCommand(kCommandSetCamera, 0x75, Ctype::Status, {&cell}), S_OK);
  EXPECT_EQ(transport_->calls.size(), 2u);
}

TEST_F(CommandChannelTest, DestructionWaitsForTheCameraMutex) {
  auto other = platform::OpenNamedMutex(kCameraMutexName);
  ASSERT_TRUE(other);
  std::atomic<bool> held{false}, destroyed{false};
  std::atomic<bool> destroyedWhileHeld{false};
  std::thread holder([&] {
    if (!platform::Owns(other->Lock(kCameraMutexWaitMs))) return;
    held = true;
    // Longer than any bounded wait of the channel.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kCameraMutexWaitMs));
    destroyedWhileHeld = destroyed.load();
    other->Unlock();
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::weak_ptr<FakeTransport> weak = transport_;
  transport_.reset();
  channel_.reset();
  destroyed = true;
  holder.join();
  EXPECT_FALSE(destroyedWhileHeld.load());
  EXPECT_TRUE(weak.expired());  // the channel released its transport
}

}  // namespace
}  // namespace camctl::testing
