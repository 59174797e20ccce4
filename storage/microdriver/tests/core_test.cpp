// The item tree, lifetimes and transfers of the core against the in-memory
// driver: tree shapes, malformed answers, the live-item set and the frames
// that transfers send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/microdriver/core.h"
#include "storage/microdriver/formats.h"
#include "storage/microdriver/testing/memory_driver.h"

namespace torwen::testing {
namespace {

constexpr uint8_t kFolder = sf::kAttributeFolder;

std::string Narrow(const OLECHAR* text) {
  std::string s;
  for (; text != nullptr && *text != 0; ++text) s.push_back(static_cast<char>(*text));
  return s;
}

// "name|path|medium|volume|flags|protected" of every item, in list order.
std::vector<std::string> Describe(const MicroDrvItem* first) {
  std::vector<std::string> out;
  for (const MicroDrvItem* i = first; i != nullptr; i = i->next) {
    char line[400];
    std::snprintf(line, sizeof line, "%s|%s|%u|%u|%x|%u", Narrow(i->name).c_str(), i->pathBlock->path, i->medium,
                  i->volume, i->flags, i->isProtected);
    out.emplace_back(line);
  }
  return out;
}

const MicroDrvItem* FindPath(const MicroDrvItem* first, const std::string& path, uint8_t medium = 0) {
  for (const MicroDrvItem* i = first; i != nullptr; i = i->next)
    if (path == i->pathBlock->path && i->medium == medium && (i->flags & (kMicroDrvFile | kMicroDrvFolder))) return i;
  return nullptr;
}

size_t CountItems(const MicroDrvItem* first) {
  size_t n = 0;
  for (; first != nullptr; first = first->next) ++n;
  return n;
}

// Opened, or the test stops.
class Context : public OpenedContext {
 public:
  explicit Context(MemoryCamera& camera) : OpenedContext(camera) { EXPECT_EQ(opened(), S_OK); }
};

void FillSample(MemoryVolume& v, const std::string& tag) {
  v.Add("\\", "DCIM", "", kFolder, 0);
  v.Add("\\", "INFO" + tag, "TXT", 0, 34);
  v.Add("\\DCIM", "IMG_0001", "JPG", 0, 41000).thumbnail.assign(400, 0x5A);
  v.Add("\\DCIM", "IMG_0001", "THM", 0, 1500);
  v.Add("\\DCIM", "README", "", sf::kAttributeReadOnly, 10);
  v.Add("\\DCIM", "MOV_0001", "AVI", 0, 900000);
}

// --- tree shapes ----------------------------------------------------------------

struct ShapeCase {
  const char* name;
  std::function<void(MemoryCamera&)> setUp;
  std::vector<std::string> expected;
};

class TreeShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(TreeShape, ItemsInOrder) {
  MemoryCamera camera;
  GetParam().setUp(camera);
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(Describe(root), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TreeShape,
    ::testing::Values(
        ShapeCase{"one_medium_one_volume",
                  [](MemoryCamera& c) { FillSample(c.media[0].volumes[0], ""); },
                  {"|\\|0|0|8|0", "DCIM|\\DCIM|0|0|4|0", "INFO|\\INFO.TXT|0|0|2|0",
                   "IMG_0001|\\DCIM\\IMG_0001.JPG|0|0|3|0", "README|\\DCIM\\README|0|0|2|1",
                   "MOV_0001|\\DCIM\\MOV_0001.AVI|0|0|10002|0"}},
        ShapeCase{"two_media",
                  [](MemoryCamera& c) {
                    c.media.resize(2);
                    c.media[1].flags = 0x01;
                    c.media[0].volumes[0].Add("\\", "A", "TXT", 0, 1);
                    c.media[1].volumes[0].Add("\\", "B", "TXT", 0, 2);
                  },
                  {"|\\|0|255|8|1", "Media:1|\\|0|0|20000|0", "Media:2|\\|1|0|20000|1", "A|\\A.TXT|0|0|2|0",
                   "B|\\B.TXT|1|0|2|1"}},
        ShapeCase{"one_medium_two_volumes",
                  [](MemoryCamera& c) {
                    c.media[0].volumes.resize(2);
                    c.media[0].volumes[0].Add("\\", "A", "TXT", 0, 1);
                    c.media[0].volumes[1].Add("\\", "B", "JPG", 0, 2);
                  },
                  {"|\\|0|0|8|0", "Volume:1|\\|0|0|20000|0", "Volume:2|\\|0|1|20000|0", "A|\\A.TXT|0|0|2|0",
                   "B|\\B.JPG|0|1|3|0"}},
        ShapeCase{"volumes_of_a_protected_medium",  // created writable; the medium's protection is the root's
                  [](MemoryCamera& c) {
                    c.media[0].flags = 0x01;
                    c.media[0].volumes.resize(2);
                    c.media[0].volumes[1].Add("\\", "B", "JPG", 0, 2);
                  },
                  {"|\\|0|0|8|1", "Volume:1|\\|0|0|20000|0", "Volume:2|\\|0|1|20000|0", "B|\\B.JPG|0|1|3|0"}},
        ShapeCase{"empty_slot_hides_nothing",
                  [](MemoryCamera& c) {
                    c.media.resize(2);
                    c.media[0].volumes.clear();
                    c.media[1].volumes[0].Add("\\", "B", "TXT", 0, 2);
                  },
                  {"|\\|0|255|8|1", "Media:2|\\|1|0|20000|0", "B|\\B.TXT|1|0|2|0"}},
        ShapeCase{"folder_with_extension",
                  [](MemoryCamera& c) {
                    c.media[0].volumes[0].Add("\\", "DIR", "EXT", kFolder, 0);
                    c.media[0].volumes[0].Add("\\DIR.EXT", "IN", "GIF", 0, 5);
                  },
                  {"|\\|0|0|8|0", "DIR|\\DIR.EXT|0|0|4|0", "IN|\\DIR.EXT\\IN.GIF|0|0|3|0"}}),
    [](const ::testing::TestParamInfo<ShapeCase>& row) { return std::string(row.param.name); });

TEST(Tree, FieldsOfAnImage) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  const MicroDrvItem* image = FindPath(root, "\\DCIM\\IMG_0001.JPG");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->format, &kFormatJpeg);
  EXPECT_EQ(image->thumbnailFormat, &kFormatJpeg);
  EXPECT_EQ(image->size, 41000u);
  EXPECT_EQ(Narrow(image->extension), "JPG");
  EXPECT_EQ(image->captureTime.year, 2004);
  EXPECT_EQ(image->captureTime.second, 6);
  const MicroDrvItem* folder = image->parent;
  EXPECT_EQ(folder->pathBlock->childCount, 4u);  // the thumbnail counts as an entry
  EXPECT_EQ(folder->pathBlock->imageCount, 1u);
  EXPECT_EQ(context.get()->imageCount, 1);
  EXPECT_EQ(context.get()->fileCount, 4u);
  EXPECT_EQ(context.get()->entryTotal, 6u);
  EXPECT_EQ(FindPath(root, "\\DCIM\\README")->format, &kFormatUndefined);
}

TEST(Tree, FiftyEntriesArePagedAt0_24_48) {
  MemoryCamera camera;
  for (int i = 0; i < 50; ++i) camera.media[0].volumes[0].Add("\\", "F" + std::to_string(i), "TXT", 0, 1);
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  std::vector<uint16_t> starts;
  for (const SentFrame& f : camera.sent)
    if (f.bytes[0] == 0x04) starts.push_back(sf::GetBe16(f.bytes.data() + 7));
  EXPECT_EQ(starts, (std::vector<uint16_t>{0, 24, 48}));
  EXPECT_EQ(CountItems(root), 51u);
}

TEST(Tree, SecondCallDoesNotDoubleTheFigures) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  Context context(camera);
  MicroDrvItem* first = nullptr;
  MicroDrvItem* second = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &first), S_OK);
  const MicroDrvContext once = *context.get();
  ASSERT_EQ(GetDeviceInfo(context.get(), &second), S_OK);
  EXPECT_EQ(context.get()->fileCount, once.fileCount);
  EXPECT_EQ(context.get()->imageCount, once.imageCount);
  EXPECT_EQ(context.get()->entryTotal, once.entryTotal);
  EXPECT_EQ(context.get()->storageTotal, once.storageTotal);
  // Freeing the first tree's items leaves the second tree's figures alone.
  for (MicroDrvItem* i = first; i != second;) {
    MicroDrvItem* next = i->next;
    ASSERT_EQ(FreeItem(context.get(), i), S_OK);
    i = next;
  }
  EXPECT_EQ(context.get()->fileCount, once.fileCount);
}

