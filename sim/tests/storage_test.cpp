// The camera's storage driver: frames byte for byte, listings, transfers and
// refused paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace sf = storage;
using Bytes = std::vector<uint8_t>;

constexpr char kImage[] = "\\DCIM\\100KV7\\IMG_0001.JPG";

// 2004-01-01 12:34:56 UTC.
constexpr time_t kKnownTime = 1072960496;

void SetTime(const std::filesystem::path& path, time_t t) {
  timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

class StorageTest : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    identity_ = camera_->ReadState().media[0].identity;
  }
  sf::Address Media() const { return sf::Address{0, 0, identity_}; }
  static sf::Address Namespace() { return sf::Address{}; }
  int32_t Send(uint8_t* frame, uint32_t length, uint8_t* data = nullptr, uint32_t dataLength = 0) {
    return camera_->StorageExchange(frame, length, data, dataLength);
  }
  std::filesystem::path Volume() const { return camera_->VolumeDir(0, 0); }

  // Reads a file through ReadFile; returns the status byte.
  uint8_t Read(sf::Address at, const std::string& path, Bytes& out, uint32_t requested = sf::kTransferAreaSize) {
    uint8_t frame[sf::kReadFileLength];
    Bytes area(sf::kTransferAreaSize, 0xEE);
    EXPECT_TRUE(sf::BuildReadFile(frame, at, path, sf::kTransferAreaSize, requested, area.data()));
    EXPECT_EQ(Send(frame, sizeof frame, area.data(), static_cast<uint32_t>(area.size())), 0);
    const uint32_t delivered = sf::GetBe32(frame + sf::read_file::kDelivered);
    out.assign(area.begin(), area.begin() + std::min<size_t>(delivered, area.size()));
    return frame[1];
  }
  uint8_t Write(sf::Address at, const std::string& path, const Bytes& data, std::string* stored = nullptr) {
    return WriteThroughFrame(*camera_, at, path, data, stored);
  }
  uint8_t Count(sf::Address at, uint8_t selector, const std::string& path, uint16_t& count) {
    uint8_t frame[sf::kCountEntriesLength];
    EXPECT_TRUE(sf::BuildCountEntries(frame, at, selector, path));
    EXPECT_EQ(Send(frame, sizeof frame), 0);
    count = sf::GetBe16(frame + sf::count_entries::kCount);
    return frame[1];
  }
  // All entries of a folder, 24 per ListDirectory call; records the calls.
  std::vector<sf::DirectoryEntry> List(sf::Address at, const std::string& folder, std::vector<int>* counts = nullptr) {
    std::vector<sf::DirectoryEntry> entries;
    for (uint16_t first = 0;;) {
      uint8_t frame[sf::kListDirectoryLength];
      EXPECT_TRUE(sf::BuildListDirectory(frame, at, first, folder));
      EXPECT_EQ(Send(frame, sizeof frame), 0);
      EXPECT_EQ(frame[1], 0) << folder;
      if (frame[1] != 0) break;
      const uint8_t n = frame[sf::list_directory::kWanted];
      if (counts != nullptr) counts->push_back(n);
      for (uint8_t i = 0; i < n; ++i) entries.push_back(sf::DecodeDirectoryEntry(frame + 12 + 20 * i));
      if (frame[sf::list_directory::kEndFlag] == 1 || n == 0) break;
      first = static_cast<uint16_t>(first + n);
    }
    return entries;
  }
  uint8_t identity_ = 0;
};

TEST_F(StorageTest, QueryModeAnswersModeByte) {
  uint8_t frame[2] = {0x01, 0x00};
  ASSERT_EQ(Send(frame, 2), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 2)), "01 10");
}

