// Hostile and careless surroundings of a camera: special files and links in
// place of its files and folders, a corrupted or truncated state file,
// leftovers of killed processes, a full disk under the trace, and cameras
// made by several processes at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "storage/frames.h"
#include "test_support.h"

namespace vcam::testing {
namespace {

namespace fs = std::filesystem;
namespace sf = storage;
using Bytes = std::vector<uint8_t>;

int32_t Avc(Camera& camera, AvcFrame frame) { return camera.AvcExchange(frame.bytes, frame.length); }
AvcFrame SelectSlot(uint8_t slot) { return Vendor(0x00, 0x0001, 0x70, {slot}); }
AvcFrame RegisterSlot(uint8_t slot) { return Vendor(0x00, 0x0001, 0x71, {slot, 'N', 'E', 'W', 0, 0, 0, 0, 0}); }
AvcFrame BusyQuery() { return Vendor(0x01, 0x0001, 0x75, {0xFF}); }

sf::Address Medium(Camera& camera) { return sf::Address{0, 0, camera.ReadState().media[0].identity}; }

// Storage statuses of the file commands (0xFF when the exchange itself failed).
uint8_t ReadStatus(Camera& camera, sf::Address at, const std::string& path, Bytes* out = nullptr) {
  uint8_t frame[sf::kReadFileLength];
  Bytes area(sf::kTransferAreaSize);
  sf::BuildReadFile(frame, at, path, sf::kTransferAreaSize, sf::kTransferAreaSize, area.data());
  if (camera.StorageExchange(frame, sizeof frame, area.data(), static_cast<uint32_t>(area.size())) != 0) return 0xFF;
  if (out != nullptr) out->assign(area.begin(), area.begin() + std::min<uint32_t>(sf::GetBe32(frame + sf::read_file::kDelivered), sf::kTransferAreaSize));
  return frame[1];
}
uint8_t DeleteStatus(Camera& camera, sf::Address at, const std::string& path) {
  uint8_t frame[sf::kDeleteFileLength];
  sf::BuildDeleteFile(frame, at, path);
  if (camera.StorageExchange(frame, sizeof frame, nullptr, 0) != 0) return 0xFF;
  return frame[1];
}
uint8_t ListStatus(Camera& camera, sf::Address at, const std::string& folder) {
  uint8_t frame[sf::kListDirectoryLength];
  sf::BuildListDirectory(frame, at, 0, folder);
  if (camera.StorageExchange(frame, sizeof frame, nullptr, 0) != 0) return 0xFF;
  return frame[1];
}

// A pid that no longer runs.
pid_t DeadPid() {
  const pid_t pid = Spawn([] { return 0; });
  Wait(pid);
  return pid;
}

// ---------------------------------------------------------------------------
// A FIFO, which blocks a plain open until a peer comes, in place of each
// file: every use answers at once with an error, in a child that an alarm
// kills after 10 s (a hang fails the row).

class SafetyTest : public RootFixture {
 protected:
  std::unique_ptr<Camera> Make(const std::string& name) {
    CameraOptions options;
    options.slotCount = 3;
    auto camera = Create(name, options);
    camera->Modify([](State& s) { s.busyMs = 0; });
    return camera;
  }
};

TEST_F(SafetyTest, SpecialFilesAnswerPromptlyWithAnError) {
  struct Row {
    const char* file;
    std::function<int(const fs::path&)> use;  // 0 when the use failed as it should
  };
  const Row rows[] = {
      {"trace.log",
       [](const fs::path& dir) {
         auto camera = Camera::Open(dir);
         if (Avc(*camera, BusyQuery()) != kAvcOk) return 2;  // answered; the trace is skipped
         try {
           camera->TraceLines();
           return 3;
         } catch (const Error& e) {
           return std::string(e.what()).find("not a regular file") != std::string::npos ? 0 : 4;
         }
       }},
      {"ns/dev/campset/Preset01.pst",
       [](const fs::path& dir) {
         auto camera = Camera::Open(dir);
         if (Avc(*camera, SelectSlot(1)) != kAvcRejected) return 2;
         uint8_t bytes[32];
         if (camera->ReadPresetFile(1, bytes, sizeof bytes) != -1) return 3;
         if (ReadStatus(*camera, sf::Address{}, "\\dev\\campset\\Preset01.pst") == sf::kStatusOk) return 4;
         return 0;
       }},
      {"identity", [](const fs::path& dir) { return Camera::Open(dir) == nullptr ? 2 : 3; }},
      {"state", [](const fs::path& dir) { return Camera::Open(dir) == nullptr ? 2 : 3; }},
      {"lock", [](const fs::path& dir) { return Camera::Open(dir) == nullptr ? 2 : 3; }},
  };
  int n = 0;
  for (const Row& row : rows) {
    const std::string name = "cam" + std::to_string(n++);
    const fs::path dir = Make(name)->dir();
    fs::remove(dir / row.file);
    ASSERT_EQ(::mkfifo((dir / row.file).c_str(), 0644), 0);
    // Camera::Open throwing Error is the expected failure of the last rows.
    const int status = Wait(Spawn(
        [&] {
          try {
            return row.use(dir);
          } catch (const Error&) {
            return 0;
          }
        },
        10));
    EXPECT_EQ(status, 0) << row.file << (status == 100 ? ": hung" : "");
    struct stat st{};
    ASSERT_EQ(::lstat((dir / row.file).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << row.file;
  }
}

// ---------------------------------------------------------------------------
// Corrupted state bytes: every count and enumerated value is checked against
// what it indexes, and a state that fails is broken, as a bad header is.

TEST_F(SafetyTest, CorruptedStateIsBrokenEverywhere) {
  struct Row {
    const char* what;
    size_t offset;  // within State
    uint8_t value;
  };
  const size_t fault3 = offsetof(State, faults) + 3 * sizeof(Fault);
  const Row rows[] = {
      {"slot count 100", offsetof(State, slotCount), 100},
      {"slot count 250", offsetof(State, slotCount), 250},
      {"active slot above the count", offsetof(State, activeSlot), 200},
      {"no media", offsetof(State, mediaCount), 0},
      {"five media", offsetof(State, mediaCount), 5},
      {"media count 255", offsetof(State, mediaCount), 255},
      {"no volume", offsetof(State, media) + offsetof(MediumState, volumes), 0},
      {"five volumes", offsetof(State, media) + offsetof(MediumState, volumes), 5},
      {"volume count 250", offsetof(State, media) + offsetof(MediumState, volumes), 250},
      {"medium present 2", offsetof(State, media) + offsetof(MediumState, present), 2},
      {"mode 0", offsetof(State, mode), 0},
      {"plugged 2", offsetof(State, plugged), 2},
      {"supported 7", offsetof(State, supported), 7},
      {"chunk wait 2", offsetof(State, chunkWait), 2},
      {"fault kind 6", fault3 + offsetof(Fault, kind), 6},
      {"fault kind 255", fault3 + offsetof(Fault, kind), 255},
      {"fault channel 3", fault3 + offsetof(Fault, channel), 3},
      {"fault frame kind 9", fault3 + offsetof(Fault, avcFrame), 9},
  };
  auto camera = Make("cam");
  const fs::path state = camera->dir() / "state";
  const Bytes good = ReadAll(state);
  const size_t header = good.size() - 2 * sizeof(State);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes bad = good;
    bad[header + row.offset] = row.value;
    bad[header + sizeof(State) + row.offset] = row.value;
    WriteAll(state, bad);
    // An open camera meets it at its next exchange; a new open refuses it.
    AvcFrame query = BusyQuery();
    EXPECT_EQ(camera->AvcExchange(query.bytes, query.length), kErrorGenFailure);
    uint8_t list[sf::kListMediaLength] = {0x02};
    EXPECT_EQ(camera->StorageExchange(list, sizeof list, nullptr, 0), kErrorGenFailure);
    State peeked;
    EXPECT_FALSE(camera->PeekState(peeked));
    EXPECT_THROW(camera->ReadState(), Error);
    EXPECT_THROW(camera->Reset(), Error);
    EXPECT_THROW(Camera::Open(camera->dir()), Error);
    WriteAll(state, good);
    EXPECT_EQ(camera->AvcExchange(query.bytes, query.length), kAvcOk);
  }
  // Nothing writes a broken state either.
  EXPECT_THROW(camera->Modify([](State& s) { s.mediaCount = 9; }), Error);
  EXPECT_EQ(camera->ReadState().mediaCount, 1);
}

TEST_F(SafetyTest, StateFileCutShortUnderTheMapIsBrokenNotACrash) {
  auto camera = Make("cam");
  const fs::path state = camera->dir() / "state";
  const auto size = fs::file_size(state);
  ASSERT_EQ(::truncate(state.c_str(), 64), 0);
  AvcFrame query = BusyQuery();
  EXPECT_EQ(camera->AvcExchange(query.bytes, query.length), kErrorGenFailure);
  State peeked;
  EXPECT_FALSE(camera->PeekState(peeked));
  EXPECT_THROW(camera->ReadState(), Error);
  EXPECT_THROW(Camera::Open(camera->dir()), Error);
  ASSERT_EQ(::truncate(state.c_str(), static_cast<off_t>(size)), 0);
  EXPECT_EQ(camera->AvcExchange(query.bytes, query.length), kErrorGenFailure);  // zeros: no valid header
}

// ---------------------------------------------------------------------------
// Links planted in the camera's folder never lead outside it: not for the
// trace, preset files, base folders (volume, media, preset folder), nor the
// names of temporary files.

TEST_F(SafetyTest, LinksNeverLeadOutOfTheCamera) {
  const fs::path outside = root_ / ".outside";
  fs::create_directories(outside);
  const Bytes keep = {'k', 'e', 'e', 'p'};
  Bytes preset(kPresetFileSize, 1);
  preset[0] = kPresetFileSize;
  WriteAll(outside / "file", keep);
  WriteAll(outside / "IMG.JPG", keep);
  WriteAll(outside / "Preset01.pst", preset);
  struct Row {
    const char* what;
    std::function<void(Camera&)> plant;
  };
  const Row rows[] = {
      {"trace.log", [&](Camera& c) { fs::create_symlink(outside / "file", c.dir() / "trace.log"); }},
      {"Preset01.pst", [&](Camera& c) {
         fs::remove(c.PresetFile(1));
         fs::create_symlink(outside / "Preset01.pst", c.PresetFile(1));
       }},
      {"volume folder", [&](Camera& c) {
         fs::remove_all(c.VolumeDir(0, 0));
         fs::create_symlink(outside, c.VolumeDir(0, 0));
       }},
      {"media folder", [&](Camera& c) {
         fs::remove_all(c.dir() / "media");
         fs::create_directories(outside / "0");
         fs::create_symlink(outside, c.dir() / "media");
         fs::create_symlink(outside, outside / "0" / "0");
       }},
      {"preset folder", [&](Camera& c) {
         fs::remove_all(c.dir() / "ns" / "dev" / "campset");
         fs::create_symlink(outside, c.dir() / "ns" / "dev" / "campset");
       }},
      {"temporary names", [&](Camera& c) {
         // Every name a temporary file of this process could have had when
         // names were predictable: the process id with a thread hash or a count.
         char name[64];
         std::snprintf(name, sizeof name, ".vcam-tmp-%ld-%zx", static_cast<long>(::getpid()),
                       std::hash<std::thread::id>{}(std::this_thread::get_id()));
         for (const fs::path& folder : {c.dir() / "ns" / "dev" / "campset", c.VolumeDir(0, 0)}) {
           fs::create_symlink(outside / "file", folder / name);
           for (int n = 1; n <= 64; ++n) {
             fs::create_symlink(outside / "file",
                                folder / (".vcam-write-" + std::to_string(::getpid()) + "-" + std::to_string(n)));
           }
         }
       }},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto camera = Make("cam" + std::to_string(n++));
    const sf::Address medium = Medium(*camera);
    row.plant(*camera);
    const uint8_t before = camera->ReadState().value[0x41][0];
    Avc(*camera, SelectSlot(1));
    EXPECT_EQ(camera->ReadState().value[0x41][0], before);  // nothing loaded from outside
    Avc(*camera, RegisterSlot(1));
    Avc(*camera, RegisterSlot(2));
    Bytes got;
    if (ReadStatus(*camera, sf::Address{}, "\\dev\\campset\\Preset01.pst", &got) == sf::kStatusOk) {
      EXPECT_NE(got, preset);
    }
    WriteThroughFrame(*camera, sf::Address{}, "\\dev\\campset\\Preset02.pst", preset);
    EXPECT_NE(ReadStatus(*camera, medium, "\\IMG.JPG"), sf::kStatusOk);
    EXPECT_NE(DeleteStatus(*camera, medium, "\\IMG.JPG"), sf::kStatusOk);
    WriteThroughFrame(*camera, medium, "\\NEW.TXT", {'n', 'e', 'w'});
    WriteThroughFrame(*camera, medium, "\\DCIM\\NEW.TXT", {'n', 'e', 'w'});
    const std::string what = row.what;
    if (what == "volume folder" || what == "media folder") {
      EXPECT_NE(ListStatus(*camera, medium, "\\"), sf::kStatusOk);
    }
    if (what == "preset folder") {
      EXPECT_NE(ListStatus(*camera, sf::Address{}, "\\dev\\campset"), sf::kStatusOk);
    }
    // Outside: the same files, the same bytes, nothing new.
    EXPECT_EQ(ReadAll(outside / "file"), keep);
    EXPECT_EQ(ReadAll(outside / "IMG.JPG"), keep);
    EXPECT_EQ(ReadAll(outside / "Preset01.pst"), preset);
    for (const auto& e : fs::directory_iterator(outside)) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name == "file" || name == "IMG.JPG" || name == "Preset01.pst" || name == "0") << name;
    }
    fs::remove_all(outside / "0");
  }
  // A camera folder that is a link is no camera.
  fs::create_symlink(root_ / "cam0", root_ / "linked");
  EXPECT_THROW(Camera::Open(root_ / "linked"), Error);
  const std::vector<std::string> listed = ListCameras(root_);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "linked"), 0);
}