TEST(Tree, ImageCountSaturates) {
  MemoryCamera camera;
  MemoryVolume& v = camera.media[0].volumes[0];
  for (int f = 0; f < 3; ++f) {
    const std::string folder = "\\F" + std::to_string(f);
    v.Add("\\", "F" + std::to_string(f), "", kFolder, 0);
    for (int i = 0; i < 22000; ++i) v.Add(folder, "I" + std::to_string(i), "JPG", 0, 1);
  }
  camera.logFrames = false;
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(context.get()->fileCount, 66000u);
  EXPECT_EQ(context.get()->imageCount, 0xFFFF);
}

// --- malformed answers ---------------------------------------------------------

struct AnswerCase {
  const char* name;
  std::vector<Scripted> script;
  HRESULT result;
  size_t items;          // in the list after the call
  size_t listDirectory;  // ListDirectory frames sent
  uint32_t incomplete;   // folders reported as not listed completely
};

// A ListDirectory answer holding these records (name, extension) and flags.
Scripted Page(std::vector<std::pair<std::string, std::string>> records, int count, uint8_t end) {
  return {0, 0, [records, count, end](uint8_t* frame) {
            std::memset(frame + 12, 0, 480);
            for (size_t i = 0; i < records.size(); ++i) {
              sf::DirectoryEntry e;
              std::memcpy(e.name, records[i].first.data(), std::min<size_t>(records[i].first.size(), 8));
              std::memcpy(e.extension, records[i].second.data(), std::min<size_t>(records[i].second.size(), 3));
              e.time = sf::DosDateTime{2010, 5, 6, 7, 8, 10};
              sf::EncodeDirectoryEntry(e, frame + 12 + i * 20);
            }
            frame[9] = static_cast<uint8_t>(count);
            frame[11] = end;
          },
          0x04};
}