TEST_F(StorageTest, ListMediaByteExact) {
  camera_.reset();
  CameraOptions options;
  options.media = {MediumOptions{1, 1000}, MediumOptions{2, 2000}};
  options.sampleContent = false;
  auto camera = Create("two", options);
  uint8_t frame[sf::kListMediaLength];
  ASSERT_TRUE(sf::BuildListMedia(frame));
  ASSERT_EQ(camera->StorageExchange(frame, sizeof frame, nullptr, 0), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 6)), "02 00 02 01 02 00");
  camera->Modify([](State& s) { s.media[1].present = 0; });
  ASSERT_TRUE(sf::BuildListMedia(frame));
  ASSERT_EQ(camera->StorageExchange(frame, sizeof frame, nullptr, 0), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 6)), "02 00 02 01 00 00");  // no medium: not usable
}

TEST_F(StorageTest, MediaStatusReportsIdentityFlagsAndSpace) {
  camera_->Modify([](State& s) { s.media[0].totalBytes = 0x01000000; s.media[0].flags = 0x02; });
  std::filesystem::remove_all(Volume() / "DCIM");
  std::filesystem::remove(Volume() / "INFO.TXT");
  WriteAll(Volume() / "A.TXT", Bytes(0x100, 1));
  uint8_t frame[sf::kMediaStatusLength];
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 0));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 23)),
            "03 00 00 00 01 02 00 00 00 00 00 01 00 00 00 00 00 00 00 00 FF FF 00");
  camera_->ExchangeMedium(0);
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 0));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[4], 2);  // the exchanged medium has a new identity
  camera_->Modify([](State& s) { s.media[0].present = 0; });
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 0));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusNoMedium);
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 1));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusInvalidParameter);
}

TEST_F(StorageTest, ListDirectoryRecordsByteExact) {
  SetTime(Volume() / "DCIM", kKnownTime);
  SetTime(Volume() / "INFO.TXT", kKnownTime);
  ::chmod((Volume() / "INFO.TXT").c_str(), 0444);
  uint8_t frame[sf::kListDirectoryLength];
  ASSERT_TRUE(sf::BuildListDirectory(frame, Media(), 0, "\\"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 12)), "04 00 00 00 01 00 03 00 00 02 01 01");
  // 12:34:56 -> 0x645C, 2004-01-01 -> 0x3021, both little-endian.
  EXPECT_EQ(Hex(Bytes(frame + 12, frame + 32)), "44 43 49 4D 20 20 20 20 20 20 20 10 5C 64 21 30 00 00 00 00");
  EXPECT_EQ(Hex(Bytes(frame + 32, frame + 52)), "49 4E 46 4F 20 20 20 20 54 58 54 01 5C 64 21 30 22 00 00 00");
  EXPECT_TRUE(std::all_of(frame + 52, frame + sizeof frame, [](uint8_t b) { return b == 0; }));
}

TEST_F(StorageTest, ListingOf83NamesSpansSeveralCalls) {
  const auto folder = Volume() / "MANY";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 50; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%02d.JPG", i);
    WriteAll(folder / name, Bytes(static_cast<size_t>(i) + 1, 7));
  }
  WriteAll(folder / "Long File Name.jpeg", Bytes(3, 1));
  WriteAll(folder / "lower.txt", Bytes(4, 1));
  std::vector<int> counts;
  const auto entries = List(Media(), "\\MANY", &counts);
  EXPECT_EQ(counts, (std::vector<int>{24, 24, 4}));
  ASSERT_EQ(entries.size(), 52u);
  EXPECT_STREQ(entries[0].name, "F00");
  EXPECT_STREQ(entries[0].extension, "JPG");
  EXPECT_EQ(entries[49].size, 50u);
  EXPECT_STREQ(entries[50].name, "LONGFI~1");  // alias of a long host name
  EXPECT_STREQ(entries[50].extension, "JPE");
  EXPECT_STREQ(entries[51].name, "LOWER");
  uint16_t count = 0;
  ASSERT_EQ(Count(Media(), 3, "\\MANY", count), 0);
  EXPECT_EQ(count, 52);
  Bytes data;
  ASSERT_EQ(Read(Media(), "\\MANY\\LONGFI~1.JPE", data), 0);
  EXPECT_EQ(data.size(), 3u);
  ASSERT_EQ(Read(Media(), "\\many\\f07.jpg", data), 0);  // names ignore case
  EXPECT_EQ(data.size(), 8u);
}

