// The shared storage frame module: builders byte for byte, number helpers,
// the directory entry record and the status tables.
#include <cstring>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;
using Bytes = std::vector<uint8_t>;

TEST(FramesTest, LengthsOfEveryOpcode) {
  const std::pair<uint8_t, uint32_t> expected[] = {{0x01, 2},   {0x02, 258}, {0x03, 23},  {0x04, 492},
                                                   {0x06, 265}, {0x07, 261}, {0x08, 276}, {0x09, 276},
                                                   {0x0A, 280}, {0x15, 276}, {0x16, 280}};
  for (auto [op, len] : expected) EXPECT_EQ(sf::FrameLength(op), len) << int(op);
  for (uint8_t op : {0x00, 0x05, 0x0B, 0x14, 0x17, 0xFF}) EXPECT_EQ(sf::FrameLength(op), 0u) << int(op);
}

TEST(FramesTest, CountEntriesOfTheLibrary) {
  uint8_t frame[sf::kCountEntriesLength];
  std::memset(frame, 0xAA, sizeof frame);
  ASSERT_TRUE(sf::BuildCountEntries(frame, sf::Address{}, 1, "\\dev\\campset"));
  EXPECT_EQ(Hex(Bytes(frame, frame + 23)), "06 00 FF FF 00 00 01 00 00 0C 5C 64 65 76 5C 63 61 6D 70 73 65 74 00");
  EXPECT_TRUE(std::all_of(frame + 23, frame + sizeof frame, [](uint8_t b) { return b == 0; }));
}