std::vector<std::pair<std::string, std::string>> TwentyFour() {
  std::vector<std::pair<std::string, std::string>> records;
  for (int i = 0; i < 24; ++i) records.emplace_back("R" + std::to_string(i), "TXT");
  return records;
}

Scripted Count(uint16_t n) {
  return {0, 0, [n](uint8_t* frame) { sf::PutBe16(frame + 7, n); }, 0x06};
}

class MalformedAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(MalformedAnswers, ListingEnds) {
  const AnswerCase& c = GetParam();
  MemoryCamera camera;
  camera.media[0].volumes[0].Add("\\", "OK", "TXT", 0, 1);
  Context context(camera);
  for (const Scripted& s : c.script) camera.script.push_back(s);
  MicroDrvItem* root = nullptr;
  EXPECT_EQ(static_cast<uint32_t>(GetDeviceInfo(context.get(), &root)), static_cast<uint32_t>(c.result));
  EXPECT_EQ(CountItems(root), c.items);
  EXPECT_EQ(camera.CountSent(0x04), c.listDirectory);
  EXPECT_EQ(LiveItemCount(context.get()), c.items);
  EXPECT_EQ(context.get()->incompleteFolders, c.incomplete);
  EXPECT_EQ(camera.logLines.size(), c.incomplete != 0 && SUCCEEDED(c.result) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MalformedAnswers,
    ::testing::Values(
        AnswerCase{"normal", {}, S_OK, 2, 1, 0},
        AnswerCase{"empty_page_without_end", {Count(30), Page({}, 0, 0)}, S_OK, 1, 1, 1},
        AnswerCase{"dot_names", {Count(4), Page({{"", ""}, {".", ""}, {"..", ""}, {"A", "B"}}, 4, 1)}, S_OK, 2, 1, 1},
        AnswerCase{"name_with_separator", {Count(2), Page({{"A\\..", ""}, {"B:", ""}}, 2, 1)}, S_OK, 1, 1, 1},
        AnswerCase{"count_above_24", {Count(24), Page(TwentyFour(), 200, 1)}, S_OK, 25, 1, 1},
        AnswerCase{"count_of_zero_ends_item", {Count(0)}, S_OK, 1, 0, 0},
        AnswerCase{"folder_failure", {{0, 0xA1, nullptr, 0x06}}, S_OK, 1, 0, 1},
        AnswerCase{"page_failure", {Count(3), {0, 0xA2, nullptr, 0x04}}, S_OK, 1, 1, 1},
        AnswerCase{"transport_failure", {Count(3), {1617, -1, nullptr, 0x04}}, E_FAIL, 1, 1, 0}),
    [](const ::testing::TestParamInfo<AnswerCase>& row) { return std::string(row.param.name); });

TEST(Tree, OneFolderFailingLeavesTheOthersListed) {
  MemoryCamera camera;
  MemoryVolume& v = camera.media[0].volumes[0];
  v.Add("\\", "A", "", kFolder, 0);
  v.Add("\\", "B", "", kFolder, 0);
  v.Add("\\A", "X", "TXT", 0, 1);
  v.Add("\\B", "Y", "TXT", 0, 1);
  Context context(camera);
  camera.script.push_back({0, -1, nullptr, 0x06});  // the root
  camera.script.push_back({0, -1, nullptr, 0x04});
  camera.script.push_back({0, 0xA1, nullptr, 0x06});  // folder A
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);  // a success, as callers that test for 0 expect
  EXPECT_EQ(FindPath(root, "\\A\\X.TXT"), nullptr);
  EXPECT_NE(FindPath(root, "\\B\\Y.TXT"), nullptr);
  EXPECT_EQ(context.get()->incompleteFolders, 1u);
  EXPECT_EQ(camera.logLines, std::vector<std::string>{"1 folder was not listed completely"});
}