// Listings are kept between pages; a change to the folder, even within the
// same clock tick, and a change to a listed file are seen by the next call.
TEST_F(StorageTest, ListingsSeeChangesMadeBetweenCalls) {
  const auto folder = Volume() / "KEPT";
  std::filesystem::create_directories(folder);
  for (int round = 0; round < 20; ++round) {
    WriteAll(folder / ("F" + std::to_string(round) + ".TXT"), Bytes(static_cast<size_t>(round) + 1, 1));
    uint16_t count = 0;
    ASSERT_EQ(Count(Media(), 3, "\\KEPT", count), 0);
    ASSERT_EQ(count, round + 1);
    ASSERT_EQ(List(Media(), "\\KEPT").size(), static_cast<size_t>(round) + 1);
  }
  WriteAll(folder / "F0.TXT", Bytes(300, 2));  // rewritten in place: the folder is unchanged
  EXPECT_EQ(List(Media(), "\\KEPT")[0].size, 300u);

  uint8_t frame[sf::kMediaStatusLength];
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 0));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  const uint32_t before = sf::GetBe32(frame + sf::media_status::kAvailable);
  ASSERT_EQ(Write(Media(), "\\KEPT\\NEW.TXT", Bytes(1000, 3)), 0);
  ASSERT_TRUE(sf::BuildMediaStatus(frame, 0));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(sf::GetBe32(frame + sf::media_status::kAvailable), before - 1000);
}

