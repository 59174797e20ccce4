// The camera's answers to raw AV/C frames, byte for byte.
#include <chrono>
#include <fstream>
#include <thread>

#include "test_support.h"

namespace vcam::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class AvcTest : public CameraFixture {
 protected:
  int32_t Send(AvcFrame& f) { return camera_->AvcExchange(f.bytes, f.length); }
  // Sends a STATUS frame and returns its operand bytes (answer).
  Bytes Status(uint8_t code, std::initializer_list<uint8_t> operands, int32_t expected = kAvcOk) {
    AvcFrame f = Vendor(0x01, 0x0001, code, operands);
    EXPECT_EQ(Send(f), expected) << "code " << int(code);
    return Bytes(f.bytes + 9, f.bytes + f.length);
  }
  int32_t Control(uint8_t code, std::initializer_list<uint8_t> operands) {
    AvcFrame f = Vendor(0x00, 0x0001, code, operands);
    return Send(f);
  }
  Bytes PresetFile(uint8_t slot) { return ReadAll(camera_->PresetFile(slot)); }
};

TEST_F(AvcTest, IdentificationQueryAnswersSupportedCamera) {
  AvcFrame f{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
  ASSERT_EQ(Send(f), kAvcOk);
  EXPECT_EQ(Hex(f.Response()), "0C 20 00 00 00 85 00 10 13 01 01");
}

TEST_F(AvcTest, UnsupportedCameraAnswersTwo) {
  camera_->Modify([](State& s) { s.supported = 0; });
  AvcFrame f{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
  ASSERT_EQ(Send(f), kAvcOk);
  EXPECT_EQ(f.bytes[10], 0x02);
}

TEST_F(AvcTest, ControlIsAcceptedAndStatusReadsBack) {
  AvcFrame w = Vendor(0x00, 0x0001, 0x41, {0x09});
  ASSERT_EQ(Send(w), kAvcOk);
  EXPECT_EQ(Hex(w.Response()), "09 20 00 00 00 85 00 01 41 09");
  AvcFrame r = Vendor(0x01, 0x0001, 0x41, {0xFF});
  ASSERT_EQ(Send(r), kAvcOk);
  EXPECT_EQ(Hex(r.Response()), "0C 20 00 00 00 85 00 01 41 09");
}

TEST_F(AvcTest, RegisterWritesBytExactPresetFile) {
  // Registers in the order of the file's bytes 10..24, each a distinct value.
  const uint8_t values[15] = {1, 2, 3, 4, 5, 7, 8, 2, 1, 1, 1, 2, 0, 9, 10};
  for (size_t i = 0; i < 15; ++i) ASSERT_EQ(Control(kPresetFileCodes[i], {values[i]}), kAvcOk) << i;
  ASSERT_EQ(Control(0x71, {0x02, 'S', 'U', 'N', 'S', 'E', 'T', 0, 0}), kAvcOk);
  const Bytes expected = {25, 0x01, 'S', 'U', 'N', 'S', 'E', 'T', 0, 0, 1, 2, 3, 4, 5, 7, 8, 2, 1, 1, 1, 2, 0, 9, 10};
  EXPECT_EQ(Hex(PresetFile(2)), Hex(expected));
  // Other slots untouched: still the factory file.
  const Bytes factory = {25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 6, 6, 6, 6, 6, 6, 0, 0, 0, 0, 1, 1, 6, 6};
  EXPECT_EQ(Hex(PresetFile(1)), Hex(factory));
}

TEST_F(AvcTest, SelectLoadsSlotIntoRegisters) {
  const Bytes file = {25, 1, 'A', 0, 0, 0, 0, 0, 0, 0, 11, 10, 9, 8, 7, 5, 4, 3, 1, 1, 1, 0, 2, 3, 2};
  WriteAll(camera_->PresetFile(3), file);
  ASSERT_EQ(Control(0x70, {0x03}), kAvcOk);
  for (size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(Status(kPresetFileCodes[i], {0xFF}), Bytes{file[10 + i]}) << "code " << int(kPresetFileCodes[i]);
  }
  EXPECT_EQ(camera_->ReadState().activeSlot, 3);
}

TEST_F(AvcTest, SelectRefusesSlotAboveCountAndBrokenFile) {
  EXPECT_EQ(Control(0x70, {0x04}), kAvcRejected);
  WriteAll(camera_->PresetFile(1), {24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  EXPECT_EQ(Control(0x70, {0x01}), kAvcRejected);
  EXPECT_EQ(Status(0x41, {0xFF}), Bytes{6});  // registers unchanged
}

TEST_F(AvcTest, RegisterSelectResetRoundTrip) {
  ASSERT_EQ(Control(0x47, {12}), kAvcOk);
  ASSERT_EQ(Control(0x71, {0x01, 'O', 'N', 'E', 0, 0, 0, 0, 0}), kAvcOk);
  ASSERT_EQ(Control(0x47, {0}), kAvcOk);
  ASSERT_EQ(Control(0x70, {0x01}), kAvcOk);
  EXPECT_EQ(Status(0x47, {0xFF}), Bytes{12});
  ASSERT_EQ(Control(0x72, {0x01}), kAvcOk);
  const Bytes factory = {25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 6, 6, 6, 6, 6, 6, 0, 0, 0, 0, 1, 1, 6, 6};
  EXPECT_EQ(Hex(PresetFile(1)), Hex(factory));
}

// A KV7 keeps its working picture settings in preset 0 (the library
// re-applies preset 0 before each picture write there): every accepted
// picture write and every select lands in preset 0's bytes 10-24, in the
// order the re-apply reads them. Other models leave preset 0 alone.
TEST_F(AvcTest, PresetZeroFollowsThePictureRegistersOnAKv7Only) {
  // The byte order of the file, as the library's re-apply reads it.
  ASSERT_EQ(Hex(Bytes(kPresetFileCodes, kPresetFileCodes + 15)),
            "41 40 47 48 4B 4C 4D 4E 44 49 46 45 4A 4F 50");
  const Bytes factory = {25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 6, 6, 6, 6, 6, 6, 0, 0, 0, 0, 1, 1, 6, 6};
  const Bytes written = {25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 7, 8, 2, 1, 1, 1, 2, 0, 9, 10};
  const Bytes slot3 = {25, 1, 'A', 0, 0, 0, 0, 0, 0, 0, 11, 10, 9, 8, 7, 5, 4, 3, 1, 1, 1, 0, 2, 3, 2};
  const Bytes selected = {25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 11, 10, 9, 8, 7, 5, 4, 3, 1, 1, 1, 0, 2, 3, 2};
  const struct {
    const char* model;
    bool follows;
  } cases[] = {{"KV7", true}, {"kv7", true}, {"KX1", false}, {"DV1", false}, {"KV70", false}};
  int made = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    CameraOptions options;
    options.model = c.model;
    options.sampleContent = false;
    camera_.reset();
    // Numbered: "KV7" and "kv7" would be one folder where names ignore case.
    camera_ = Create("cam-" + std::to_string(++made), options);
    for (size_t i = 0; i < 15; ++i) ASSERT_EQ(Control(kPresetFileCodes[i], {written[10 + i]}), kAvcOk) << i;
    EXPECT_EQ(Hex(PresetFile(0)), Hex(c.follows ? written : factory));
    // A refused value changes neither the register nor preset 0.
    EXPECT_EQ(Control(0x41, {13}), kAvcNotImplemented);
    EXPECT_EQ(Status(0x41, {0xFF}), Bytes{1});
    EXPECT_EQ(Hex(PresetFile(0)), Hex(c.follows ? written : factory));
    WriteAll(camera_->PresetFile(3), slot3);
    ASSERT_EQ(Control(0x70, {0x03}), kAvcOk);
    EXPECT_EQ(Hex(PresetFile(0)), Hex(c.follows ? selected : factory));
    EXPECT_EQ(Hex(PresetFile(3)), Hex(slot3));
    // A preset 0 that is not a whole preset file is left as it is.
    const Bytes broken(factory.begin(), factory.end() - 1);
    WriteAll(camera_->PresetFile(0), broken);
    ASSERT_EQ(Control(0x47, {12}), kAvcOk);
    EXPECT_EQ(Hex(PresetFile(0)), Hex(broken));
  }
}

TEST_F(AvcTest, BusyFlagAnswersOneDuringWindowOnly) {
  camera_->Modify([](State& s) { s.busyMs = 300; });
  EXPECT_EQ(Status(0x75, {0xFF}), Bytes{0});
  ASSERT_EQ(Control(0x70, {0x01}), kAvcOk);
  EXPECT_EQ(Status(0x75, {0xFF}), Bytes{1});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Status(0x75, {0xFF}), Bytes{0});
}

TEST_F(AvcTest, EveryPresetChangingCommandStartsBusyWindow) {
  camera_->Modify([](State& s) { s.busyMs = 5000; });
  struct Case {
    uint8_t code;
    std::initializer_list<uint8_t> operands;
  };
  const Case cases[] = {{0x70, {1}}, {0x71, {1, 'X', 0, 0, 0, 0, 0, 0, 0}}, {0x72, {1}}, {0x74, {1, 0}}};
  for (const Case& c : cases) {
    camera_->Modify([](State& s) { s.busyUntilMs = 0; });
    ASSERT_EQ(Status(0x75, {0xFF}), Bytes{0});
    ASSERT_EQ(Control(c.code, c.operands), kAvcOk) << int(c.code);
    EXPECT_EQ(Status(0x75, {0xFF}), Bytes{1}) << int(c.code);
  }
  camera_->Modify([](State& s) { s.busyUntilMs = 0; });
  ASSERT_EQ(Control(0x41, {3}), kAvcOk);  // a picture write is not a preset change
  EXPECT_EQ(Status(0x75, {0xFF}), Bytes{0});
}

TEST_F(AvcTest, ProtectedSlotRefusesRegisterAndReset) {
  ASSERT_EQ(Control(0x74, {0x02, 0x01}), kAvcOk);
  EXPECT_EQ(Status(0x74, {0x02, 0xFF}), (Bytes{0x02, 0x01}));
  const Bytes before = PresetFile(2);
  EXPECT_EQ(Control(0x71, {0x02, 'N', 0, 0, 0, 0, 0, 0, 0}), kAvcRejected);
  EXPECT_EQ(Control(0x72, {0x02}), kAvcRejected);
  EXPECT_EQ(PresetFile(2), before);
  ASSERT_EQ(Control(0x74, {0x02, 0x00}), kAvcOk);
  EXPECT_EQ(Control(0x72, {0x02}), kAvcOk);
  EXPECT_EQ(Status(0x74, {0x00, 0xFF}), (Bytes{0x00, 0x00}));  // slot 0 is asked like any other
  EXPECT_EQ(Status(0x74, {0x04, 0xFF}, kAvcRejected), (Bytes{0x04, 0xFF}));
}

TEST_F(AvcTest, CapabilityInquiryFollowsImplementedCodes) {
  EXPECT_EQ(Status(0xF0, {0x41}), Bytes{0x41});
  EXPECT_EQ(Status(0xF0, {0x42}, kAvcNotImplemented), Bytes{0x42});
  camera_->Modify([](State& s) { s.SetImplemented(0x41, false); });
  Status(0xF0, {0x41}, kAvcNotImplemented);
  EXPECT_EQ(Control(0x41, {3}), kAvcNotImplemented);
}

TEST_F(AvcTest, RangeQueryAnswersCodeMinMaxDefault) {
  EXPECT_EQ(Status(0x21, {0x41, 0xFF, 0xFF, 0xFF}), (Bytes{0x41, 0, 12, 6}));
  EXPECT_EQ(Status(0x21, {0x4E, 0xFF, 0xFF, 0xFF}), (Bytes{0x4E, 0, 3, 0}));
  EXPECT_EQ(Status(0x21, {0x25, 0xFF, 0xFF, 0xFF}), (Bytes{0x25, 0, 254, 0}));
  Status(0x21, {0x46, 0xFF, 0xFF, 0xFF}, kAvcRejected);
}

TEST_F(AvcTest, OutOfRangePictureValueIsNotImplementedOtherValuesRefused) {
  EXPECT_EQ(Control(0x41, {13}), kAvcNotImplemented);
  EXPECT_EQ(Control(0x12, {3}), kAvcRejected);
  EXPECT_EQ(Control(0x19, {3}), kAvcRejected);
  EXPECT_EQ(Status(0x41, {0xFF}), Bytes{6});
}

TEST_F(AvcTest, PairedCodesKeepLevelOnFF) {
  ASSERT_EQ(Control(0x17, {0x01, 50}), kAvcOk);
  ASSERT_EQ(Control(0x17, {0x00, 0xFF}), kAvcOk);
  EXPECT_EQ(Status(0x17, {0xFF, 0xFF}), (Bytes{0x00, 50}));
  EXPECT_EQ(Status(0x24, {0xFF, 0xFF}), (Bytes{0x12, 0x34}));
  EXPECT_EQ(Control(0x24, {0x00, 0x00}), kAvcRejected);  // read-only
}

TEST_F(AvcTest, ConnectAvSwitchesModeAndModeQueryReportsIt) {
  AvcFrame vcr{0x00, 0xFF, 0x20, 0xA0, 0x00, 0x00, 0x20, 0x20};
  ASSERT_EQ(Send(vcr), kAvcOk);
  EXPECT_EQ(vcr.bytes[0], 0x09);
  AvcFrame q = Vendor(0x01, 0x0010, 0x09, {0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(Send(q), kAvcOk);
  EXPECT_EQ(Hex(q.Response()), "0C 20 00 00 00 85 00 10 09 20 00 00 00");
  // VCR mode refuses picture writes and preset commands.
  EXPECT_EQ(Control(0x41, {3}), kAvcRejected);
  EXPECT_EQ(Control(0x70, {1}), kAvcRejected);
  AvcFrame cam{0x00, 0xFF, 0x20, 0x00, 0x38, 0x38, 0x20, 0x20};
  ASSERT_EQ(Send(cam), kAvcOk);
  camera_->Modify([](State& s) { s.emergency = 1; });
  AvcFrame q2 = Vendor(0x01, 0x0010, 0x09, {0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(Send(q2), kAvcOk);
  EXPECT_EQ(Hex(q2.Response()), "0C 20 00 00 00 85 00 10 09 38 00 00 01");
}

TEST_F(AvcTest, ColourBarsKeepCameraMode) {
  ASSERT_EQ(Control(0x16, {2}), kAvcOk);
  AvcFrame vcr{0x00, 0xFF, 0x20, 0xA0, 0x00, 0x00, 0x20, 0x20};
  EXPECT_EQ(Send(vcr), kAvcRejected);
  EXPECT_EQ(vcr.bytes[0], 0x0A);
  EXPECT_EQ(camera_->ReadState().mode, kModeCamera);
}

TEST_F(AvcTest, CameraSubunitOpcodeC8) {
  AvcFrame w{0x00, 0x38, 0xC8, 0x01};
  ASSERT_EQ(Send(w), kAvcOk);
  AvcFrame r{0x01, 0x38, 0xC8, 0xFF};
  ASSERT_EQ(Send(r), kAvcOk);
  EXPECT_EQ(Hex(r.Response()), "0C 38 C8 01");
}

TEST_F(AvcTest, UnknownAndMalformedFrames) {
  EXPECT_EQ(Control(0x99, {0}), kAvcNotImplemented);
  AvcFrame company{0x01, 0x20, 0x00, 0x00, 0x00, 0x86, 0x00, 0x01, 0x41, 0xFF};
  EXPECT_EQ(Send(company), kAvcNotImplemented);
  AvcFrame set2 = Vendor(0x01, 0x0002, 0x41, {0xFF});
  EXPECT_EQ(Send(set2), kAvcNotImplemented);
  EXPECT_EQ(Control(0x41, {1, 2}), kAvcRejected);  // wrong operand count
  AvcFrame tiny{0x01, 0x20};
  EXPECT_EQ(Send(tiny), kErrorInvalidParameter);
  AvcFrame big = Vendor(0x01, 0x0001, 0x41, {0xFF});
  EXPECT_EQ(camera_->AvcExchange(big.bytes, 513), kErrorInvalidParameter);
  AvcFrame general{0x00, 0x60, 0x10};
  EXPECT_EQ(Send(general), kAvcNotImplemented);
}

TEST_F(AvcTest, InquiryAnswersImplementedWithoutChangingState) {
  AvcFrame inq = Vendor(0x02, 0x0001, 0x41, {0x05});
  EXPECT_EQ(Send(inq), kAvcOk);
  EXPECT_EQ(Status(0x41, {0xFF}), Bytes{6});
  AvcFrame gen{0x04, 0xFF, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Send(gen), kAvcOk);
}

TEST_F(AvcTest, UnpluggedCameraIsGone) {
  camera_->SetPlugged(false);
  AvcFrame f = Vendor(0x01, 0x0001, 0x41, {0xFF});
  EXPECT_EQ(Send(f), kDeviceRemoved);
  EXPECT_EQ(f.bytes[9], 0xFF);  // nothing answered
}

TEST_F(AvcTest, TraceHasOneLinePerExchange) {
  AvcFrame f{0x01, 0x20, 0x00, 0x00, 0x00, 0x85, 0x00, 0x10, 0x13, 0xFF, 0xFF};
  ASSERT_EQ(Send(f), kAvcOk);
  Control(0x99, {0});
  std::ifstream in(camera_->dir() / "trace.log");
  std::string line1, line2, extra;
  ASSERT_TRUE(std::getline(in, line1));
  ASSERT_TRUE(std::getline(in, line2));
  EXPECT_FALSE(std::getline(in, extra));
  EXPECT_NE(line1.find(" cam avc 0120000000850010" "13FFFF 0C2000000085001013" "0101 0"), std::string::npos) << line1;
  EXPECT_NE(line2.find(" cam avc 00200000008500019900 08200000008500019900 50"), std::string::npos) << line2;
}

TEST_F(AvcTest, TraceIsBounded) {
  camera_->Modify([](State& s) { s.traceMaxBytes = 4096; });
  for (int i = 0; i < 200; ++i) Status(0x41, {0xFF});
  uint64_t total = 0;
  for (const auto& file : camera_->TraceFiles()) {
    EXPECT_NE(file.filename().string().find("trace"), std::string::npos);
    total += std::filesystem::file_size(file);
  }
  EXPECT_LE(total, 2u * 4096u + 512u);
  EXPECT_EQ(camera_->TraceFiles().size(), 2u);
}

}  // namespace
}  // namespace vcam::testing