// Folders beyond the 16-bit entry count: listed to the end flag as far as a
// page's start index reaches; beyond that the listing says it is incomplete.
struct LargeFolderCase {
  uint32_t entries;
  size_t listed;
  uint32_t incomplete;
};

class LargeFolders : public ::testing::TestWithParam<LargeFolderCase> {};

TEST_P(LargeFolders, ListedOrReported) {
  const LargeFolderCase& c = GetParam();
  MemoryCamera camera;
  camera.logFrames = false;
  auto& list = camera.media[0].volumes[0].folders["\\"];
  list.resize(c.entries);
  for (uint32_t i = 0; i < c.entries; ++i) {
    std::snprintf(list[i].entry.name, sizeof list[i].entry.name, "F%07u", i % 10000000u);
    std::memcpy(list[i].entry.extension, "TXT", 3);
  }
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(CountItems(root) - 1, c.listed);
  EXPECT_EQ(context.get()->incompleteFolders, c.incomplete);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeFolders,
                         ::testing::Values(LargeFolderCase{65535, 65535, 0}, LargeFolderCase{65544, 65544, 0},
                                           LargeFolderCase{65545, 65544, 1}, LargeFolderCase{70000, 65544, 1}));

TEST(Tree, DeepPathsStopAtTheField) {
  MemoryCamera camera;
  MemoryVolume& v = camera.media[0].volumes[0];
  std::string folder = "\\";
  for (int depth = 0; depth < 40; ++depth) {
    v.Add(folder, "DEEPNAME", "", kFolder, 0);
    folder = MemoryVolume::Join(folder, "DEEPNAME", "");
  }
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(context.get()->incompleteFolders, 1u);
  size_t longest = 0;
  for (const MicroDrvItem* i = root; i != nullptr; i = i->next) {
    const size_t n = strnlen(i->pathBlock->path, 256);
    ASSERT_LT(n, 256u);
    longest = std::max(longest, n);
  }
  EXPECT_EQ(longest, 252u);  // 28 levels of "\DEEPNAME"
}

TEST(Tree, SizesAndDates) {
  MemoryCamera camera;
  camera.media[0].total = 0xFFFFFFFFu;
  MemoryVolume& v = camera.media[0].volumes[0];
  v.Add("\\", "BIG", "AVI", 0, 0xF0000000u);
  MemoryFile& odd = v.Add("\\", "ODD", "TXT", 0, 1);
  odd.entry.time.month = 13;
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  EXPECT_EQ(FindPath(root, "\\BIG.AVI")->size, 0xF0000000u);
  EXPECT_EQ(context.get()->storageTotal, int64_t{0xFFFFFFFFu});
  const MicroDrvTime& t = FindPath(root, "\\ODD.TXT")->captureTime;
  EXPECT_EQ(t.year + t.month + t.day + t.hour + t.minute + t.second, 0);
  const sf::DosDateTime d = sf::DecodeDosDateTime(0x3021, 0);
  EXPECT_EQ(d.year, 2004);
  EXPECT_EQ(d.month, 1);
  EXPECT_EQ(d.day, 1);
}

TEST(Tree, NoMediaIsNoMedium) {
  MemoryCamera camera;
  camera.media.clear();
  Context context(camera);
  MicroDrvItem* root = nullptr;
  EXPECT_EQ(GetDeviceInfo(context.get(), &root), static_cast<HRESULT>(0x800710D4));
  EXPECT_NE(root, nullptr);
}

// --- lifetimes and arguments --------------------------------------------------

TEST(Lifetime, LiveItemSetRefusesUnknownItems) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  Context context(camera);
  Context other(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* folder = const_cast<MicroDrvItem*>(FindPath(root, "\\DCIM"));
  MicroDrvItem* image = const_cast<MicroDrvItem*>(FindPath(root, "\\DCIM\\IMG_0001.JPG"));
  MicroDrvItem stranger{};
  EXPECT_EQ(FreeItem(context.get(), &stranger), E_INVALIDARG);
  EXPECT_EQ(FreeItem(other.get(), image), E_INVALIDARG);
  EXPECT_EQ(FreeItem(context.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(FreeItem(nullptr, image), E_INVALIDARG);
  ASSERT_EQ(FreeItem(context.get(), folder), S_OK);
  EXPECT_EQ(FreeItem(context.get(), folder), E_INVALIDARG);  // freed already
  EXPECT_EQ(image->parent, nullptr);                          // not left pointing at freed memory
  EXPECT_EQ(DeleteItem(context.get(), image), S_OK);
  EXPECT_EQ(GetThumbnail(context.get(), folder), E_INVALIDARG);
  EXPECT_EQ(LiveItemCount(context.get()), 5u);
  // The rest is freed at the end of the scope.
}

TEST(Lifetime, ItemsOutliveTheContext) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  MicroDrvContext* context = nullptr;
  ASSERT_EQ(CreateContext(camera.MakeEnvironment(), &context), S_OK);
  ASSERT_EQ(Open(context, COM_TEXT("0001")), S_OK);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context, &root), S_OK);
  std::vector<MicroDrvItem*> items;
  for (MicroDrvItem* i = root; i != nullptr; i = i->next) items.push_back(i);
  MicroDrvContext* const stale = context;
  const size_t before = OrphanedItemCount();
  ASSERT_EQ(DestroyContext(&context), S_OK);
  EXPECT_EQ(OrphanedItemCount(), before + items.size());
  // Still readable (AddressSanitizer watches), and freed one by one.
  EXPECT_STREQ(items.back()->pathBlock->path, "\\DCIM\\MOV_0001.AVI");
  EXPECT_EQ(FreeItem(nullptr, items[1]), E_INVALIDARG);
  for (size_t i = items.size(); i-- > 1;) {
    ASSERT_EQ(FreeItem(stale, items[i]), S_OK) << i;
    EXPECT_EQ(items[i - 1]->next, nullptr);
  }
  EXPECT_EQ(FreeItem(stale, items[1]), E_INVALIDARG);  // freed already
  EXPECT_EQ(OrphanedItemCount(), before + 1);
  ASSERT_EQ(FreeItem(stale, items[0]), S_OK);
  EXPECT_EQ(OrphanedItemCount(), before);
}