// ---------------------------------------------------------------------------
// Leftovers of killed processes: half-made and half-removed cameras and
// temporary files of processes that are gone are removed on the next use;
// links among them are removed, never followed; nothing else is touched.

TEST_F(SafetyTest, LeftoversOfKilledProcessesAreRemovedSafely) {
  auto camera = Make("cam");
  const fs::path outside = root_ / ".outside";
  fs::create_directories(outside / "folder");
  WriteAll(outside / "file", {'k'});
  WriteAll(outside / "folder" / "inner", {'i'});
  const std::string dead = std::to_string(DeadPid());
  const std::string alive = std::to_string(::getpid());
  for (const std::string& leftover : {".creating-new-" + dead + "-0a1b", ".deleting-old-" + dead + "-2c3d"}) {
    fs::create_directories(root_ / leftover / "ns" / "dev");
    WriteAll(root_ / leftover / "identity", {'x'});
    fs::create_symlink(outside / "folder", root_ / leftover / "ns" / "dev" / "campset");
    fs::create_symlink(outside / "file", root_ / leftover / "trace.log");
  }
  const fs::path presets = camera->dir() / "ns" / "dev" / "campset";
  WriteAll(presets / (".vcam-tmp-" + dead + "-0123456789abcdef"), {'t'});
  fs::create_symlink(outside / "file", presets / (".vcam-tmp-" + dead + "-fedcba9876543210"));
  WriteAll(presets / (".vcam-tmp-" + alive + "-00000000000000aa"), {'a'});  // still being written
  WriteAll(presets / ".other", {'o'});

  EXPECT_EQ(ListCameras(root_), std::vector<std::string>{"cam"});
  EXPECT_EQ(Avc(*camera, RegisterSlot(1)), kAvcOk);

  std::set<std::string> rootNames, presetNames;
  for (const auto& e : fs::directory_iterator(root_)) rootNames.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(presets)) presetNames.insert(e.path().filename().string());
  EXPECT_EQ(rootNames, (std::set<std::string>{"cam", ".outside", ".vcam-root.lock"}));
  EXPECT_EQ(presetNames, (std::set<std::string>{"Preset00.pst", "Preset01.pst", "Preset02.pst", "Preset03.pst",
                                                ".other", ".vcam-tmp-" + alive + "-00000000000000aa"}));
  EXPECT_EQ(ReadAll(outside / "file"), Bytes{'k'});
  EXPECT_EQ(ReadAll(outside / "folder" / "inner"), Bytes{'i'});
}

