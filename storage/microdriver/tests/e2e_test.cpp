// The built torwen library, loaded by its exports as the imaging service
// loads it, against virtual camcorders: opening, item trees, paged listings
// on the wire, status polls, transfers (whole, chunked with continue and
// abort from a second thread), put paths, deletes and item lifetimes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/imaging_devices.h"
#include "storage/frames.h"
#include "storage/microdriver/torwen.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;

struct Exports {
  void* library = nullptr;
  decltype(&MicroDrvInit) init = nullptr;
  decltype(&MicroDrvUnInit) uninit = nullptr;
  decltype(&MicroDrvOpen) open = nullptr;
  decltype(&MicroDrvClose) close = nullptr;
  decltype(&MicroDrvGetDeviceInfo) deviceInfo = nullptr;
  decltype(&MicroDrvFreeItemInfo) freeItem = nullptr;
  decltype(&MicroDrvGetStatus) status = nullptr;
  decltype(&MicroDrvGetMediaStatus) mediaStatus = nullptr;
  decltype(&MicroDrvGetThumbnail) thumbnail = nullptr;
  decltype(&MicroDrvGetItemData) itemData = nullptr;
  decltype(&MicroDrvResumeChunkTransfer) resume = nullptr;
  decltype(&MicroDrvAbortTransfer) abort = nullptr;
  decltype(&MicroDrvPutItemData) put = nullptr;
  decltype(&MicroDrvDeleteItem) remove = nullptr;

  template <typename F>
  void Bind(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(library, name));
    ASSERT_NE(f, nullptr) << name;
  }
  void Load() {
    library = dlopen(TORWEN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    Bind(init, "MicroDrvInit");
    Bind(uninit, "MicroDrvUnInit");
    Bind(open, "MicroDrvOpen");
    Bind(close, "MicroDrvClose");
    Bind(deviceInfo, "MicroDrvGetDeviceInfo");
    Bind(freeItem, "MicroDrvFreeItemInfo");
    Bind(status, "MicroDrvGetStatus");
    Bind(mediaStatus, "MicroDrvGetMediaStatus");
    Bind(thumbnail, "MicroDrvGetThumbnail");
    Bind(itemData, "MicroDrvGetItemData");
    Bind(resume, "MicroDrvResumeChunkTransfer");
    Bind(abort, "MicroDrvAbortTransfer");
    Bind(put, "MicroDrvPutItemData");
    Bind(remove, "MicroDrvDeleteItem");
  }
};

std::string Narrow(const OLECHAR* text) {
  std::string s;
  for (; text != nullptr && *text != 0; ++text) s.push_back(static_cast<char>(*text));
  return s;
}

