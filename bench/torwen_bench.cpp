// The microdriver's item tree and freeing against an in-memory driver,
// `camfiles get` of a 100 MB file against the virtual camcorder's own read
// rate in the same run, and `camfiles tree` of 100,000 items against the
// microdriver's own listing of the same camera.
//
// Targets: 100,000 files in 100 folders listed in under 200 ms of CPU and
// freed in under 50 ms; ten times the files in at most eleven times the
// time; camfiles get at no less than half the camcorder's read rate;
// camfiles tree within 1.5 times the microdriver's listing (tree_share).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/imaging_devices.h"
#include "storage/frames.h"
#include "storage/microdriver/core.h"
#include "storage/microdriver/torwen.h"
#include "storage/microdriver/testing/memory_driver.h"
#include "vcam/isolated_environment.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;
using torwen::testing::MemoryCamera;

constexpr int kFolders = 100;

std::unique_ptr<MemoryCamera> MakeCamera(int files) {
  auto camera = std::make_unique<MemoryCamera>();
  camera->logFrames = false;
  torwen::testing::MemoryVolume& v = camera->media[0].volumes[0];
  const int perFolder = files / kFolders;
  for (int f = 0; f < kFolders; ++f) {
    char folder[16];
    std::snprintf(folder, sizeof folder, "%03dCAM", f);
    v.Add("\\", folder, "", storage::kAttributeFolder, 0);
    const std::string path = std::string("\\") + folder;
    auto& list = v.folders[path];
    list.reserve(static_cast<size_t>(perFolder));
    for (int i = 0; i < perFolder; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "I%07d", f * perFolder + i);
      v.Add(path, name, i % 3 == 0 ? "AVI" : "JPG", 0, 1000000u + static_cast<uint32_t>(i));
    }
  }
  return camera;
}

