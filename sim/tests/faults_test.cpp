// Scripted faults: each kind, its count, and what it leaves untouched.
#include <cstring>
#include <fstream>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;
using Bytes = std::vector<uint8_t>;

class FaultTest : public CameraFixture {
 protected:
  int32_t Busy(AvcFrame* out = nullptr) {
    AvcFrame f = Vendor(0x01, 0x0001, 0x75, {0xFF});
    const int32_t r = camera_->AvcExchange(f.bytes, f.length);
    if (out != nullptr) *out = f;
    return r;
  }
  int32_t Picture() {
    AvcFrame f = Vendor(0x00, 0x0001, 0x41, {0x05});
    return camera_->AvcExchange(f.bytes, f.length);
  }
  uint8_t CountSlots(int32_t* result = nullptr) {
    uint8_t frame[sf::kCountEntriesLength];
    sf::BuildCountEntries(frame, sf::Address{}, 1, "\\dev\\campset");
    const int32_t r = camera_->StorageExchange(frame, sizeof frame, nullptr, 0);
    if (result != nullptr) *result = r;
    return frame[1];
  }
  size_t TraceLines() {
    std::ifstream in(camera_->dir() / "trace.log");
    size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
};

TEST_F(FaultTest, TimeoutThreeTimesThenAnswer) {
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.avcFrame = 1;
  f.key = 0x0001;
  f.code = 0x75;
  f.value = kAvcTimeout;
  f.times = 3;
  camera_->AddFault(f);
  AvcFrame answer{};
  EXPECT_EQ(Busy(&answer), kAvcTimeout);
  EXPECT_EQ(answer.bytes[9], 0xFF);  // no answer written
  EXPECT_EQ(Busy(), kAvcTimeout);
  EXPECT_EQ(Picture(), kAvcOk);  // another code is not affected
  EXPECT_EQ(Busy(), kAvcTimeout);
  EXPECT_EQ(Busy(&answer), kAvcOk);
  EXPECT_EQ(answer.bytes[9], 0x00);
  EXPECT_EQ(TraceLines(), 5u);
  EXPECT_EQ(camera_->ReadState().faults[0].kind, FaultKind::None);  // used up
}

TEST_F(FaultTest, EachAvcResultIsReturnedOnce) {
  for (int32_t result : {kAvcRejected, kAvcNotImplemented, kDeviceRemoved, kAvcAborted, kAvcTimeout, 31}) {
    Fault f;
    f.kind = FaultKind::AvcResult;
    f.value = result;
    f.times = 1;
    camera_->AddFault(f);
    EXPECT_EQ(Busy(), result);
    EXPECT_EQ(Busy(), kAvcOk) << result;
  }
}

TEST_F(FaultTest, ResultUntilClearedAndCtypeMatch) {
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.avcFrame = 1;
  f.code = 0x41;
  f.ctype = 0x00;  // writes only
  f.value = kAvcNotImplemented;
  camera_->AddFault(f);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Picture(), kAvcNotImplemented);
  AvcFrame read = Vendor(0x01, 0x0001, 0x41, {0xFF});
  EXPECT_EQ(camera_->AvcExchange(read.bytes, read.length), kAvcOk);
  EXPECT_EQ(read.bytes[9], 6);  // the refused writes changed nothing
  camera_->ClearFaults();
  EXPECT_EQ(Picture(), kAvcOk);
}

TEST_F(FaultTest, GeneralFrameFault) {
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.avcFrame = 2;
  f.key = 0xFF;
  f.code = 0x20;
  f.value = kAvcRejected;
  f.times = 1;
  camera_->AddFault(f);
  AvcFrame vcr{0x00, 0xFF, 0x20, 0xA0, 0x00, 0x00, 0x20, 0x20};
  EXPECT_EQ(camera_->AvcExchange(vcr.bytes, vcr.length), kAvcRejected);
  EXPECT_EQ(camera_->ReadState().mode, kModeCamera);
  EXPECT_EQ(Busy(), kAvcOk);  // vendor frames do not match
}

TEST_F(FaultTest, StorageStatusesTableDriven) {
  struct Case {
    uint8_t status;
    uint32_t times;
  };
  for (const Case& c : {Case{0x80, 2}, Case{0x84, 1}, Case{0xA0, 1}, Case{0xA8, 1}, Case{0x5A, 1}}) {
    Fault f;
    f.kind = FaultKind::StorageStatus;
    f.code = 0x06;
    f.value = c.status;
    f.times = c.times;
    camera_->AddFault(f);
    for (uint32_t i = 0; i < c.times; ++i) EXPECT_EQ(CountSlots(), c.status) << int(c.status);
    EXPECT_EQ(CountSlots(), 0) << int(c.status);
  }
}

TEST_F(FaultTest, StorageStatusMatchesItsOpcodeOnly) {
  Fault f;
  f.kind = FaultKind::StorageStatus;
  f.code = 0x09;
  f.value = 0x80;
  camera_->AddFault(f);
  EXPECT_EQ(CountSlots(), 0);
  uint8_t frame[sf::kReadFileLength];
  uint8_t area[256];
  std::memset(area, 0xEE, sizeof area);
  sf::BuildReadFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", 0x8000, 256, area);
  EXPECT_EQ(camera_->StorageExchange(frame, sizeof frame, area, sizeof area), 0);
  EXPECT_EQ(frame[1], 0x80);
  EXPECT_EQ(area[0], 0xEE);  // nothing delivered
}