TEST(Lifetime, ArgumentsAndUnopenedContexts) {
  MemoryCamera camera;
  MicroDrvContext* context = nullptr;
  ASSERT_EQ(CreateContext(camera.MakeEnvironment(), &context), S_OK);
  MicroDrvItem* root = nullptr;
  EXPECT_EQ(GetDeviceInfo(context, &root), kResultInvalidHandle);
  EXPECT_EQ(GetStatus(context, true), kResultInvalidHandle);
  EXPECT_EQ(TransferControl(context, 21, false), kResultInvalidHandle);
  MicroDrvPutRequest request{};
  uint8_t frame[kMicroDrvPutFrameSize];
  EXPECT_EQ(PutItemData(context, &request, frame), E_INVALIDARG);  // no media table yet
  EXPECT_EQ(Close(context), S_OK);
  EXPECT_EQ(Close(context), S_OK);
  EXPECT_EQ(Open(context, nullptr), E_INVALIDARG);
  EXPECT_EQ(CreateContext(Environment{}, nullptr), E_INVALIDARG);
  MicroDrvContext fake{};
  EXPECT_EQ(Open(&fake, COM_TEXT("0001")), E_INVALIDARG);
  EXPECT_EQ(GetDeviceInfo(nullptr, &root), E_INVALIDARG);
  EXPECT_EQ(GetStatus(nullptr, false), E_INVALIDARG);
  EXPECT_EQ(TransferControl(nullptr, 21, true), E_INVALIDARG);
  EXPECT_EQ(PutItemData(nullptr, &request, frame), E_INVALIDARG);
  EXPECT_EQ(GetItemData(nullptr, nullptr, nullptr, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(DeleteItem(context, nullptr), E_INVALIDARG);
  MicroDrvContext* none = nullptr;
  EXPECT_EQ(DestroyContext(&none), S_OK);
  EXPECT_EQ(DestroyContext(nullptr), S_OK);
  EXPECT_EQ(DestroyContext(&context), S_OK);
  EXPECT_EQ(context, nullptr);
}

TEST(Lifetime, OpenTwiceAndFailedOpens) {
  MemoryCamera camera;
  MicroDrvContext* context = nullptr;
  ASSERT_EQ(CreateContext(camera.MakeEnvironment(), &context), S_OK);
  ASSERT_EQ(Open(context, COM_TEXT("0001")), S_OK);
  EXPECT_EQ(context->mode, 1);
  void* main = context->mainHandle;
  EXPECT_EQ(Open(context, COM_TEXT("0001")), E_FAIL);
  EXPECT_EQ(context->mainHandle, main);
  EXPECT_EQ(camera.openCount, 2);
  ASSERT_EQ(Close(context), S_OK);
  EXPECT_EQ(camera.closeCount, 2);
  EXPECT_EQ(context->mainHandle, nullptr);

  // QueryMode fails: both handles closed, none left in the context.
  camera.script.push_back({1617, -1, nullptr, 0x01});
  EXPECT_EQ(Open(context, COM_TEXT("0001")), static_cast<HRESULT>(0x80070651));
  EXPECT_EQ(camera.closeCount, 4);
  EXPECT_EQ(context->mainHandle, nullptr);
  EXPECT_EQ(context->auxiliaryHandle, nullptr);
  camera.openError = 2;
  EXPECT_EQ(Open(context, COM_TEXT("0001")), static_cast<HRESULT>(0x80070002));
  camera.openError = 0;
  camera.mode = 0x20;
  ASSERT_EQ(Open(context, COM_TEXT("0001")), S_OK);
  EXPECT_EQ(context->mode, 2);
  EXPECT_EQ(DestroyContext(&context), S_OK);  // closes the open handles
  EXPECT_EQ(camera.closeCount, 6);
}

// --- transfers ------------------------------------------------------------------

struct PutCase {
  const char* name;
  std::string path;
  uint8_t secondFlag;
  HRESULT result;
  uint8_t medium;
  uint8_t volume;
  std::string sent;
  uint8_t lengthByte;
};

class PutPaths : public ::testing::TestWithParam<PutCase> {};

TEST_P(PutPaths, FrameSent) {
  const PutCase& c = GetParam();
  MemoryCamera camera;
  camera.media.resize(2);
  camera.media[0].volumes.resize(2);
  camera.media[1].identity = 7;
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  const uint8_t data[3] = {1, 2, 3};
  MicroDrvPutRequest request{};
  request.firstLength = 3;
  request.secondLength = 3;
  request.firstFlag = 1;
  request.secondFlag = c.secondFlag;
  request.data = data;
  std::memcpy(request.path, c.path.data(), c.path.size());
  uint8_t frame[kMicroDrvPutFrameSize];
  const size_t before = camera.CountSent(0x0A);
  ASSERT_EQ(PutItemData(context.get(), &request, frame), c.result);
  if (c.result != S_OK) {
    EXPECT_EQ(camera.CountSent(0x0A), before);
    return;
  }
  const std::vector<uint8_t>& sent = camera.sent.back().bytes;
  EXPECT_EQ(sent[2], c.medium);
  EXPECT_EQ(sent[3], c.volume);
  EXPECT_EQ(sent[4], c.medium == 1 ? 7 : c.medium == 0 ? 1 : 0);
  EXPECT_EQ(sent[5], c.lengthByte);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sent.data() + 6)), c.sent);
  EXPECT_EQ(sf::GetBe32(sent.data() + 261), 3u);
  EXPECT_EQ(sent[269], 1);
  EXPECT_EQ(sent[270], c.secondFlag);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PutPaths,
    ::testing::Values(
        PutCase{"second_medium", "\\Media:2\\DCIM\\IMG_0002.JPG", 1, S_OK, 1, 0, "\\DCIM\\IMG_0002.JPG", 18},
        PutCase{"medium_and_volume", "\\Media:1\\Volume:2\\A.TXT", 0, S_OK, 0, 1, "A.TXT", 6},
        PutCase{"device_namespace", "\\Media:0\\dev\\x", 0, S_OK, 0xFF, 0, "\\Media:0\\dev\\x", 14},
        PutCase{"no_prefix", "\\B.TXT", 1, S_OK, 0, 0, "\\B.TXT", 6},
        PutCase{"medium_out_of_range", "\\Media:9\\A.TXT", 1, E_INVALIDARG, 0, 0, "", 0},
        PutCase{"volume_out_of_range", "\\Media:2\\Volume:2\\A.TXT", 1, E_INVALIDARG, 0, 0, "", 0},
        PutCase{"bad_number", "\\Media:x\\A.TXT", 1, E_INVALIDARG, 0, 0, "", 0}),
    [](const ::testing::TestParamInfo<PutCase>& row) { return std::string(row.param.name); });