std::vector<uint8_t> ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class TorwenE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    exports_.Load();
    env_ = std::make_unique<vcam::testing::IsolatedEnvironment>("torwen-e2e");
  }
  void TearDown() override {
    if (context_ != nullptr) {
      EXPECT_EQ(exports_.uninit(&context_), S_OK);
    }
    camera_.reset();
    env_.reset();
  }

  vcam::Camera& AddCamera(vcam::CameraOptions options = {}) {
    camera_ = vcam::CreateCamera(env_->Cameras(), "cam", options);
    std::vector<platform::ImagingDevice> devices;
    EXPECT_EQ(platform::ListImagingDevices(devices), S_OK);  // writes the camera's "DevSymLink"
    EXPECT_EQ(devices.size(), 1u);
    deviceId_ = devices.empty() ? platform::ComString() : devices[0].deviceId;
    return *camera_;
  }
  void OpenContext() {
    ASSERT_EQ(exports_.init(&context_), S_OK);
    ASSERT_EQ(exports_.open(context_, deviceId_.c_str()), S_OK);
  }
  MicroDrvItem* Tree() {
    MicroDrvItem* root = nullptr;
    EXPECT_EQ(exports_.deviceInfo(context_, &root), S_OK);
    return root;
  }
  static MicroDrvItem* Find(MicroDrvItem* root, const std::string& path, uint8_t medium = 0) {
    for (MicroDrvItem* i = root; i != nullptr; i = i->next)
      if (path == i->pathBlock->path && i->medium == medium && (i->flags & (kMicroDrvFile | kMicroDrvFolder))) return i;
    return nullptr;
  }
  size_t CountFrames(const std::string& prefix) const {
    size_t n = 0;
    for (const vcam::TraceEntry& e : camera_->ReadTrace())
      if (e.channel == "storage" && e.frame.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  void SetChunks(uint32_t chunk) {
    camera_->Modify([chunk](vcam::State& s) {
      s.chunkWait = 1;
      s.chunkSize = chunk;
      s.chunkWaitMs = 5000;
    });
  }

  Exports exports_;
  std::unique_ptr<vcam::testing::IsolatedEnvironment> env_;
  std::unique_ptr<vcam::Camera> camera_;
  platform::ComString deviceId_;
  MicroDrvContext* context_ = nullptr;
};

TEST_F(TorwenE2e, OpensTwoHandlesAndReadsTheMode) {
  AddCamera();
  OpenContext();
  EXPECT_NE(context_->mainHandle, nullptr);
  EXPECT_NE(context_->auxiliaryHandle, nullptr);
  EXPECT_NE(context_->mainHandle, context_->auxiliaryHandle);
  EXPECT_EQ(context_->mode, 1);
  EXPECT_EQ(CountFrames("0100"), 1u);
  EXPECT_EQ(exports_.open(context_, deviceId_.c_str()), E_FAIL);
  EXPECT_EQ(exports_.close(context_), S_OK);
  EXPECT_EQ(context_->mainHandle, nullptr);
  EXPECT_EQ(exports_.close(context_), S_OK);
  MicroDrvContext* other = nullptr;
  ASSERT_EQ(exports_.init(&other), S_OK);
  EXPECT_EQ(exports_.open(other, COM_TEXT("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\9999")), E_FAIL);
  EXPECT_EQ(other->mainHandle, nullptr);
  EXPECT_EQ(exports_.uninit(&other), S_OK);
  EXPECT_EQ(other, nullptr);
}

TEST_F(TorwenE2e, DefaultMediumTree) {
  vcam::CameraOptions options;
  options.model = "KX1";
  vcam::Camera& camera = AddCamera(options);
  OpenContext();
  MicroDrvItem* root = Tree();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->flags, kMicroDrvRoot);
  EXPECT_EQ(std::string(root->pathBlock->path), "\\");
  const fs::path volume = camera.VolumeDir(0, 0);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(volume)) {
    if (!entry.is_regular_file()) continue;
    std::string path = entry.path().string().substr(volume.string().size());
    for (char& c : path) c = c == '/' ? '\\' : c;
    const bool thumbnail = path.size() > 4 && path.substr(path.size() - 4) == ".THM";
    MicroDrvItem* item = Find(root, path);
    if (thumbnail) {
      EXPECT_EQ(item, nullptr) << path;
      continue;
    }
    ++files;
    ASSERT_NE(item, nullptr) << path;
    EXPECT_EQ(item->size, fs::file_size(entry.path())) << path;
    EXPECT_GE(item->captureTime.year, 2020) << path;
    const std::string leaf = path.substr(path.rfind('\\') + 1);
    EXPECT_EQ(Narrow(item->name), leaf.substr(0, leaf.find('.'))) << path;
    // Item data equals the camera's file, byte for byte.
    std::vector<uint8_t> data(item->size);
    HRESULT transfer = S_OK;
    ASSERT_EQ(exports_.itemData(context_, item, data.data(), item->size, &transfer), S_OK) << path;
    EXPECT_EQ(data, ReadHostFile(entry.path())) << path;
    if (item->thumbnailFormat != nullptr && (item->flags & kMicroDrvImage) != 0) {
      ASSERT_EQ(exports_.thumbnail(context_, item), S_OK) << path;
      fs::path thm = entry.path();
      thm.replace_extension(".THM");
      EXPECT_EQ(std::vector<uint8_t>(item->thumbnail, item->thumbnail + item->thumbnailLength), ReadHostFile(thm));
    }
  }
  EXPECT_GE(files, 6u);  // images, movies and other files
  EXPECT_EQ(context_->fileCount, files);
  EXPECT_GE(context_->imageCount, 3);
}