TEST_F(FaultTest, TransportBusyOnStorageOnly) {
  Fault f;
  f.kind = FaultKind::TransportBusy;
  f.channel = 2;
  f.times = 2;
  camera_->AddFault(f);
  EXPECT_EQ(Busy(), kAvcOk);
  int32_t result = 0;
  CountSlots(&result);
  EXPECT_EQ(result, kErrorBusy);
  CountSlots(&result);
  EXPECT_EQ(result, kErrorBusy);
  EXPECT_EQ(CountSlots(&result), 0);
  EXPECT_EQ(result, 0);
}

TEST_F(FaultTest, TransportBusyOnAvc) {
  Fault f;
  f.kind = FaultKind::TransportBusy;
  f.channel = 1;
  f.times = 1;
  camera_->AddFault(f);
  int32_t result = -1;
  CountSlots(&result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Busy(), kErrorBusy);
  EXPECT_EQ(Busy(), kAvcOk);
}

TEST_F(FaultTest, OverDeliveryReportsMoreThanItCopies) {
  Fault f;
  f.kind = FaultKind::OverDeliver;
  f.code = 0x09;
  f.value = 300;
  f.times = 1;
  camera_->AddFault(f);
  uint8_t frame[sf::kReadFileLength];
  Bytes area(sf::kTransferAreaSize, 0xEE);
  sf::BuildReadFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", 0x8000, 200, area.data());
  ASSERT_EQ(camera_->StorageExchange(frame, sizeof frame, area.data(), 0x8000), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(sf::GetBe32(frame + sf::read_file::kDelivered), 25u + 300u);
  EXPECT_EQ(area[25], 0xEE);  // only the file's 25 bytes were written
  sf::BuildReadFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", 0x8000, 200, area.data());
  ASSERT_EQ(camera_->StorageExchange(frame, sizeof frame, area.data(), 0x8000), 0);
  EXPECT_EQ(sf::GetBe32(frame + sf::read_file::kDelivered), 25u);
}

TEST_F(FaultTest, ThumbnailLongerThanTheReceiveArea) {
  Fault f;
  f.kind = FaultKind::OverDeliver;
  f.code = 0x08;
  f.value = 0x8000;
  camera_->AddFault(f);
  const uint8_t identity = camera_->ReadState().media[0].identity;
  uint8_t frame[sf::kReadThumbnailLength];
  Bytes area(sf::kTransferAreaSize + 16, 0xEE);
  sf::BuildReadThumbnail(frame, sf::Address{0, 0, identity}, "\\DCIM\\100KV7\\IMG_0002.JPG", area.data());
  ASSERT_EQ(camera_->StorageExchange(frame, sizeof frame, area.data(), sf::kTransferAreaSize), 0);
  const uint32_t thm = static_cast<uint32_t>(std::filesystem::file_size(camera_->VolumeDir(0, 0) / "DCIM" / "100KV7" / "IMG_0002.THM"));
  EXPECT_EQ(sf::GetBe32(frame + sf::read_file::kThumbnailLength), thm + 0x8000u);
  EXPECT_GT(sf::GetBe32(frame + sf::read_file::kThumbnailLength), sf::kTransferAreaSize);
  for (size_t i = sf::kTransferAreaSize; i < area.size(); ++i) EXPECT_EQ(area[i], 0xEE);
}

TEST_F(FaultTest, UnplugAfterTwoExchanges) {
  Fault f;
  f.kind = FaultKind::UnplugAfter;
  f.times = 2;
  camera_->AddFault(f);
  EXPECT_EQ(Busy(), kAvcOk);
  EXPECT_EQ(CountSlots(), 0);
  EXPECT_EQ(camera_->ReadState().plugged, 0);
  EXPECT_EQ(Busy(), kDeviceRemoved);
  int32_t result = 0;
  CountSlots(&result);
  EXPECT_EQ(result, kDeviceRemoved);
  camera_->SetPlugged(true);
  EXPECT_EQ(Busy(), kAvcOk);
}

TEST_F(FaultTest, FaultTableHasRoomForSixteen) {
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.code = 0x99;
  f.value = kAvcRejected;
  for (size_t i = 0; i < kMaxFaults; ++i) camera_->AddFault(f);
  EXPECT_THROW(camera_->AddFault(f), Error);
  Fault zero = f;
  zero.times = 0;
  camera_->ClearFaults();
  EXPECT_THROW(camera_->AddFault(zero), Error);
  EXPECT_THROW(camera_->AddFault(Fault{}), Error);
}

TEST_F(FaultTest, ResetRestoresFactoryStateAndClearsFaults) {
  Fault f;
  f.kind = FaultKind::AvcResult;
  f.value = kAvcRejected;
  f.code = 0x99;
  camera_->AddFault(f);
  AvcFrame w = Vendor(0x00, 0x0001, 0x71, {0x01, 'Z', 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(camera_->AvcExchange(w.bytes, w.length), kAvcOk);
  camera_->Modify([](State& s) { s.mode = kModeVcr; s.permission[1] = 1; s.value[0x41][0] = 9; });
  camera_->Reset();
  const State s = camera_->ReadState();
  EXPECT_EQ(s.mode, kModeCamera);
  EXPECT_EQ(s.permission[1], 0);
  EXPECT_EQ(s.value[0x41][0], 6);
  EXPECT_EQ(s.faults[0].kind, FaultKind::None);
  EXPECT_EQ(ReadAll(camera_->PresetFile(1))[2], 0);  // name cleared
}

}  // namespace
}  // namespace vcam::testing
