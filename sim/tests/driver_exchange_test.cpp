// The two forms of a storage exchange's data area, as a driver splits them:
// every frame kind against address, area beside, both, neither and lengths
// at and past the limits.
#include "vcam/driver_exchange.h"

#include <gtest/gtest.h>

#include <vector>

#include "storage/frames.h"
#include "vcam/vcam.h"

namespace {

namespace sf = storage;

struct SplitCase {
  const char* name;
  uint8_t opcode;
  uint32_t inputLength;   // 0: the opcode's frame length
  uint32_t outputLength;  // 0: the same as the input
  uint32_t address;
  uint32_t fieldLength;   // capacity (reads) or first length (WriteFile)
  int32_t result;
  vcam::AreaForm form;
  uint32_t frameLength;
  uint32_t areaLength;
};

constexpr uint32_t kMaxArea = 1000;
constexpr uint8_t kThumb = static_cast<uint8_t>(sf::Opcode::ReadThumbnail);
constexpr uint8_t kRead = static_cast<uint8_t>(sf::Opcode::ReadFile);
constexpr uint8_t kWrite = static_cast<uint8_t>(sf::Opcode::WriteFile);
constexpr uint8_t kList = static_cast<uint8_t>(sf::Opcode::ListDirectory);
using vcam::AreaForm;

const SplitCase kCases[] = {
    {"ListDirectoryWhole", kList, 0, 0, 0, 0, 0, AreaForm::None, sf::kListDirectoryLength, 0},
    {"QueryModeWhole", 0x01, 2, 2, 0, 0, 0, AreaForm::None, 2, 0},
    {"UnknownOpcodeLeftToTheCamera", 0x7E, 40, 40, 0, 0, 0, AreaForm::None, 40, 0},
    {"ShortReadLeftToTheCamera", kRead, 100, 100, 0, 0, 0, AreaForm::None, 100, 0},
    {"OneByte", kList, 1, 1, 0, 0, 87, AreaForm::None, 0, 0},
    {"LongerThanAnyFrame", kList, sf::kMaxFrameLength + 1, 0, 0, 0, 87, AreaForm::None, 0, 0},
    {"ReadWithoutArea", kRead, 0, 0, 0, 64, 0, AreaForm::None, sf::kReadFileLength, 0},
    {"ReadAreaBesideInOutput", kRead, 0, sf::kReadFileLength + 300, 0, 64, 0, AreaForm::Beside, sf::kReadFileLength, 300},
    {"ThumbnailAreaBeside", kThumb, 0, sf::kReadThumbnailLength + kMaxArea, 0, 0, 0, AreaForm::Beside,
     sf::kReadThumbnailLength, kMaxArea},
    {"ReadAreaBesideTooLong", kRead, 0, sf::kReadFileLength + kMaxArea + 1, 0, 0, 87, AreaForm::Beside, 0, 0},
    {"ReadAtAddress", kRead, 0, 0, 0x00401000, 512, 0, AreaForm::Address, sf::kReadFileLength, 512},
    {"ThumbnailAtAddress", kThumb, 0, 0, 0x7FFE0000, kMaxArea, 0, AreaForm::Address, sf::kReadThumbnailLength, kMaxArea},
    {"ReadAtAddressTooLong", kRead, 0, 0, 0x00401000, kMaxArea + 1, 87, AreaForm::None, 0, 0},
    {"ReadAddressAndAreaBeside", kRead, 0, sf::kReadFileLength + 8, 0x00401000, 8, 87, AreaForm::None, 0, 0},
    {"WriteAreaBesideInInput", kWrite, sf::kWriteFileLength + 25, sf::kWriteFileLength, 0, 25, 0, AreaForm::Beside,
     sf::kWriteFileLength, 25},
    {"WriteAtAddress", kWrite, 0, 0, 0x00500000, 25, 0, AreaForm::Address, sf::kWriteFileLength, 25},
    {"WriteEmptyFile", kWrite, 0, 0, 0, 0, 0, AreaForm::None, sf::kWriteFileLength, 0},
    {"WriteAddressAndAreaBeside", kWrite, sf::kWriteFileLength + 25, 0, 0x00500000, 25, 87, AreaForm::None, 0, 0},
    {"WriteAreaBesideTooLong", kWrite, sf::kWriteFileLength + kMaxArea + 1, 0, 0, 0, 87, AreaForm::None, 0, 0},
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, FindsTheFrameAndItsArea) {
  const SplitCase& c = GetParam();
  const uint32_t frameLength = sf::FrameLength(c.opcode);
  const uint32_t inputLength = c.inputLength != 0 ? c.inputLength : frameLength;
  const uint32_t outputLength = c.outputLength != 0 ? c.outputLength : inputLength;
  std::vector<uint8_t> input(std::max<uint32_t>(inputLength, sf::kMaxFrameLength), 0);
  input[0] = c.opcode;
  if (inputLength >= sf::read_file::kAddress + 4) sf::PutBe32(input.data() + sf::read_file::kAddress, c.address);
  if (c.opcode == kWrite && inputLength >= frameLength) {
    sf::PutBe32(input.data() + sf::write_file::kFirstLength, c.fieldLength);
  } else if (inputLength >= sf::read_file::kCapacity + 4) {
    sf::PutBe32(input.data() + sf::read_file::kCapacity, c.fieldLength);
  }
  vcam::DriverExchange split;
  ASSERT_EQ(vcam::SplitDriverExchange(input.data(), inputLength, outputLength, kMaxArea, split), c.result);
  if (c.result != 0) return;
  EXPECT_EQ(split.frameLength, c.frameLength);
  EXPECT_EQ(split.form, c.form);
  EXPECT_EQ(split.areaLength, c.areaLength);
  EXPECT_EQ(split.areaIsOutput, (c.opcode == kRead || c.opcode == kThumb) && inputLength >= frameLength);
  EXPECT_EQ(split.address, c.form == AreaForm::Address ? c.address : 0u);
}

INSTANTIATE_TEST_SUITE_P(Forms, SplitTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

TEST(SplitTest, NoInputIsRefused) {
  vcam::DriverExchange split;
  EXPECT_EQ(vcam::SplitDriverExchange(nullptr, 10, 10, kMaxArea, split), 87);
}

}  // namespace