TEST(FramesTest, ReadFileCarriesCapacityRequestAndAddress) {
  uint8_t frame[sf::kReadFileLength];
  uint8_t area[4] = {};
  ASSERT_TRUE(sf::BuildReadFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", 0x8000, 256, area));
  EXPECT_EQ(Hex(Bytes(frame, frame + 6)), "09 00 FF FF 00 19");
  EXPECT_EQ(Hex(Bytes(frame + 261, frame + 272)), "00 00 00 80 00 00 00 01 00 00 00");
  if constexpr (sizeof(void*) == 8) {
    EXPECT_EQ(sf::GetBe32(frame + 272), 0u);  // the area travels beside the frame
  }
}

TEST(FramesTest, WriteFileOfTheLibrary) {
  uint8_t frame[sf::kWriteFileLength];
  uint8_t data[25] = {};
  sf::WriteRequest r;
  r.pathLength = 25;
  r.firstLength = r.secondLength = 25;
  r.firstFlag = 1;
  r.secondFlag = 0xFF;
  r.data = data;
  ASSERT_TRUE(sf::BuildWriteFile(frame, sf::Address{}, "\\dev\\campset\\Preset01.pst", r));
  EXPECT_EQ(Hex(Bytes(frame, frame + 6)), "0A 00 FF FF 00 19");
  EXPECT_EQ(Hex(Bytes(frame + 261, frame + 280)), "00 00 00 19 00 00 00 19 01 FF 00 00 00 00 00 00 00 00 00");
}

TEST(FramesTest, TransferControlAndThumbnail) {
  uint8_t frame[sf::kWriteTransferControlLength];
  ASSERT_TRUE(sf::BuildTransferControl(frame, false, true));
  EXPECT_EQ(frame[0], 0x16);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_TRUE(std::all_of(frame + 2, frame + 280, [](uint8_t b) { return b == 0; }));
  ASSERT_TRUE(sf::BuildTransferControl(frame, true, false));
  EXPECT_EQ(Hex(Bytes(frame, frame + 2)), "15 00");
  uint8_t thumb[sf::kReadThumbnailLength];
  ASSERT_TRUE(sf::BuildReadThumbnail(thumb, sf::Address{1, 0, 7}, "\\A.JPG", nullptr));
  EXPECT_EQ(Hex(Bytes(thumb, thumb + 6)), "08 00 01 00 07 06");
  EXPECT_EQ(Hex(Bytes(thumb + 261, thumb + 272)), "00 00 00 80 00 00 00 80 00 00 00");
}

TEST(FramesTest, ListDirectoryAsksForTwentyFour) {
  uint8_t frame[sf::kListDirectoryLength];
  ASSERT_TRUE(sf::BuildListDirectory(frame, sf::Address{0, 0, 3}, 0x0102, "\\DCIM"));
  EXPECT_EQ(Hex(Bytes(frame, frame + 18)), "04 00 00 00 03 00 03 01 02 18 05 00 5C 44 43 49 4D 00");
}

TEST(FramesTest, PathsThatDoNotFitAreRefused) {
  uint8_t frame[sf::kDeleteFileLength];
  EXPECT_TRUE(sf::BuildDeleteFile(frame, sf::Address{}, std::string(254, 'a')));
  EXPECT_FALSE(sf::BuildDeleteFile(frame, sf::Address{}, std::string(255, 'a')));
  EXPECT_FALSE(sf::BuildDeleteFile(frame, sf::Address{}, std::string("a\0b", 3)));
  uint8_t small[100];
  EXPECT_FALSE(sf::BuildDeleteFile(small, sf::Address{}, "\\x"));  // buffer shorter than the frame
  uint8_t field[255];
  std::memset(field, 'x', sizeof field);
  std::string_view path;
  EXPECT_FALSE(sf::GetPath(field, path));
  field[3] = 0;
  ASSERT_TRUE(sf::GetPath(field, path));
  EXPECT_EQ(path, "xxx");
}

TEST(FramesTest, DirectoryEntryRecord) {
  sf::DirectoryEntry e;
  std::strcpy(e.name, "IMG_0001");
  std::strcpy(e.extension, "JPG");
  e.attributes = sf::kAttributeReadOnly;
  e.time = sf::DosDateTime{2004, 1, 1, 12, 34, 56};
  e.size = 0x00012345;
  uint8_t record[20];
  sf::EncodeDirectoryEntry(e, record);
  EXPECT_EQ(Hex(Bytes(record, record + 20)), "49 4D 47 5F 30 30 30 31 4A 50 47 01 5C 64 21 30 45 23 01 00");
  const sf::DirectoryEntry back = sf::DecodeDirectoryEntry(record);
  EXPECT_STREQ(back.name, "IMG_0001");
  EXPECT_STREQ(back.extension, "JPG");
  EXPECT_EQ(back.size, 0x12345u);
  EXPECT_EQ(back.time.year, 2004);
  EXPECT_EQ(back.time.second, 56);
  const uint8_t date[2] = {0x21, 0x30};
  const sf::DosDateTime d = sf::DecodeDosDateTime(sf::GetLe16(date), 0);
  EXPECT_EQ(d.year, 2004);
  EXPECT_EQ(d.month, 1);
  EXPECT_EQ(d.day, 1);
  uint8_t folder[20];
  sf::DirectoryEntry f;
  std::strcpy(f.name, "DCIM");
  f.attributes = sf::kAttributeFolder;
  sf::EncodeDirectoryEntry(f, folder);
  EXPECT_EQ(Hex(Bytes(folder, folder + 12)), "44 43 49 4D 20 20 20 20 20 20 20 10");
  EXPECT_STREQ(sf::DecodeDirectoryEntry(folder).extension, "");
}

TEST(FramesTest, StatusTables) {
  EXPECT_EQ(sf::ClassifyForLibrary(0x00), sf::LibraryStatus::Success);
  EXPECT_EQ(sf::ClassifyForLibrary(0x80), sf::LibraryStatus::BusyRetry);
  EXPECT_EQ(sf::ClassifyForLibrary(0xA8), sf::LibraryStatus::Protected);
  for (uint8_t s : {0x82, 0x84, 0xA0, 0xB1, 0xFE, 0x5A}) EXPECT_EQ(sf::ClassifyForLibrary(s), sf::LibraryStatus::Failure);
  for (uint8_t s : {0x80, 0x82, 0x84, 0xB1, 0xFE}) EXPECT_TRUE(sf::IsMicrodriverRetryStatus(s));
  for (uint8_t s : {0x00, 0x81, 0xA0, 0xA8}) EXPECT_FALSE(sf::IsMicrodriverRetryStatus(s));
  const std::pair<uint8_t, uint32_t> map[] = {
      {0x00, 0},          {0x80, 0x800700AA}, {0x81, 0x800704D3}, {0x82, 0x800704D5}, {0x90, 0x80070456},
      {0x91, 0x80070495}, {0x93, 0x80070057}, {0xA0, 0x800710D4}, {0xA1, 0x80070002}, {0xA2, 0x8007010B},
      {0xA3, 0x80070070}, {0xA4, 0x80070050}, {0xA8, 0x80071779}, {0xAA, 0x80070010}, {0xAB, 0x80070091},
      {0xAC, 0x80070052}, {0xB2, 0x800739D1}, {0xB3, 0x800739D2}, {0xA5, 0x80004005}, {0x84, 0x80004005}};
  for (auto [status, result] : map) EXPECT_EQ(static_cast<uint32_t>(sf::MapStatus(status)), result) << int(status);
}

TEST(FramesTest, NumberHelpers) {
  uint8_t b[4];
  sf::PutBe32(b, 0x01020304);
  EXPECT_EQ(Hex(Bytes(b, b + 4)), "01 02 03 04");
  EXPECT_EQ(sf::GetBe32(b), 0x01020304u);
  sf::PutLe32(b, 0x01020304);
  EXPECT_EQ(Hex(Bytes(b, b + 4)), "04 03 02 01");
  EXPECT_EQ(sf::GetLe32(b), 0x01020304u);
  EXPECT_EQ(sf::ResultFromWin32(170), static_cast<int32_t>(0x800700AA));
  EXPECT_EQ(sf::ResultFromWin32(0), 0);
  EXPECT_EQ(sf::ResultFromWin32(-5), -5);
}

}  // namespace
}  // namespace vcam::testing
