// Hostile frames: random bytes and lengths never crash the camera, never
// write past the areas given, and never touch a file outside its folder.
#include <cstring>
#include <random>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;
using Bytes = std::vector<uint8_t>;

class RobustnessTest : public CameraFixture {};

// Frames per test. Fewer on Windows, where the suite runs under Wine and every
// exchange costs several round trips to its server (the seeds stay the same).
#ifdef _WIN32
constexpr int kRounds = 400;
#else
constexpr int kRounds = 3000;
#endif

TEST_F(RobustnessTest, RandomAvcFramesAreAnsweredWithinTheBuffer) {
  std::mt19937 rng(1234);
  for (int i = 0; i < kRounds; ++i) {
    uint8_t frame[kAvcFrameSize + 16];
    for (uint8_t& b : frame) b = static_cast<uint8_t>(rng());
    // Mostly well-formed vendor headers so the command handlers are reached.
    if (i % 2 == 0) {
      frame[1] = 0x20;
      frame[2] = 0x00;
      frame[3] = 0x00;
      frame[4] = 0x00;
      frame[5] = 0x85;
      frame[6] = 0x00;
      frame[7] = (i % 4 == 0) ? 0x01 : 0x10;
      frame[0] = static_cast<uint8_t>(rng() % 5);
    }
    std::memset(frame + kAvcFrameSize, 0xEE, 16);
    const uint32_t length = static_cast<uint32_t>(rng() % 520);
    const int32_t r = camera_->AvcExchange(*reinterpret_cast<uint8_t(*)[kAvcFrameSize]>(frame), length);
    EXPECT_TRUE(r == kAvcOk || r == kAvcRejected || r == kAvcNotImplemented || r == kErrorInvalidParameter) << r;
    for (int k = 0; k < 16; ++k) ASSERT_EQ(frame[kAvcFrameSize + k], 0xEE);
  }
  EXPECT_EQ(ReadAll(camera_->PresetFile(0)).size(), kPresetFileSize);
}

TEST_F(RobustnessTest, RandomStorageFramesNeverEscape) {
  const auto outside = root_ / "outside.txt";
  WriteAll(outside, {'k', 'e', 'e', 'p'});
  std::mt19937 rng(99);
  const uint8_t opcodes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x15, 0x16};
  for (int i = 0; i < kRounds; ++i) {
    uint8_t frame[sf::kMaxFrameLength];
    for (uint8_t& b : frame) b = static_cast<uint8_t>(rng());
    frame[0] = opcodes[rng() % sizeof opcodes];
    // Half of the frames carry a plausible path made of path characters.
    if (i % 2 == 0) {
      static constexpr char kChars[] = "\\.:/AZaz09~*?";
      const size_t at = frame[0] == 0x04 ? 12 : frame[0] == 0x06 ? 10 : 6;
      const size_t len = rng() % 40;
      for (size_t k = 0; k < len; ++k) frame[at + k] = static_cast<uint8_t>(kChars[rng() % (sizeof kChars - 1)]);
      frame[at + len] = 0;
      frame[2] = static_cast<uint8_t>(rng() % 2 ? 0xFF : 0);
      frame[3] = 0;
      frame[4] = 1;
    }
    uint32_t length = sf::FrameLength(frame[0]);
    if (length == 0 || i % 7 == 0) length = static_cast<uint32_t>(rng() % (sf::kMaxFrameLength + 1));
    uint8_t area[600];
    std::memset(area, 0xEE, sizeof area);
    const uint32_t dataLength = static_cast<uint32_t>(rng() % 512);
    const int32_t r = camera_->StorageExchange(frame, length, area, dataLength);
    EXPECT_TRUE(r == 0 || r == kErrorInvalidParameter) << r;
    for (size_t k = dataLength; k < sizeof area; ++k) ASSERT_EQ(area[k], 0xEE) << "byte " << k;
  }
  EXPECT_EQ(ReadAll(outside), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(std::filesystem::exists(root_ / "cam" / "identity"));
  EXPECT_TRUE(std::filesystem::exists(root_ / "cam" / "state"));
}

}  // namespace
}  // namespace vcam::testing