TEST_F(StorageTest, ListDirectoryPastTheEndAndOfAFile) {
  uint8_t frame[sf::kListDirectoryLength];
  ASSERT_TRUE(sf::BuildListDirectory(frame, Media(), 40, "\\"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(frame[9], 0);
  EXPECT_EQ(frame[11], 1);
  ASSERT_TRUE(sf::BuildListDirectory(frame, Media(), 0, "\\INFO.TXT"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusNotAFolder);
  ASSERT_TRUE(sf::BuildListDirectory(frame, Media(), 0, "\\NOPE"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusNotFound);
}

TEST_F(StorageTest, CountEntriesOfPresetFolder) {
  uint16_t count = 0;
  ASSERT_EQ(Count(Namespace(), 1, "\\dev\\campset", count), 0);
  EXPECT_EQ(count, 3);  // slots 1..3; Preset00.pst is not a slot
  ASSERT_EQ(Count(Namespace(), 3, "\\dev\\campset", count), 0);
  EXPECT_EQ(count, 4);
  uint8_t frame[sf::kCountEntriesLength];
  ASSERT_TRUE(sf::BuildCountEntries(frame, Namespace(), 1, "\\dev\\campset"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(Hex(Bytes(frame, frame + 10)), "06 00 FF FF 00 00 01 00 03 0C");
  // A camera scripted to report more slots than it has files.
  camera_->Modify([](State& s) { s.slotCountAnswer = 120; });
  ASSERT_EQ(Count(Namespace(), 1, "\\dev\\campset", count), 0);
  EXPECT_EQ(count, 120);
  ASSERT_EQ(Count(Namespace(), 3, "\\dev\\campset", count), 0);
  EXPECT_EQ(count, 4);
}

TEST_F(StorageTest, ReadFileOfPresetFileDeliversItsBytes) {
  const Bytes file = {25, 1, 'N', 'A', 'M', 'E', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 1, 0, 2, 1, 9, 8};
  WriteAll(camera_->PresetFile(1), file);
  uint8_t frame[sf::kReadFileLength];
  Bytes area(sf::kTransferAreaSize, 0xEE);
  ASSERT_TRUE(sf::BuildReadFile(frame, Namespace(), "\\dev\\campset\\Preset01.pst", 0x8000, 256, area.data()));
  ASSERT_EQ(Send(frame, sizeof frame, area.data(), 0x8000), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(Hex(Bytes(frame + 262, frame + 270)), "00 00 80 00 00 00 00 19");
  EXPECT_EQ(Hex(Bytes(area.begin(), area.begin() + 25)), Hex(file));
  EXPECT_EQ(area[25], 0xEE);
}

TEST_F(StorageTest, ReadFileStaysInsideTheGivenArea) {
  uint8_t frame[sf::kReadFileLength];
  uint8_t area[16];
  std::memset(area, 0xEE, sizeof area);
  // The frame claims 0x8000 bytes of room; the area handed over has 10.
  ASSERT_TRUE(sf::BuildReadFile(frame, Media(), kImage, 0x8000, 0x8000, area));
  ASSERT_EQ(Send(frame, sizeof frame, area, 10), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_EQ(sf::GetBe32(frame + sf::read_file::kDelivered), 10u);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(area[i], 0xEE) << i;
  // No area at all: nothing delivered.
  ASSERT_TRUE(sf::BuildReadFile(frame, Media(), kImage, 0x8000, 0x8000, nullptr));
  ASSERT_EQ(Send(frame, sizeof frame, nullptr, 0), 0);
  EXPECT_EQ(sf::GetBe32(frame + sf::read_file::kDelivered), 0u);
}

TEST_F(StorageTest, ReadFileDeliversAtMostRequestedAndCapacity) {
  Bytes data;
  ASSERT_EQ(Read(Media(), kImage, data, 1000), 0);
  EXPECT_EQ(data.size(), 1000u);
  EXPECT_EQ(data[0], 0xFF);
  EXPECT_EQ(data[1], 0xD8);
  ASSERT_EQ(Read(Media(), kImage, data), 0);
  EXPECT_EQ(data.size(), 0x8000u);  // the 41000-byte image is cut at the capacity
  const Bytes file = ReadAll(Volume() / "DCIM" / "100KV7" / "IMG_0001.JPG");
  EXPECT_EQ(data, Bytes(file.begin(), file.begin() + 0x8000));
}

TEST_F(StorageTest, WriteFileReplacesPresetFileAndReturnsStoredPath) {
  const Bytes file = {25, 1, 'W', 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 1, 0, 2, 1, 9, 8};
  std::string stored;
  ASSERT_EQ(Write(Namespace(), "\\DEV\\CAMPSET\\PRESET02.PST", file, &stored), 0);
  EXPECT_EQ(stored, "\\dev\\campset\\Preset02.pst");
  EXPECT_EQ(ReadAll(camera_->PresetFile(2)), file);
}

TEST_F(StorageTest, WriteToProtectedSlotIsReadOnly) {
  camera_->Modify([](State& s) { s.permission[2] = 1; });
  const Bytes before = ReadAll(camera_->PresetFile(2));
  EXPECT_EQ(Write(Namespace(), "\\dev\\campset\\Preset02.pst", Bytes(25, 25)), sf::kStatusReadOnly);
  EXPECT_EQ(ReadAll(camera_->PresetFile(2)), before);
}

TEST_F(StorageTest, NamespaceRefusesNewFilesAndDeletes) {
  EXPECT_EQ(Write(Namespace(), "\\dev\\campset\\Preset07.pst", Bytes(25, 25)), sf::kStatusCannotMake);
  EXPECT_EQ(Write(Namespace(), "\\dev\\campset\\other.bin", Bytes(5, 5)), sf::kStatusCannotMake);
  EXPECT_FALSE(std::filesystem::exists(camera_->PresetFile(7)));
  EXPECT_EQ(Write(Namespace(), "\\dev\\campset\\Preset01.pst", Bytes(300, 1)), sf::kStatusInvalidParameter);
  uint8_t frame[sf::kDeleteFileLength];
  ASSERT_TRUE(sf::BuildDeleteFile(frame, Namespace(), "\\dev\\campset\\Preset01.pst"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusReadOnly);
  EXPECT_TRUE(std::filesystem::exists(camera_->PresetFile(1)));
}

TEST_F(StorageTest, WriteListReadDeleteOnMedium) {
  const Bytes data(5000, 0x5A);
  std::string stored;
  ASSERT_EQ(Write(Media(), "DCIM\\100kv7\\new.jpg", data, &stored), 0);
  EXPECT_EQ(stored, "\\DCIM\\100KV7\\NEW.JPG");
  EXPECT_EQ(ReadAll(Volume() / "DCIM" / "100KV7" / "NEW.JPG"), data);
  Bytes back;
  ASSERT_EQ(Read(Media(), stored, back), 0);
  EXPECT_EQ(back, data);
  uint8_t frame[sf::kDeleteFileLength];
  ASSERT_TRUE(sf::BuildDeleteFile(frame, Media(), kImage));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], 0);
  EXPECT_FALSE(std::filesystem::exists(Volume() / "DCIM" / "100KV7" / "IMG_0001.JPG"));
  EXPECT_FALSE(std::filesystem::exists(Volume() / "DCIM" / "100KV7" / "IMG_0001.THM"));  // with its thumbnail
  EXPECT_TRUE(std::filesystem::exists(Volume() / "DCIM" / "100KV7" / "IMG_0002.THM"));
  ASSERT_TRUE(sf::BuildDeleteFile(frame, Media(), "\\DCIM"));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusFolderNotEmpty);
  EXPECT_EQ(Write(Media(), "\\NOFOLDER\\A.TXT", data), sf::kStatusNotFound);
  EXPECT_EQ(Write(Media(), "\\DCIM\\TOOLONGNAME.TXT", data), sf::kStatusInvalidParameter);
  EXPECT_EQ(Write(Media(), "\\DCIM", data), sf::kStatusExists);
}

TEST_F(StorageTest, ProtectedOrFullMediumRefusesWrites) {
  camera_->Modify([](State& s) { s.media[0].flags = 0x01; });
  EXPECT_EQ(Write(Media(), "\\A.TXT", Bytes(10, 1)), sf::kStatusReadOnly);
  uint8_t frame[sf::kDeleteFileLength];
  ASSERT_TRUE(sf::BuildDeleteFile(frame, Media(), kImage));
  ASSERT_EQ(Send(frame, sizeof frame), 0);
  EXPECT_EQ(frame[1], sf::kStatusReadOnly);
  camera_->Modify([](State& s) { s.media[0].flags = 0; s.media[0].totalBytes = 130000; });
  EXPECT_EQ(Write(Media(), "\\A.TXT", Bytes(10000, 1)), sf::kStatusDiskFull);
  EXPECT_FALSE(std::filesystem::exists(Volume() / "A.TXT"));
  ::chmod((Volume() / "INFO.TXT").c_str(), 0444);
  camera_->Modify([](State& s) { s.media[0].totalBytes = 1u << 30; });
  EXPECT_EQ(Write(Media(), "\\INFO.TXT", Bytes(10, 1)), sf::kStatusReadOnly);
}

TEST_F(StorageTest, ReadThumbnailDeliversTheThmBeside) {
  uint8_t frame[sf::kReadThumbnailLength];
  Bytes area(sf::kTransferAreaSize, 0);
  ASSERT_TRUE(sf::BuildReadThumbnail(frame, Media(), kImage, area.data()));
  ASSERT_EQ(Send(frame, sizeof frame, area.data(), static_cast<uint32_t>(area.size())), 0);
  ASSERT_EQ(frame[1], 0);
  const Bytes thm = ReadAll(Volume() / "DCIM" / "100KV7" / "IMG_0001.THM");
  ASSERT_EQ(sf::GetBe32(frame + sf::read_file::kThumbnailLength), thm.size());
  EXPECT_EQ(Bytes(area.begin(), area.begin() + static_cast<long>(thm.size())), thm);
  ASSERT_TRUE(sf::BuildReadThumbnail(frame, Media(), "\\INFO.TXT", area.data()));
  ASSERT_EQ(Send(frame, sizeof frame, area.data(), static_cast<uint32_t>(area.size())), 0);
  EXPECT_EQ(frame[1], sf::kStatusNotFound);
}

TEST_F(StorageTest, MediumIdentityMustMatch) {
  Bytes data;
  EXPECT_EQ(Read(sf::Address{0, 0, static_cast<uint8_t>(identity_ + 1)}, kImage, data), sf::kStatusMediaChanged);
  EXPECT_EQ(Read(sf::Address{0, 5, identity_}, kImage, data), sf::kStatusInvalidParameter);
  EXPECT_EQ(Read(sf::Address{3, 0, identity_}, kImage, data), sf::kStatusInvalidParameter);
  EXPECT_EQ(Read(sf::Address{0, 0xFF, identity_}, kImage, data), 0);  // no volume: the first
}

// Paths that try to leave the camera: refused, and nothing outside changes.
TEST_F(StorageTest, TraversalAttemptsAreRefused) {
  const auto outside = root_ / "outside.txt";
  WriteAll(outside, {'k', 'e', 'e', 'p'});
  std::filesystem::create_symlink(root_, Volume() / "LINK");
  std::filesystem::create_symlink(outside, Volume() / "EVIL.TXT");
  const std::string attempts[] = {
      "\\..\\..\\..\\outside.txt", "..\\outside.txt", "\\DCIM\\..\\..\\..\\..\\outside.txt",
      "/etc/passwd", "\\dev/../../outside.txt", "C:\\outside.txt", "\\\\server\\share\\x.txt",
      "\\DCIM\\.", "\\LINK\\outside.txt", "\\EVIL.TXT", "\\DCIM\\*.JPG", "\\.vcam-write-1",
  };
  for (const std::string& path : attempts) {
    Bytes data;
    EXPECT_NE(Read(Media(), path, data), 0) << path;
    EXPECT_NE(Write(Media(), path, Bytes(3, 'x')), 0) << path;
    uint8_t frame[sf::kDeleteFileLength];
    ASSERT_TRUE(sf::BuildDeleteFile(frame, Media(), path));
    ASSERT_EQ(Send(frame, sizeof frame), 0);
    EXPECT_NE(frame[1], 0) << path;
    EXPECT_NE(Read(Namespace(), path, data), 0) << path;
    EXPECT_NE(Write(Namespace(), path, Bytes(3, 'x')), 0) << path;
  }
  EXPECT_EQ(ReadAll(outside), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_TRUE(std::filesystem::is_symlink(Volume() / "EVIL.TXT"));
  EXPECT_TRUE(std::filesystem::exists(root_ / "cam" / "identity"));
  EXPECT_TRUE(std::filesystem::exists(camera_->PresetFile(1)));
}

TEST_F(StorageTest, UnterminatedAndOverlongPathsAreRefused) {
  uint8_t frame[sf::kReadFileLength];
  uint8_t area[64] = {};
  ASSERT_TRUE(sf::BuildReadFile(frame, Namespace(), "\\dev\\campset\\Preset01.pst", 64, 64, area));
  std::memset(frame + 6, 'A', 255);  // no terminator inside the path field
  ASSERT_EQ(Send(frame, sizeof frame, area, sizeof area), 0);
  EXPECT_EQ(frame[1], sf::kStatusInvalidParameter);
  uint8_t list[sf::kListDirectoryLength];
  ASSERT_TRUE(sf::BuildListDirectory(list, Namespace(), 0, "\\dev"));
  std::memset(list + 12, 'B', 480);  // terminator only beyond a path field's 255 bytes
  list[491] = 0;
  ASSERT_EQ(Send(list, sizeof list), 0);
  EXPECT_EQ(list[1], sf::kStatusInvalidParameter);
}

TEST_F(StorageTest, MalformedFramesGetAFailureAnswer) {
  uint8_t frame[sf::kMaxFrameLength] = {};
  frame[0] = 0x09;
  EXPECT_EQ(Send(frame, 275), 0);  // ReadFile one byte short
  EXPECT_EQ(frame[1], sf::kStatusInvalidParameter);
  std::memset(frame, 0, sizeof frame);
  frame[0] = 0x05;  // an opcode nobody sends
  EXPECT_EQ(Send(frame, 258), 0);
  EXPECT_EQ(frame[1], sf::kStatusInvalidParameter);
  frame[0] = 0x01;
  EXPECT_EQ(Send(frame, 1), kErrorInvalidParameter);
  EXPECT_EQ(Send(frame, sf::kMaxFrameLength + 1), kErrorInvalidParameter);
  EXPECT_EQ(Send(nullptr, 2), kErrorInvalidParameter);
}

TEST_F(StorageTest, UnpluggedDriverFailsTheExchange) {
  camera_->SetPlugged(false);
  uint8_t frame[2] = {0x01, 0x00};
  EXPECT_EQ(Send(frame, 2), kDeviceRemoved);
  EXPECT_EQ(frame[1], 0x00);
}

// Long transfers in chunks: each chunk waits for a control frame sent on
// another handle from another thread.
class ChunkTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    camera_->Modify([](State& s) {
      s.chunkSize = 8192;
      s.chunkWait = 1;
      s.chunkWaitMs = 5000;
    });
  }
  // Sends control frames from a second handle until `done`.
  std::thread Controller(bool read, bool abort, std::atomic<bool>& done, std::atomic<int>& sent) {
    return std::thread([this, read, abort, &done, &sent] {
      auto other = Camera::Open(camera_->dir());
      while (!done) {
        uint8_t frame[sf::kWriteTransferControlLength];
        ASSERT_TRUE(sf::BuildTransferControl(frame, read, abort));
        ASSERT_EQ(other->StorageExchange(frame, read ? 276 : 280, nullptr, 0), 0);
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    });
  }
};

TEST_F(ChunkTest, ReadContinuesChunkByChunk) {
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::thread controller = Controller(true, false, done, sent);
  Bytes data;
  const uint8_t status = Read(Media(), kImage, data);
  done = true;
  controller.join();
  EXPECT_EQ(status, 0);
  ASSERT_EQ(data.size(), 0x8000u);
  const Bytes file = ReadAll(Volume() / "DCIM" / "100KV7" / "IMG_0001.JPG");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin()));
  EXPECT_GE(sent.load(), 3);  // four chunks: three waits
}

TEST_F(ChunkTest, ReadAbortStopsAfterAChunk) {
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::thread controller = Controller(true, true, done, sent);
  Bytes data;
  const uint8_t status = Read(Media(), kImage, data);
  done = true;
  controller.join();
  EXPECT_EQ(status, sf::kStatusAborted);
  EXPECT_EQ(data.size(), 8192u);
}

TEST_F(ChunkTest, WriteContinuesAndAbortLeavesNoFile) {
  const Bytes data(20000, 0x33);
  {
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread controller = Controller(false, true, done, sent);
    EXPECT_EQ(Write(Media(), "\\ABORTED.BIN", data), sf::kStatusAborted);
    done = true;
    controller.join();
    EXPECT_FALSE(std::filesystem::exists(Volume() / "ABORTED.BIN"));
  }
  {
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread controller = Controller(false, false, done, sent);
    EXPECT_EQ(Write(Media(), "\\DONE.BIN", data), 0);
    done = true;
    controller.join();
    EXPECT_EQ(ReadAll(Volume() / "DONE.BIN"), data);
  }
  // No temporary file is left beside them.
  for (const auto& e : std::filesystem::directory_iterator(Volume())) {
    EXPECT_NE(e.path().filename().string().rfind(".vcam", 0), 0u) << e.path();
  }
}

TEST_F(ChunkTest, NoControlFrameAbandonsTheTransfer) {
  camera_->Modify([](State& s) { s.chunkWaitMs = 50; });
  Bytes data;
  EXPECT_EQ(Read(Media(), kImage, data), sf::kStatusAborted);
  EXPECT_EQ(data.size(), 8192u);
}

}  // namespace
}  // namespace vcam::testing