void BM_BuildItemTree(benchmark::State& state) {
  const auto camera = MakeCamera(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto context = std::make_unique<torwen::testing::OpenedContext>(*camera);
    state.ResumeTiming();
    MicroDrvItem* root = nullptr;
    if (torwen::GetDeviceInfo(context->get(), &root) != S_OK) state.SkipWithError("listing failed");
    state.PauseTiming();
    if (context->get()->fileCount != static_cast<uint32_t>(state.range(0))) state.SkipWithError("files missing");
    context.reset();
    state.ResumeTiming();
  }
  state.counters["files"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_BuildItemTree)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FreeItemTree(benchmark::State& state) {
  const auto camera = MakeCamera(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto context = std::make_unique<torwen::testing::OpenedContext>(*camera);
    MicroDrvItem* root = nullptr;
    torwen::GetDeviceInfo(context->get(), &root);
    std::vector<MicroDrvItem*> items;
    for (MicroDrvItem* i = root; i != nullptr; i = i->next) items.push_back(i);
    state.ResumeTiming();
    for (MicroDrvItem* item : items) torwen::FreeItem(context->get(), item);  // one by one, as the caller does
    state.PauseTiming();
    if (torwen::LiveItemCount(context->get()) != 0) state.SkipWithError("items left");
    context.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FreeItemTree)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

// `camfiles get` of a 100 MB file, and the camcorder's storage answering
// ReadFile (the whole file in one exchange, and 100 MB in 32 KiB exchanges)
// into memory: all timed in each iteration.
void BM_CamfilesGet100MB(benchmark::State& state) {
  constexpr uint32_t kSize = 100u * 1000u * 1000u;
  vcam::testing::IsolatedEnvironment env("torwen-bench");
  vcam::CameraOptions options;
  options.sampleContent = false;
  options.media = {vcam::MediumOptions{1, 1u << 30}};
  auto camera = vcam::CreateCamera(env.Cameras(), "bench", options);
  {
    std::vector<char> content(kSize);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    std::ofstream(camera->VolumeDir(0, 0) / "BIG.AVI", std::ios::binary).write(content.data(), kSize);
  }
  const fs::path work = env.Dir() / "work";
  fs::create_directories(work);
  const std::string command = "cd '" + work.string() + "' && '" CAMFILES_PATH "' get '\\BIG.AVI' big.avi";
  std::vector<uint8_t> area(kSize);
  double camcorderSeconds = 0;  // one 100 MB ReadFile exchange
  double chunkedSeconds = 0;    // 32 KiB ReadFile exchanges
  double camfilesSeconds = 0;
  for (auto _ : state) {
    // The camcorder's own read: the storage driver answering one ReadFile.
    uint8_t status[storage::kMediaStatusLength];
    storage::BuildMediaStatus(status, 0);
    camera->StorageExchange(status, sizeof status, nullptr, 0);
    uint8_t frame[storage::kReadFileLength];
    storage::BuildReadFile(frame, storage::Address{0, 0, status[storage::media_status::kIdentity]}, "\\BIG.AVI", kSize,
                           kSize, area.data());
    auto start = std::chrono::steady_clock::now();
    const int32_t error = camera->StorageExchange(frame, sizeof frame, area.data(), kSize);
    const double own = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (error != 0 || storage::GetBe32(frame + storage::read_file::kDelivered) != kSize) state.SkipWithError("read");

    // 100 MB in 32 KiB ReadFile exchanges, as the library reads (the frame has no
    // offset: each one answers the file's first 32 KiB), into the same area.
    start = std::chrono::steady_clock::now();
    for (uint32_t offset = 0; offset < kSize; offset += storage::kTransferAreaSize) {
      storage::BuildReadFile(frame, storage::Address{0, 0, status[storage::media_status::kIdentity]}, "\\BIG.AVI",
                             storage::kTransferAreaSize, storage::kTransferAreaSize, area.data() + offset);
      camera->StorageExchange(frame, sizeof frame, area.data() + offset,
                              std::min(storage::kTransferAreaSize, kSize - offset));
    }
    const double chunked = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double tool = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0 || fs::file_size(work / "big.avi") != kSize) state.SkipWithError("camfiles get failed");
    fs::remove(work / "big.avi");
    camcorderSeconds += own;
    chunkedSeconds += chunked;
    camfilesSeconds += tool;
    state.SetIterationTime(tool);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["camcorder_MBps"] = kSize / 1e6 / (camcorderSeconds / n);
  state.counters["camfiles_MBps"] = kSize / 1e6 / (camfilesSeconds / n);
  state.counters["camcorder_32k_MBps"] = kSize / 1e6 / (chunkedSeconds / n);
  state.counters["camfiles_share"] = camcorderSeconds / camfilesSeconds;
  state.counters["camfiles_share_32k"] = chunkedSeconds / camfilesSeconds;
  state.SetBytesProcessed(static_cast<int64_t>(kSize) * state.iterations());
}
BENCHMARK(BM_CamfilesGet100MB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// `camfiles tree` of 100,000 items (100 folders of 999 files) as a whole
// process, and the microdriver's own listing of the same camera (the built
// library, loaded by its exports): both timed in each iteration.
void BM_CamfilesTree100k(benchmark::State& state) {
  constexpr int kTreeFolders = 100;
  constexpr int kPerFolder = 999;
  vcam::testing::IsolatedEnvironment env("torwen-tree-bench");
  vcam::CameraOptions options;
  options.sampleContent = false;
  auto camera = vcam::CreateCamera(env.Cameras(), "bench", options);
  for (int f = 0; f < kTreeFolders; ++f) {
    char folder[16];
    std::snprintf(folder, sizeof folder, "F%03d", f);
    const fs::path dir = camera->VolumeDir(0, 0) / folder;
    fs::create_directories(dir);
    for (int i = 0; i < kPerFolder; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "I%07d.JPG", f * kPerFolder + i);
      std::ofstream(dir / name) << 'x';
    }
  }
  std::vector<platform::ImagingDevice> devices;
  if (platform::ListImagingDevices(devices) != S_OK || devices.empty()) {
    state.SkipWithError("no camera");
    return;
  }
  const std::string command = "'" CAMFILES_PATH "' tree >/dev/null";
  double listingSeconds = 0;
  double treeSeconds = 0;
  size_t items = 0;
  for (auto _ : state) {
    // Loaded afresh each time: the listing starts as cold as in a new process.
    void* library = dlopen(TORWEN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    auto init = reinterpret_cast<decltype(&MicroDrvInit)>(library ? dlsym(library, "MicroDrvInit") : nullptr);
    auto uninit = reinterpret_cast<decltype(&MicroDrvUnInit)>(library ? dlsym(library, "MicroDrvUnInit") : nullptr);
    auto open = reinterpret_cast<decltype(&MicroDrvOpen)>(library ? dlsym(library, "MicroDrvOpen") : nullptr);
    auto deviceInfo =
        reinterpret_cast<decltype(&MicroDrvGetDeviceInfo)>(library ? dlsym(library, "MicroDrvGetDeviceInfo") : nullptr);
    auto freeItem =
        reinterpret_cast<decltype(&MicroDrvFreeItemInfo)>(library ? dlsym(library, "MicroDrvFreeItemInfo") : nullptr);
    if (init == nullptr || uninit == nullptr || open == nullptr || deviceInfo == nullptr || freeItem == nullptr) {
      state.SkipWithError("torwen not loaded");
      break;
    }
    MicroDrvContext* context = nullptr;
    auto start = std::chrono::steady_clock::now();
    MicroDrvItem* root = nullptr;
    if (init(&context) != S_OK || open(context, devices[0].deviceId.c_str()) != S_OK ||
        deviceInfo(context, &root) != S_OK)
      state.SkipWithError("listing failed");
    const double listing = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<MicroDrvItem*> list;
    for (MicroDrvItem* i = root; i != nullptr; i = i->next) list.push_back(i);
    items = list.size();
    for (MicroDrvItem* i : list) freeItem(context, i);
    uninit(&context);
    dlclose(library);

    start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double tree = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0) state.SkipWithError("camfiles tree failed");
    listingSeconds += listing;
    treeSeconds += tree;
    state.SetIterationTime(tree);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["items"] = static_cast<double>(items);
  state.counters["listing_s"] = listingSeconds / n;
  state.counters["tree_s"] = treeSeconds / n;
  state.counters["tree_share"] = treeSeconds / listingSeconds;  // target: at most 1.5
}
BENCHMARK(BM_CamfilesTree100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