TEST_F(TorwenE2e, SeveralMediaAndVolumes) {
  vcam::CameraOptions options;
  options.sampleContent = false;
  options.media = {vcam::MediumOptions{2, 1u << 20}, vcam::MediumOptions{1, 3u << 30}};
  vcam::Camera& camera = AddCamera(options);
  std::ofstream(camera.VolumeDir(0, 1) / "A.TXT") << "volume two";
  std::ofstream(camera.VolumeDir(1, 0) / "B.JPG") << "medium two";
  OpenContext();
  MicroDrvItem* root = Tree();
  std::vector<std::string> names;
  for (MicroDrvItem* i = root; i != nullptr; i = i->next)
    names.push_back(Narrow(i->name) + "@" + std::to_string(i->medium) + "." + std::to_string(i->volume));
  EXPECT_EQ(names, (std::vector<std::string>{"@0.255", "Media:1@0.0", "Media:2@1.0", "Volume:1@0.0", "Volume:2@0.1",
                                             "B@1.0", "A@0.1"}));  // breadth first, in list order
  EXPECT_EQ(context_->storageTotal, int64_t{1 << 20} + (int64_t{3} << 30));  // above 2 GiB, not negative
  MicroDrvItem* b = Find(root, "\\B.JPG", 1);
  ASSERT_NE(b, nullptr);
  std::vector<uint8_t> data(b->size);
  ASSERT_EQ(exports_.itemData(context_, b, data.data(), b->size, nullptr), S_OK);
  EXPECT_EQ(std::string(data.begin(), data.end()), "medium two");
}

TEST_F(TorwenE2e, PagedListingOnTheWire) {
  vcam::CameraOptions options;
  options.sampleContent = false;
  vcam::Camera& camera = AddCamera(options);
  fs::create_directories(camera.VolumeDir(0, 0) / "MANY");
  for (int i = 0; i < 50; ++i) std::ofstream(camera.VolumeDir(0, 0) / "MANY" / ("F" + std::to_string(i) + ".TXT")) << i;
  OpenContext();
  camera.ClearTrace();
  MicroDrvItem* root = Tree();
  std::vector<std::string> starts;
  for (const vcam::TraceEntry& e : camera.ReadTrace())
    if (e.frame.rfind("04", 0) == 0) starts.push_back(e.frame.substr(14, 6));  // bytes 7-9
  EXPECT_EQ(starts, (std::vector<std::string>{"000018", "000018", "001818", "003018"}));
  EXPECT_EQ(context_->fileCount, 50u);
  EXPECT_EQ(Find(root, "\\MANY")->pathBlock->childCount, 50u);
}

TEST_F(TorwenE2e, StatusAndMediumExchange) {
  vcam::Camera& camera = AddCamera();
  OpenContext();
  Tree();
  EXPECT_EQ(exports_.status(context_), S_OK);
  camera.ExchangeMedium(0);
  EXPECT_EQ(exports_.mediaStatus(context_), static_cast<HRESULT>(0x80070456));
  EXPECT_EQ(exports_.status(context_), S_OK);
  camera.SetPlugged(false);
  EXPECT_EQ(exports_.status(context_), static_cast<HRESULT>(0x80070651));
}

// Chunked transfers wait for a control frame after every chunk; a second
// thread lets them continue or aborts them through the auxiliary handle.
TEST_F(TorwenE2e, ChunkedReadContinuedAndAborted) {
  vcam::CameraOptions options;
  options.sampleContent = false;
  vcam::Camera& camera = AddCamera(options);
  std::vector<uint8_t> content(100000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 13);
  std::ofstream(camera.VolumeDir(0, 0) / "LONG.AVI", std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  OpenContext();
  MicroDrvItem* item = Find(Tree(), "\\LONG.AVI");
  ASSERT_NE(item, nullptr);
  SetChunks(16384);
  for (bool abort : {false, true}) {
    std::vector<uint8_t> data(content.size());
    std::atomic<bool> done{false};
    HRESULT result = S_OK;
    std::thread reader([&] {
      result = exports_.itemData(context_, item, data.data(), static_cast<uint32_t>(data.size()), nullptr);
      done = true;
    });
    int controls = 0;
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      // Controls sent before the transfer starts are not counted by the camera.
      const HRESULT hr = abort ? exports_.abort(context_, kMicroDrvTransferRead)
                               : exports_.resume(context_, kMicroDrvTransferRead);
      EXPECT_EQ(hr, S_OK);
      ++controls;
    }
    reader.join();
    if (abort) {
      EXPECT_EQ(result, static_cast<HRESULT>(0x800704D3));
    } else {
      EXPECT_EQ(result, S_OK);
      EXPECT_EQ(data, content);
    }
  }
}