// Several processes and threads make cameras at once: every one gets its
// own imaging device id (allocated under the root's lock).
TEST_F(SafetyTest, CamerasMadeAtOnceGetDistinctImagingIds) {
  constexpr int kMakers = 6;
  constexpr int kThreads = 3;
  StartBarrier start;
  std::vector<pid_t> makers;
  for (int i = 0; i < kMakers; ++i) {
    makers.push_back(Spawn(
        [&, i] {
          start.Await();
          CreateCamera(root_, "cam" + std::to_string(i), CameraOptions{});
          return 0;
        },
        60));
  }
  start.Open();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([this, i] { CreateCamera(root_, "thread" + std::to_string(i), CameraOptions{}); });
  }
  for (std::thread& t : threads) t.join();
  for (pid_t pid : makers) EXPECT_EQ(Wait(pid), 0);
  std::set<std::string> ids;
  for (const std::string& name : ListCameras(root_)) ids.insert(Camera::Open(root_ / name)->identity().imagingDeviceId);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kMakers + kThreads));
}

// ---------------------------------------------------------------------------
// A full disk under the trace: the line that does not fit is taken back
// whole, never left cut (a child with a file size limit just above the
// trace's size; SIGXFSZ ignored so that the write fails instead).

TEST_F(SafetyTest, TraceLineIsWholeOrAbsentOnAFullDisk) {
  auto camera = Make("cam");
  ASSERT_EQ(Avc(*camera, BusyQuery()), kAvcOk);
  const fs::path trace = camera->dir() / "trace.log";
  const Bytes before = ReadAll(trace);
  ASSERT_GT(before.size(), 60u);
  const fs::path dir = camera->dir();
  const int status = Wait(Spawn(
      [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = before.size() + 40;  // room for part of a line only
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        auto child = Camera::Open(dir);
        return Avc(*child, BusyQuery()) == kAvcOk ? 0 : 3;
      },
      10));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadAll(trace), before);
  ASSERT_EQ(Avc(*camera, BusyQuery()), kAvcOk);
  const std::vector<std::string> lines = camera->TraceLines();
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string field;
    int count = 0;
    while (fields >> field) ++count;
    EXPECT_EQ(count, 6) << line;
  }
}

}  // namespace
}  // namespace vcam::testing