TEST(Transfers, PutCopiesTheStoredPathWithinItsField) {
  MemoryCamera camera;
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  camera.script.push_back({0, 0, [](uint8_t* frame) { std::memset(frame + 6, 'Q', 274); }, 0x0A});
  MicroDrvPutRequest request{};
  std::strcpy(request.path, "\\A.TXT");
  std::memset(request.reserved, 0x77, sizeof request.reserved);
  uint8_t frame[kMicroDrvPutFrameSize];
  ASSERT_EQ(PutItemData(context.get(), &request, frame), S_OK);
  EXPECT_EQ(strnlen(request.path, sizeof request.path), 254u);
  EXPECT_EQ(request.reserved[0], 0x77);  // nothing written beyond the path field

  std::memset(request.path, 'P', sizeof request.path);  // unterminated
  EXPECT_EQ(PutItemData(context.get(), &request, frame), E_INVALIDARG);
}

TEST(Transfers, ItemDataCountsAndBusyTransport) {
  MemoryCamera camera;
  camera.media[0].volumes[0].Add("\\", "DATA", "BIN", 0, 1000);
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* item = root->next;
  std::vector<uint8_t> buffer(1500);
  HRESULT transfer = S_OK;
  ASSERT_EQ(GetItemData(context.get(), item, buffer.data(), 1500, &transfer), S_OK);
  EXPECT_EQ(sf::GetBe32(item->readFrame + 262), 1500u);
  EXPECT_EQ(sf::GetBe32(camera.sent.back().bytes.data() + 266), 1000u);
  EXPECT_EQ(buffer[999], static_cast<uint8_t>(999 * 7 + 1));
  EXPECT_EQ(transfer, S_OK);

  camera.script.push_back({170, -1, nullptr, 0x09});
  ASSERT_EQ(GetItemData(context.get(), item, buffer.data(), 1500, &transfer), S_OK);
  EXPECT_EQ(transfer, kResultBusy);
  EXPECT_EQ(camera.sleeps.back(), kTransportBusyPauseMs);

  camera.script.push_back({0, -1, [](uint8_t* f) { sf::PutBe32(f + 266, 999); }, 0x09});
  EXPECT_EQ(GetItemData(context.get(), item, buffer.data(), 1500, nullptr), kResultBounds);
  EXPECT_EQ(GetItemData(context.get(), item, nullptr, 10, nullptr), E_INVALIDARG);
  item->medium = 9;  // no such medium in the table
  EXPECT_EQ(GetItemData(context.get(), item, buffer.data(), 1500, nullptr), E_INVALIDARG);
  item->medium = 0;
  item->volume = 3;  // no such volume on the medium
  EXPECT_EQ(GetItemData(context.get(), item, buffer.data(), 1500, nullptr), E_INVALIDARG);
  item->volume = 0;
  item->parent = item;  // the caller's copies of the links are not what torwen follows
  item->pathBlock = nullptr;
  EXPECT_EQ(DeleteItem(context.get(), item), S_OK);
  EXPECT_EQ(FreeItem(context.get(), item), S_OK);
  EXPECT_EQ(root->next, nullptr);
}