TEST_F(TorwenE2e, ChunkedWriteAndPutPaths) {
  vcam::CameraOptions options;
  options.sampleContent = false;
  options.media = {vcam::MediumOptions{1, 8u << 20}, vcam::MediumOptions{1, 8u << 20}};
  vcam::Camera& camera = AddCamera(options);
  fs::create_directories(camera.VolumeDir(1, 0) / "DCIM");
  OpenContext();
  Tree();
  SetChunks(8192);
  std::vector<uint8_t> content(50000, 0x42);
  MicroDrvPutRequest request{};
  request.firstLength = request.secondLength = static_cast<uint32_t>(content.size());
  request.firstFlag = 1;
  request.secondFlag = 1;
  request.data = content.data();
  std::strcpy(request.path, "\\Media:2\\DCIM\\NEW.JPG");
  uint8_t frame[kMicroDrvPutFrameSize];
  std::atomic<bool> done{false};
  HRESULT result = E_FAIL;
  std::thread writer([&] {
    result = exports_.put(context_, &request, frame);
    done = true;
  });
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(exports_.resume(context_, kMicroDrvTransferWrite), S_OK);
  }
  writer.join();
  ASSERT_EQ(result, S_OK);
  EXPECT_EQ(std::string(request.path), "\\DCIM\\NEW.JPG");
  EXPECT_EQ(ReadHostFile(camera.VolumeDir(1, 0) / "DCIM" / "NEW.JPG"), content);

  // Refusals come back mapped; nothing is written.
  camera.Modify([](vcam::State& s) {
    s.chunkWait = 0;
    s.media[0].flags = 0x01;
  });
  std::strcpy(request.path, "\\Media:1\\A.TXT");
  EXPECT_EQ(exports_.put(context_, &request, frame), static_cast<HRESULT>(0x80071779));
  std::strcpy(request.path, "\\Media:3\\A.TXT");
  EXPECT_EQ(exports_.put(context_, &request, frame), E_INVALIDARG);
  EXPECT_FALSE(fs::exists(camera.VolumeDir(0, 0) / "A.TXT"));
}

TEST_F(TorwenE2e, DeleteAndCounts) {
  vcam::CameraOptions options;
  options.model = "KX1";
  vcam::Camera& camera = AddCamera(options);
  OpenContext();
  MicroDrvItem* root = Tree();
  MicroDrvItem* image = Find(root, "\\DCIM\\100KX1\\IMG_0001.JPG");
  ASSERT_NE(image, nullptr);
  const uint32_t children = image->parent->pathBlock->childCount;
  const uint32_t images = image->parent->pathBlock->imageCount;
  ASSERT_EQ(exports_.remove(context_, image), S_OK);
  EXPECT_EQ(image->parent->pathBlock->childCount, children - 1);
  EXPECT_EQ(image->parent->pathBlock->imageCount, images - 1);
  EXPECT_FALSE(fs::exists(camera.VolumeDir(0, 0) / "DCIM" / "100KX1" / "IMG_0001.JPG"));
  EXPECT_EQ(exports_.remove(context_, image), static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(exports_.freeItem(context_, image), S_OK);
  EXPECT_EQ(exports_.freeItem(context_, image), E_INVALIDARG);
}

// Every freeing order leaves nothing behind (LeakSanitizer in the sanitized
// build) and never touches a freed item.
TEST_F(TorwenE2e, FreeingOrders) {
  AddCamera();
  OpenContext();
  for (int order = 0; order < 4; ++order) {
    MicroDrvItem* root = Tree();
    std::vector<MicroDrvItem*> items;
    for (MicroDrvItem* i = root; i != nullptr; i = i->next) items.push_back(i);
    ASSERT_GT(items.size(), 4u);
    if (order == 1) std::reverse(items.begin(), items.end());
    if (order == 2) std::stable_partition(items.begin(), items.end(), [](MicroDrvItem* i) { return (i->flags & kMicroDrvFile) == 0; });
    if (order == 3) break;  // left to MicroDrvUnInit
    for (MicroDrvItem* i : items) {
      if (i->flags & kMicroDrvImage) {
        EXPECT_EQ(exports_.thumbnail(context_, i), S_OK);
      }
      ASSERT_EQ(exports_.freeItem(context_, i), S_OK);
    }
    EXPECT_EQ(context_->fileCount, 0u);
    EXPECT_EQ(context_->imageCount, 0);
  }
}

}  // namespace