// Item operations send the item's medium and volume as they are, and the
// medium's identity byte only when both name a place on a known medium.
struct AddressCase {
  const char* name;
  uint8_t medium;
  uint8_t volume;
  uint8_t identity;  // expected in byte 4
};

class ItemAddresses : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ItemAddresses, BytesTwoToFour) {
  const AddressCase& c = GetParam();
  MemoryCamera camera;
  camera.media[0].identity = 0x5C;
  camera.media[0].volumes.resize(2);
  camera.media[0].volumes[0].Add("\\", "DATA", "JPG", 0, 10);
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* item = const_cast<MicroDrvItem*>(FindPath(root, "\\DATA.JPG"));
  ASSERT_NE(item, nullptr);
  item->medium = c.medium;
  item->volume = c.volume;
  uint8_t buffer[10];
  const std::vector<std::function<void()>> operations = {
      [&] { (void)GetItemData(context.get(), item, buffer, sizeof buffer, nullptr); },
      [&] { (void)GetThumbnail(context.get(), item); },
      [&] { (void)DeleteItem(context.get(), item); },
  };
  for (size_t op = 0; op < operations.size(); ++op) {
    camera.sent.clear();
    operations[op]();
    ASSERT_FALSE(camera.sent.empty()) << op;
    const std::vector<uint8_t>& f = camera.sent.back().bytes;
    EXPECT_EQ(f[2], c.medium) << op;
    EXPECT_EQ(f[3], c.volume) << op;
    EXPECT_EQ(f[4], c.identity) << op;
  }
}

INSTANTIATE_TEST_SUITE_P(Indices, ItemAddresses,
                         ::testing::Values(AddressCase{"volume_given", 0, 1, 0x5C},
                                           AddressCase{"volume_unassigned", 0, 0xFF, 0},
                                           AddressCase{"device_namespace", 0xFF, 0xFF, 0}),
                         [](const ::testing::TestParamInfo<AddressCase>& row) { return std::string(row.param.name); });

TEST(Transfers, Thumbnails) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* image = const_cast<MicroDrvItem*>(FindPath(root, "\\DCIM\\IMG_0001.JPG"));
  camera.script.push_back({0, 0x80, nullptr, 0x08});
  camera.script.push_back({0, 0x80, nullptr, 0x08});
  ASSERT_EQ(GetThumbnail(context.get(), image), S_OK);
  EXPECT_EQ(image->thumbnailLength, 400u);
  EXPECT_EQ(image->thumbnail[399], 0x5A);
  EXPECT_EQ(camera.CountSent(0x08), 3u);
  // A length beyond the receive area leaves the thumbnail as it was.
  camera.script.push_back({0, 0, [](uint8_t* f) { sf::PutBe32(f + 262, 0x8001); }, 0x08});
  EXPECT_EQ(GetThumbnail(context.get(), image), E_FAIL);
  EXPECT_EQ(image->thumbnailLength, 400u);
  camera.script.push_back({0, 0xA1, nullptr, 0x08});
  EXPECT_EQ(GetThumbnail(context.get(), image), static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(image->thumbnailLength, 400u);
}

// Bytes the driver leaves out of its answer read as zero, never as the
// thumbnail read before them (the context keeps one receive area).
TEST(Transfers, UndeliveredThumbnailBytesReadAsZero) {
  MemoryCamera camera;
  FillSample(camera.media[0].volumes[0], "");
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* image = const_cast<MicroDrvItem*>(FindPath(root, "\\DCIM\\IMG_0001.JPG"));
  ASSERT_NE(image, nullptr);
  for (const uint32_t length : {0u, 1u, 399u, 400u, 401u, sf::kTransferAreaSize}) {
    // The camera's own thumbnail first: 400 bytes of 0x5A in the area.
    ASSERT_EQ(GetThumbnail(context.get(), image), S_OK);
    ASSERT_EQ(image->thumbnailLength, 400u);
    ASSERT_EQ(image->thumbnail[0], 0x5A);
    // Then an answer that claims `length` bytes and delivers none.
    camera.script.push_back(
        {0, 0, [length](uint8_t* f) { sf::PutBe32(f + sf::read_file::kThumbnailLength, length); }, 0x08});
    ASSERT_EQ(GetThumbnail(context.get(), image), S_OK) << length;
    ASSERT_EQ(image->thumbnailLength, length);
    ASSERT_NE(image->thumbnail, nullptr);
    EXPECT_EQ(image->thumbnail[0], 0) << length;
    EXPECT_EQ(static_cast<size_t>(std::count(image->thumbnail, image->thumbnail + length, 0)), length) << length;
  }
}

struct ControlCase {
  const char* name;
  int32_t kind;
  bool abort;
  std::vector<int32_t> errors;  // transport answers before success
  HRESULT result;
  size_t frameLength;           // 0: nothing sent
  uint8_t action;
};

class TransferControls : public ::testing::TestWithParam<ControlCase> {};

TEST_P(TransferControls, OnTheAuxiliaryHandle) {
  const ControlCase& c = GetParam();
  MemoryCamera camera;
  Context context(camera);
  for (int32_t e : c.errors) camera.script.push_back({e, -1, nullptr, -1});
  camera.sent.clear();
  EXPECT_EQ(TransferControl(context.get(), c.kind, c.abort), c.result);
  if (c.frameLength == 0) {
    EXPECT_TRUE(camera.sent.empty());
    return;
  }
  ASSERT_FALSE(camera.sent.empty());
  const SentFrame& f = camera.sent.back();
  EXPECT_TRUE(f.auxiliary);
  ASSERT_EQ(f.bytes.size(), c.frameLength);
  EXPECT_EQ(f.bytes[0], c.kind == 21 ? 0x15 : 0x16);
  EXPECT_EQ(f.bytes[1], c.action);
  for (size_t i = 2; i < f.bytes.size(); ++i) ASSERT_EQ(f.bytes[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Controls, TransferControls,
    ::testing::Values(ControlCase{"resume_read", 21, false, {}, S_OK, 276, 0x00},
                      ControlCase{"abort_write", 22, true, {}, S_OK, 280, 0xFF},
                      ControlCase{"unknown_kind", 23, true, {}, E_FAIL, 0, 0},
                      ControlCase{"busy_then_sent", 21, true, {170, 170}, S_OK, 276, 0xFF},
                      ControlCase{"busy_for_ever", 21, false, std::vector<int32_t>(kControlAttempts, 170), kResultBusy,
                                  276, 0x00},
                      ControlCase{"gone", 22, false, {1617}, static_cast<HRESULT>(0x80070651), 280, 0x00}),
    [](const ::testing::TestParamInfo<ControlCase>& row) { return std::string(row.param.name); });

TEST(Transfers, DeleteLowersTheParentsCounts) {
  MemoryCamera camera;
  MemoryVolume& v = camera.media[0].volumes[0];
  v.Add("\\", "DCIM", "", kFolder, 0);
  for (int i = 0; i < 3; ++i) v.Add("\\DCIM", "I" + std::to_string(i), "JPG", 0, 1);
  v.Add("\\DCIM", "T1", "TXT", 0, 1);
  v.Add("\\DCIM", "T2", "TXT", 0, 1);
  Context context(camera);
  MicroDrvItem* root = nullptr;
  ASSERT_EQ(GetDeviceInfo(context.get(), &root), S_OK);
  MicroDrvItem* image = const_cast<MicroDrvItem*>(FindPath(root, "\\DCIM\\I1.JPG"));
  ASSERT_EQ(DeleteItem(context.get(), image), S_OK);
  EXPECT_EQ(image->parent->pathBlock->childCount, 4u);
  EXPECT_EQ(image->parent->pathBlock->imageCount, 2u);
  EXPECT_EQ(DeleteItem(context.get(), image), static_cast<HRESULT>(0x80070002));  // gone on the camera
  EXPECT_EQ(image->parent->pathBlock->childCount, 4u);
}

}  // namespace
}  // namespace torwen::testing
