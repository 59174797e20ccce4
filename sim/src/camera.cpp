#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <type_traits>

#include "files.h"
#include "internal.h"
#include "vcam/vcam.h"
#include "posix.h"  // last: on Windows it renames POSIX names

namespace fs = std::filesystem;

namespace vcam {

static_assert(std::has_unique_object_representations_v<State>,
              "the state file is the raw State: no padding bytes may differ between equal states");

const uint8_t kPresetFileCodes[15] = {0x41, 0x40, 0x47, 0x48, 0x4B, 0x4C, 0x4D, 0x4E,
                                      0x44, 0x49, 0x46, 0x45, 0x4A, 0x4F, 0x50};

namespace {

constexpr char kStateMagic[8] = {'V', 'C', 'A', 'M', 'S', 'T', 'A', 'T'};
constexpr uint32_t kStateVersion = 1;

struct StateHeader {
  char magic[8];
  uint32_t version;
  uint32_t size;       // of one State
  uint32_t active;     // the slot holding the current state: 0 or 1
  uint32_t sequence;   // incremented after every flip (readers without the lock check it)
};
static_assert(sizeof(StateHeader) % 8 == 0 && sizeof(State) % 8 == 0);
constexpr size_t kStateFileSize = sizeof(StateHeader) + 2 * sizeof(State);

constexpr char kKsCaptureClass[] = "{65e8773d-8f56-11d0-a3b9-00a0c9223196}";
constexpr char kImageClass[] = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr char kMaker[] = "marrowfield";

constexpr char kTraceName[] = "trace.log";
constexpr char kTraceOldName[] = "trace.1.log";
// In the root: the lock under which cameras are made and removed, and the
// folders of makings and removals in progress (left over when killed).
constexpr char kRootLockName[] = ".vcam-root.lock";
constexpr char kCreatingPrefix[] = ".creating-";
constexpr char kDeletingPrefix[] = ".deleting-";
constexpr size_t kMaxIdentityFile = 64 * 1024;

// Why a camera file could not be opened, for the error message.
std::string FileProblem(int error) {
  if (error == ELOOP) return "a link (never followed)";
  if (error == EINVAL || error == ENXIO) return "not a regular file";
  return std::strerror(error);
}

// Every count and enumerated value of a state, checked against what it indexes or means.
bool ValidState(const State& s) {
  if (s.plugged > 1 || s.supported > 1 || s.chunkWait > 1 || s.noVideo > 1) return false;
  if (s.mode != kModeCamera && s.mode != kModeVcr) return false;
  if (s.slotCount > kMaxSlots || s.activeSlot > s.slotCount) return false;
  if (s.mediaCount < 1 || s.mediaCount > kMaxMedia) return false;
  for (uint8_t m = 0; m < s.mediaCount; ++m) {
    if (s.media[m].present > 1 || s.media[m].volumes < 1 || s.media[m].volumes > kMaxVolumes) return false;
  }
  for (const Fault& f : s.faults) {
    if (f.kind > FaultKind::UnplugAfter || f.channel > 2 || f.avcFrame > 2) return false;
  }
  return true;
}

detail::UniqueFd OpenRoot(const fs::path& root) {
  detail::UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw Error("cannot open " + root.string() + ": " + std::strerror(errno));
  return fd;
}

// The root's lock: identities are allocated, and cameras made and removed,
// by one process at a time. `wait` false only tries.
class RootLock {
 public:
  RootLock(int rootFd, bool wait) {
    fd_ = detail::OpenFileAt(rootFd, kRootLockName, O_RDWR | O_CREAT, 0644);
    if (!fd_.valid()) {
      if (wait) throw Error(std::string("cannot open the camera root's lock: ") + FileProblem(errno));
      return;
    }
    while (::flock(fd_.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (wait) throw Error(std::string("cannot lock the camera root: ") + std::strerror(errno));
      fd_.Close();
      return;
    }
  }
  bool held() const { return fd_.valid(); }

 private:
  detail::UniqueFd fd_;
};

bool IsLeftoverName(const std::string& name) {
  return name.rfind(kCreatingPrefix, 0) == 0 || name.rfind(kDeletingPrefix, 0) == 0;
}

// Under the root lock: folders of makings and removals that were killed
// (every maker and remover holds the lock until it is done).
void RemoveRootLeftovers(int rootFd) {
  std::vector<std::string> names;
  if (!detail::FolderNamesAt(rootFd, names)) return;
  for (const std::string& name : names) {
    if (IsLeftoverName(name)) detail::RemoveTreeAt(rootFd, name);
  }
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ValidCameraName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

void WriteBytes(int dirFd, const std::string& relative, const uint8_t* bytes, size_t size) {
  if (!detail::WriteFileAtomicAt(dirFd, relative, bytes, size)) {
    throw Error("cannot write " + relative + ": " + FileProblem(errno));
  }
}

void WriteBytes(int dirFd, const std::string& relative, const std::vector<uint8_t>& bytes) {
  WriteBytes(dirFd, relative, bytes.data(), bytes.size());
}

void MakeFolders(int dirFd, const std::string& relative) {
  if (!detail::MakeFoldersAt(dirFd, relative)) throw Error("cannot create " + relative + ": " + FileProblem(errno));
}

// The identity file of the open camera folder `cameraFd` (named `dir`).
Identity ReadIdentityAt(int cameraFd, const fs::path& dir) {
  std::string text;
  if (!detail::ReadTextFileAt(cameraFd, "identity", text, kMaxIdentityFile)) {
    throw Error("not a camera: " + dir.string() + " (identity: " + FileProblem(errno) + ")");
  }
  Identity id;
  id.name = dir.filename().string();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "friendly_name") id.friendlyName = value;
    else if (key == "device_path") id.devicePath = value;
    else if (key == "pnp_friendly_name") id.pnpFriendlyName = value;
    else if (key == "model") id.model = value;
    else if (key == "unique_id") id.uniqueId = value;
    else if (key == "imaging_device_id") id.imagingDeviceId = value;
    else if (key == "dev_sym_link") id.devSymLink = value;
  }
  if (id.devicePath.empty() || id.uniqueId.empty()) throw Error("camera identity incomplete: " + dir.string());
  return id;
}

// The identity of the camera `name` in the open root (never through a link).
Identity ReadIdentityIn(int rootFd, const fs::path& root, const std::string& name) {
  const detail::UniqueFd camera = detail::OpenFolderAt(rootFd, name);
  if (!camera.valid()) throw Error("not a camera: " + (root / name).string() + " (" + FileProblem(errno) + ")");
  return ReadIdentityAt(camera.get(), root / name);
}

std::string IdentityText(const Identity& id) {
  std::ostringstream out;
  out << "friendly_name=" << id.friendlyName << "\n"
      << "device_path=" << id.devicePath << "\n"
      << "pnp_friendly_name=" << id.pnpFriendlyName << "\n"
      << "model=" << id.model << "\n"
      << "unique_id=" << id.uniqueId << "\n"
      << "imaging_device_id=" << id.imagingDeviceId << "\n"
      << "dev_sym_link=" << id.devSymLink << "\n";
  return out.str();
}

std::string RandomUniqueId() {
  std::random_device rd;
  char buf[17];
  std::snprintf(buf, sizeof buf, "08004601%04x%04x", rd() & 0xFFFFu, rd() & 0xFFFFu);
  return buf;
}

void WritePresetFileRaw(int cameraFd, unsigned slot, const State& s, const uint8_t name[8], uint8_t flag) {
  uint8_t bytes[kPresetFileSize] = {};
  bytes[0] = kPresetFileSize;
  bytes[1] = flag;
  std::memcpy(bytes + 2, name, 8);
  for (size_t i = 0; i < 15; ++i) bytes[10 + i] = s.fallback[kPresetFileCodes[i]];
  WriteBytes(cameraFd, detail::PresetFileRelative(static_cast<uint8_t>(slot)), bytes, sizeof bytes);
}

std::vector<uint8_t> SampleJpeg(size_t size, uint8_t seed) {
  std::vector<uint8_t> b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 31u + seed) & 0xFF);
  b[0] = 0xFF; b[1] = 0xD8; b[2] = 0xFF; b[3] = 0xE0;
  b[size - 2] = 0xFF; b[size - 1] = 0xD9;
  return b;
}

// A RIFF-style file of the given kind ("AVI ", "WAVE") or any other bytes.
std::vector<uint8_t> SampleMovie(size_t size, const char (&kind)[5]) {
  std::vector<uint8_t> b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 17u + 5u) & 0xFF);
  std::memcpy(b.data(), "RIFF", 4);
  const uint32_t rest = static_cast<uint32_t>(size - 8);
  for (int k = 0; k < 4; ++k) b[4 + k] = static_cast<uint8_t>(rest >> (8 * k));
  std::memcpy(b.data() + 8, kind, 4);
  return b;
}

std::vector<uint8_t> TextBytes(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void FillSampleContent(int cameraFd, const std::string& volume, const std::string& model) {
  const std::string folder = volume + "/DCIM/100" + Upper(model);
  MakeFolders(cameraFd, folder);
  for (int i = 1; i <= 3; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "/IMG_%04d", i);
    WriteBytes(cameraFd, folder + name + ".JPG", SampleJpeg(40000 + 1000 * static_cast<size_t>(i), static_cast<uint8_t>(i)));
    WriteBytes(cameraFd, folder + name + ".THM", SampleJpeg(1500 + 100 * static_cast<size_t>(i), static_cast<uint8_t>(i + 7)));
  }
  // A second folder of pictures and movies, each with its thumbnail, and a
  // folder of other files.
  const std::string more = volume + "/DCIM/101" + Upper(model);
  MakeFolders(cameraFd, more);
  WriteBytes(cameraFd, more + "/IMG_0004.JPG", SampleJpeg(52000, 4));
  WriteBytes(cameraFd, more + "/IMG_0004.THM", SampleJpeg(1800, 11));
  WriteBytes(cameraFd, more + "/MVI_0005.AVI", SampleMovie(96 * 1024, "AVI "));
  WriteBytes(cameraFd, more + "/MVI_0005.THM", SampleJpeg(1900, 12));
  WriteBytes(cameraFd, more + "/MVI_0006.MPG", SampleMovie(64 * 1024, "MPG "));
  WriteBytes(cameraFd, more + "/MVI_0006.THM", SampleJpeg(2000, 13));
  const std::string misc = volume + "/DCIM/MISC";
  MakeFolders(cameraFd, misc);
  WriteBytes(cameraFd, misc + "/SND_0007.WAV", SampleMovie(16 * 1024, "WAVE"));
  WriteBytes(cameraFd, misc + "/NOTES.TXT", TextBytes("Shot list:\r\n1. Harbour at dawn\r\n2. Market\r\n"));
  WriteBytes(cameraFd, volume + "/INFO.TXT", TextBytes("Virtual camcorder sample medium.\r\n"));
}

}  // namespace

void State::SetImplemented(uint8_t code, bool on) {
  if (on) implemented[code >> 3] = static_cast<uint8_t>(implemented[code >> 3] | (1u << (code & 7)));
  else implemented[code >> 3] = static_cast<uint8_t>(implemented[code >> 3] & ~(1u << (code & 7)));
}

void State::SetRange(uint8_t code, uint8_t min, uint8_t max, uint8_t def) {
  minimum[code] = min;
  maximum[code] = max;
  fallback[code] = def;
  hasRange[code >> 3] = static_cast<uint8_t>(hasRange[code >> 3] | (1u << (code & 7)));
}

State FactoryState(const CameraOptions& options) {
  if (options.slotCount > kMaxSlots) throw Error("slot count above 99");
  if (options.media.empty() || options.media.size() > kMaxMedia) throw Error("1 to 4 media");
  State s{};
  s.supported = options.supported ? 1 : 0;
  s.slotCount = options.slotCount;
  s.mediaCount = static_cast<uint8_t>(options.media.size());
  for (size_t m = 0; m < options.media.size(); ++m) {
    if (options.media[m].volumes < 1 || options.media[m].volumes > kMaxVolumes) throw Error("1 to 4 volumes per medium");
    s.media[m].present = 1;
    s.media[m].volumes = options.media[m].volumes;
    s.media[m].identity = static_cast<uint8_t>(1 + m);
    s.media[m].totalBytes = options.media[m].totalBytes;
  }
  struct Range {
    uint8_t code, min, max, def;
    bool rangeQuery;
  };
  static constexpr Range kRanges[] = {
      // Picture settings: levels 0..12 (centre 6) and the list settings.
      {0x40, 0, 12, 6, true}, {0x41, 0, 12, 6, true}, {0x47, 0, 12, 6, true}, {0x48, 0, 12, 6, true},
      {0x4B, 0, 12, 6, true}, {0x4C, 0, 12, 6, true}, {0x4D, 0, 12, 6, true}, {0x4F, 0, 12, 6, true},
      {0x50, 0, 12, 6, true}, {0x44, 0, 1, 0, false}, {0x49, 0, 1, 0, true},  {0x46, 0, 1, 0, false},
      {0x45, 0, 2, 1, false}, {0x4A, 0, 2, 1, false}, {0x4E, 0, 3, 0, true},
      // Functions 1 to 19.
      {0x26, 0, 6, 0, false}, {0x22, 1, 2, 1, true}, {0x27, 0, 255, 0, false}, {0x29, 1, 2, 1, false},
      {0x19, 0, 7, 0, false}, {0x17, 0, 100, 0, false}, {0x25, 0, 254, 0, true}, {0x23, 1, 2, 1, true},
      {0x24, 0, 255, 0, false}, {0x1D, 0, 255, 0x0F, false}, {0x1C, 0, 255, 0x3F, false},
      {0x13, 0, 1, 0, false}, {0x14, 2, 21, 2, false}, {0x12, 0, 2, 1, false}, {0x16, 0, 3, 0, false},
  };
  for (const Range& r : kRanges) {
    s.minimum[r.code] = r.min;
    s.maximum[r.code] = r.max;
    s.fallback[r.code] = r.def;
    s.value[r.code][0] = r.def;
    if (r.rangeQuery) s.hasRange[r.code >> 3] = static_cast<uint8_t>(s.hasRange[r.code >> 3] | (1u << (r.code & 7)));
  }
  s.value[0x24][0] = 0x12;  // function 14 reads a 16-bit figure
  s.value[0x24][1] = 0x34;
  static constexpr uint8_t kImplemented[] = {0x26, 0x22, 0x27, 0x29, 0x19, 0x20, 0x17, 0x25, 0x23, 0x24, 0x1D,
                                             0x1C, 0x13, 0x14, 0x40, 0x41, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                                             0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x21, 0xF0, 0x12, 0x16,
                                             0x70, 0x71, 0x72, 0x73, 0x74, 0x75};
  for (uint8_t code : kImplemented) s.SetImplemented(code, true);
  return s;
}

// ---------------------------------------------------------------------------
// Small file helpers.

namespace detail {

int64_t NowMs() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool IsBusy(const State& s, int64_t nowMs) noexcept {
  // A window further ahead than its length means the clock went back: not busy.
  return nowMs < s.busyUntilMs && s.busyUntilMs - nowMs <= static_cast<int64_t>(s.busyMs);
}

std::string PresetFileRelative(uint8_t slot) {
  char file[32];
  std::snprintf(file, sizeof file, "ns/dev/campset/Preset%02u.pst", static_cast<unsigned>(slot % 100));
  return file;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Root and camera directories.

void TouchEventsFile(const fs::path& root) noexcept {
  const int fd = ::open((root / kEventsFileName).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
#ifdef _WIN32
  // Windows change notifications report a new last-write time, not an open and close.
  if (fd >= 0) ::_futime(fd, nullptr);
#endif
  if (fd >= 0) ::close(fd);
}

fs::path RootDir() {
#ifdef _WIN32
  // Windows paths as the system holds them (UTF-16), never through the code page.
  if (const wchar_t* home = _wgetenv(L"VCAM_HOME"); home != nullptr && *home != L'\0') return home;
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') throw Error("neither VCAM_HOME nor LOCALAPPDATA is set");
  return fs::path(local) / L"vcam";
#else
  if (const char* home = std::getenv("VCAM_HOME"); home != nullptr && *home != '\0') return home;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') return fs::path(xdg) / "vcam";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') throw Error("neither VCAM_HOME nor HOME is set");
  return fs::path(home) / ".local" / "state" / "vcam";
#endif
}

bool UsingDefaultRoot() {
  const char* home = std::getenv("VCAM_HOME");
  return home == nullptr || *home == '\0';
}

std::vector<std::string> ListCameras(const fs::path& root) {
  std::vector<std::string> names;
  const detail::UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.valid()) return names;
  bool leftovers = false;
  std::vector<std::string> entries;
  detail::FolderNamesAt(rootFd.get(), entries);
  for (const std::string& name : entries) {
    if (IsLeftoverName(name)) leftovers = true;
    if (!ValidCameraName(name)) continue;
    // A camera is a real folder (never a link) holding its identity and state files.
    const detail::UniqueFd camera = detail::OpenFolderAt(rootFd.get(), name);
    struct stat identity{}, state{};
    if (camera.valid() && ::fstatat(camera.get(), "identity", &identity, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(identity.st_mode) && ::fstatat(camera.get(), "state", &state, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(state.st_mode)) {
      names.push_back(name);
    }
  }
  if (leftovers) {
    // Only when no process is making or removing a camera: then every such folder is a leftover.
    const RootLock lock(rootFd.get(), false);
    if (lock.held()) RemoveRootLeftovers(rootFd.get());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ListCamerasCreatingDefault(const fs::path& root) {
  std::vector<std::string> names = ListCameras(root);
  if (names.empty()) {
    try {
      CreateCamera(root, "default", CameraOptions{});
    } catch (const Error&) {
      // Another process may have created it meanwhile; list again.
    }
    names = ListCameras(root);
  }
  return names;
}

std::unique_ptr<Camera> CreateCamera(const fs::path& root, const std::string& name, const CameraOptions& options) {
  if (!ValidCameraName(name)) throw Error("bad camera name '" + name + "' (letters, digits, '-', '_', '.')");
  if (options.model.empty() || options.model.size() > 16 ||
      options.model.find_first_of("#&\\/ \t\r\n=") != std::string::npos) {
    throw Error("bad model name '" + options.model + "'");
  }
  const State state = FactoryState(options);
  std::string uid = options.uniqueId.empty() ? RandomUniqueId() : Lower(options.uniqueId);
  if (uid.size() != 16 || uid.find_first_not_of("0123456789abcdef") != std::string::npos) {
    throw Error("unique id must be 16 hex digits");
  }
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) throw Error("cannot create " + root.string() + ": " + ec.message());
  const detail::UniqueFd rootFd = OpenRoot(root);
  {
    // Identities are allocated from the cameras present: one maker at a time.
    const RootLock lock(rootFd.get(), true);
    RemoveRootLeftovers(rootFd.get());
    struct stat st{};
    if (::fstatat(rootFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) throw Error("camera '" + name + "' exists");

    Identity id;
    id.name = name;
    id.model = Upper(options.model);
    // Instance numbers of the imaging class key: one above the highest in use.
    int instance = 0;
    for (const std::string& other : ListCameras(root)) {
      try {
        const Identity o = ReadIdentityIn(rootFd.get(), root, other);
        if (Lower(o.uniqueId) == uid) throw Error("unique id " + uid + " is taken");
        const size_t bs = o.imagingDeviceId.rfind('\\');
        if (bs != std::string::npos) instance = std::max(instance, std::atoi(o.imagingDeviceId.c_str() + bs + 1) + 1);
      } catch (const Error& e) {
        if (std::string(e.what()).find("taken") != std::string::npos) throw;
      }
    }
    id.uniqueId = uid;
    id.friendlyName = options.friendlyName;
    id.devicePath = "\\\\?\\avc#" + std::string(kMaker) + "&" + Lower(options.model) + "&camcorder&dv#" + uid + "#" +
                    kKsCaptureClass;
    id.pnpFriendlyName = "Marrowfield " + id.model + " Camcorder";
    char inst[8];
    std::snprintf(inst, sizeof inst, "%04d", instance % 10000);
    id.imagingDeviceId = std::string(kImageClass) + "\\" + inst;
    id.devSymLink = "\\??\\vcamstor#" + std::string(kMaker) + "&" + Lower(options.model) + "#" + uid + "#" +
                    Lower(kImageClass);

    // Built beside its final place and renamed in, so that a half-made camera is never listed.
    const std::string work = kCreatingPrefix + name + "-" + std::to_string(::getpid()) + "-" + detail::RandomToken();
    if (::mkdirat(rootFd.get(), work.c_str(), 0755) != 0) {
      throw Error("cannot create " + (root / work).string() + ": " + std::strerror(errno));
    }
    try {
      const detail::UniqueFd workFd = detail::OpenFolderAt(rootFd.get(), work);
      if (!workFd.valid()) throw Error("cannot open " + (root / work).string() + ": " + FileProblem(errno));
      const std::string text = IdentityText(id);
      WriteBytes(workFd.get(), "identity", reinterpret_cast<const uint8_t*>(text.data()), text.size());
      MakeFolders(workFd.get(), "ns/dev/campset");
      const uint8_t noName[8] = {};
      for (unsigned slot = 0; slot <= options.slotCount; ++slot) WritePresetFileRaw(workFd.get(), slot, state, noName, 0);
      for (size_t m = 0; m < options.media.size(); ++m) {
        for (unsigned v = 0; v < options.media[m].volumes; ++v) {
          const std::string volume = "media/" + std::to_string(m) + "/" + std::to_string(v);
          MakeFolders(workFd.get(), volume);
          if (options.sampleContent) FillSampleContent(workFd.get(), volume, options.model);
        }
      }
      std::vector<uint8_t> bytes(kStateFileSize);
      StateHeader header{};
      std::memcpy(header.magic, kStateMagic, sizeof header.magic);
      header.version = kStateVersion;
      header.size = sizeof(State);
      std::memcpy(bytes.data(), &header, sizeof header);
      std::memcpy(bytes.data() + sizeof header, &state, sizeof state);
      std::memcpy(bytes.data() + sizeof header + sizeof state, &state, sizeof state);
      WriteBytes(workFd.get(), "state", bytes);
      WriteBytes(workFd.get(), "lock", {});
      // Never over an existing name; where the file system cannot promise
      // that, the root's lock and the check above do.
      if (::renameat2(rootFd.get(), work.c_str(), rootFd.get(), name.c_str(), RENAME_NOREPLACE) != 0 &&
          !((errno == EINVAL || errno == ENOSYS) && ::renameat(rootFd.get(), work.c_str(), rootFd.get(), name.c_str()) == 0)) {
        throw Error("cannot create camera '" + name + "': " + std::strerror(errno));
      }
    } catch (...) {
      detail::RemoveTreeAt(rootFd.get(), work);
      throw;
    }
  }
  return Camera::Open(root / name);
}

void DeleteCamera(const fs::path& root, const std::string& name) {
  if (!ValidCameraName(name)) throw Error("bad camera name '" + name + "'");
  const detail::UniqueFd rootFd = OpenRoot(root);
  const RootLock lock(rootFd.get(), true);
  ReadIdentityIn(rootFd.get(), root, name);  // refuses a folder that is not a camera
  // Renamed away first so that no process finds a half-deleted camera; a
  // removal that is killed is finished by the next maker or lister.
  const std::string gone = kDeletingPrefix + name + "-" + std::to_string(::getpid()) + "-" + detail::RandomToken();
  if (::renameat(rootFd.get(), name.c_str(), rootFd.get(), gone.c_str()) != 0) {
    throw Error("cannot delete camera '" + name + "': " + std::strerror(errno));
  }
  TouchEventsFile(root);  // a deleted camera is gone like an unplugged one
  detail::RemoveTreeAt(rootFd.get(), gone);
}

std::string UniqueIdField(const std::string& path) {
  if (path.size() < 2) return {};
  size_t hits[3];
  size_t from = 1;
  for (size_t& hit : hits) {
    hit = path.find('#', from);
    if (hit == std::string::npos) return {};
    from = hit + 1;
  }
  return path.substr(hits[1] + 1, hits[2] - hits[1] - 1);
}

std::unique_ptr<Camera> FindCameraByUniqueId(const fs::path& root, const std::string& uniqueId) {
  const std::string wanted = Lower(uniqueId);
  if (wanted.empty()) return nullptr;
  for (const std::string& name : ListCameras(root)) {
    try {
      auto camera = Camera::Open(root / name);
      if (Lower(camera->identity().uniqueId) == wanted) return camera;
    } catch (const Error&) {
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Camera.

Camera::Camera(OpenTag, fs::path dir) : dir_(std::move(dir)) {}

Camera::~Camera() {
  if (map_ != nullptr) ::munmap(map_, kStateFileSize);
  if (lockFd_ >= 0) ::close(lockFd_);
  if (stateFd_ >= 0) ::close(stateFd_);
  if (dirFd_ >= 0) ::close(dirFd_);
}

std::unique_ptr<Camera> Camera::Open(const fs::path& dir) {
  auto camera = std::make_unique<Camera>(OpenTag{}, dir);
  // The camera folder itself may not be a link; below it nothing is followed.
  camera->dirFd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (camera->dirFd_ < 0) throw Error("not a camera: " + dir.string() + " (" + FileProblem(errno) + ")");
  camera->identity_ = ReadIdentityAt(camera->dirFd_, dir);
  detail::UniqueFd lock = detail::OpenFileAt(camera->dirFd_, "lock", O_RDWR | O_CREAT, 0644);
  if (!lock.valid()) throw Error("cannot open the lock of " + dir.string() + ": " + FileProblem(errno));
  detail::UniqueFd fd = detail::OpenFileAt(camera->dirFd_, "state", O_RDWR);
  if (!fd.valid()) throw Error("cannot open the state of " + dir.string() + ": " + FileProblem(errno));
  struct stat st{};
  void* map = MAP_FAILED;
  if (::fstat(fd.get(), &st) == 0 && static_cast<size_t>(st.st_size) == kStateFileSize) {
    map = ::mmap(nullptr, kStateFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  }
  if (map == MAP_FAILED) throw Error("camera state broken: " + dir.string());
  camera->map_ = static_cast<uint8_t*>(map);
  camera->lockFd_ = lock.Release();
  camera->stateFd_ = fd.Release();
  StateHeader header;
  std::memcpy(&header, camera->map_, sizeof header);
  State state;
  if (std::memcmp(header.magic, kStateMagic, sizeof kStateMagic) != 0 || header.version != kStateVersion ||
      header.size != sizeof(State) || header.active > 1 || !camera->PeekState(state)) {
    throw Error("camera state broken: " + dir.string());
  }
  return camera;
}

fs::path Camera::VolumeDir(uint8_t medium, uint8_t volume) const {
  return dir_ / "media" / std::to_string(medium) / std::to_string(volume);
}

fs::path Camera::PresetFile(uint8_t slot) const { return dir_ / detail::PresetFileRelative(slot); }

long Camera::ReadPresetFile(uint8_t slot, uint8_t* buffer, size_t capacity) const noexcept {
  try {
    return detail::ReadSmallFileAt(dirFd_, detail::PresetFileRelative(slot), buffer, capacity);
  } catch (...) {
    return -1;
  }
}

namespace {
std::atomic_ref<uint32_t> HeaderWord(uint8_t* map, size_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(map + offset));
}
constexpr size_t kActiveOffset = offsetof(StateHeader, active);
constexpr size_t kSequenceOffset = offsetof(StateHeader, sequence);
}  // namespace

bool Camera::StateFileWhole() const noexcept {
  // A state file cut short under the map would kill the reader (SIGBUS).
  struct stat st{};
  return ::fstat(stateFd_, &st) == 0 && static_cast<size_t>(st.st_size) == kStateFileSize;
}

bool Camera::LoadState(State& state) noexcept {
  if (!StateFileWhole() || std::memcmp(map_, kStateMagic, sizeof kStateMagic) != 0) return false;
  const uint32_t active = HeaderWord(map_, kActiveOffset).load(std::memory_order_acquire);
  if (active > 1) return false;
  std::memcpy(&state, map_ + sizeof(StateHeader) + active * sizeof(State), sizeof state);
  return ValidState(state);
}

bool Camera::PeekState(State& state) noexcept {
  // Without the lock: retried while a writer flipped the slots meanwhile.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const uint32_t before = HeaderWord(map_, kSequenceOffset).load(std::memory_order_acquire);
    if (!LoadState(state)) {
      if (HeaderWord(map_, kSequenceOffset).load(std::memory_order_relaxed) == before) return false;
      continue;  // torn by a writer: read again
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (HeaderWord(map_, kSequenceOffset).load(std::memory_order_relaxed) == before) return true;
  }
  return false;
}

bool Camera::SaveState(const State& state) noexcept {
  if (!ValidState(state) || !StateFileWhole()) return false;
  const uint32_t active = HeaderWord(map_, kActiveOffset).load(std::memory_order_relaxed) & 1u;
  const uint32_t next = active ^ 1u;
  std::memcpy(map_ + sizeof(StateHeader) + next * sizeof(State), &state, sizeof state);
  std::atomic_thread_fence(std::memory_order_release);
  HeaderWord(map_, kActiveOffset).store(next, std::memory_order_release);
  HeaderWord(map_, kSequenceOffset).fetch_add(1, std::memory_order_release);
  return true;
}

Camera::LockedState::LockedState(Camera& camera, std::nothrow_t) : camera_(camera) {
  camera_.mutex_.lock();
  while (::flock(camera_.lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      camera_.mutex_.unlock();
      return;
    }
  }
  locked_ = true;
  ok_ = camera_.LoadState(state);
  original_ = state;
  if (!ok_) Release();
}

Camera::LockedState::LockedState(Camera& camera) : LockedState(camera, std::nothrow) {
  if (!ok_) throw Error("camera state broken: " + camera.dir().string());
}

Camera::LockedState::~LockedState() { Release(); }

bool Camera::LockedState::Commit() noexcept {
  if (!locked_) return false;
  if (std::memcmp(&state, &original_, sizeof state) == 0) return true;
  const bool unplugged = original_.plugged && !state.plugged;
  if (unplugged) ++state.unplugCount;
  if (!camera_.SaveState(state)) return false;
  original_ = state;
  // Watchers rescan when woken, so the state is saved first.
  if (unplugged) TouchEventsFile(camera_.dir_.parent_path());
  return true;
}

void Camera::LockedState::Release() noexcept {
  if (!locked_) return;
  ::flock(camera_.lockFd_, LOCK_UN);
  camera_.mutex_.unlock();
  locked_ = false;
}

State Camera::ReadState() {
  LockedState locked(*this);
  return locked.state;
}

void Camera::SetPlugged(bool plugged) {
  Modify([&](State& s) { s.plugged = plugged ? 1 : 0; });
}

void Camera::AddFault(const Fault& fault) {
  if (fault.kind == FaultKind::None || fault.kind > FaultKind::UnplugAfter) throw Error("no fault kind");
  if (fault.channel > 2 || fault.avcFrame > 2) throw Error("bad fault channel or frame kind");
  if (fault.times == 0) throw Error("a fault applies at least once");
  Modify([&](State& s) {
    for (Fault& f : s.faults) {
      if (f.kind == FaultKind::None) {
        f = fault;
        return;
      }
    }
    throw Error("fault table full (16 faults)");
  });
}

void Camera::ClearFaults() {
  Modify([](State& s) {
    for (Fault& f : s.faults) f = Fault{};
  });
}

void Camera::Reset() {
  LockedState locked(*this);
  CameraOptions options;
  options.model = identity_.model;
  options.slotCount = locked.state.slotCount;
  options.media.clear();
  for (uint8_t m = 0; m < locked.state.mediaCount; ++m) {
    options.media.push_back(MediumOptions{locked.state.media[m].volumes, locked.state.media[m].totalBytes});
  }
  options.supported = locked.state.supported != 0;
  State fresh = FactoryState(options);
  // The media stay as they are: a reset does not exchange them.
  std::memcpy(fresh.media, locked.state.media, sizeof fresh.media);
  fresh.traceMaxBytes = locked.state.traceMaxBytes;
  const uint8_t noName[8] = {};
  for (unsigned slot = 0; slot <= fresh.slotCount; ++slot) WritePresetFileRaw(dirFd_, slot, fresh, noName, 0);
  locked.state = fresh;
  if (!locked.Commit()) throw Error("cannot write the camera state");
}

void Camera::ExchangeMedium(uint8_t medium) {
  Modify([&](State& s) {
    if (medium >= s.mediaCount) throw Error("no medium " + std::to_string(medium));
    uint8_t next = static_cast<uint8_t>(s.media[medium].identity + 1);
    if (next == 0) next = 1;
    s.media[medium].identity = next;
  });
}

std::vector<fs::path> Camera::TraceFiles() const {
  std::vector<fs::path> files;
  for (const char* name : {kTraceOldName, kTraceName}) {
    struct stat st{};
    if (::fstatat(dirFd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0) files.push_back(dir_ / name);
  }
  return files;
}

std::vector<std::string> Camera::TraceLines() const {
  std::vector<std::string> lines;
  for (const char* name : {kTraceOldName, kTraceName}) {
    std::string text;
    if (!detail::ReadTextFileAt(dirFd_, name, text, SIZE_MAX)) {
      if (errno == ENOENT) continue;
      throw Error("cannot read " + (dir_ / name).string() + ": " + FileProblem(errno));
    }
    size_t from = 0;
    while (from < text.size()) {
      const size_t end = text.find('\n', from);
      if (end == std::string::npos) {
        lines.push_back(text.substr(from));
        break;
      }
      lines.push_back(text.substr(from, end - from));
      from = end + 1;
    }
  }
  return lines;
}

std::vector<TraceEntry> Camera::ReadTrace() const {
  std::vector<TraceEntry> entries;
  for (const std::string& text : TraceLines()) {
    std::istringstream fields(text);
    TraceEntry entry;
    if (fields >> entry.time >> entry.camera >> entry.channel >> entry.frame >> entry.response >> entry.result)
      entries.push_back(std::move(entry));
  }
  return entries;
}

void Camera::ClearTrace() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  ::flock(lockFd_, LOCK_EX);
  ::unlinkat(dirFd_, kTraceName, 0);
  ::unlinkat(dirFd_, kTraceOldName, 0);
  ::flock(lockFd_, LOCK_UN);
}

void Camera::Trace(const char* channel, const uint8_t* frame, uint32_t frameLength, const uint8_t* response,
                   uint32_t responseLength, int32_t result, uint32_t traceMax) noexcept {
  // One line, built in place: time camera channel frame response result.
  static constexpr char kHex[] = "0123456789ABCDEF";
  char line[3 * 1024 + 512];
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm utc{};
  gmtime_r(&ts.tv_sec, &utc);
  int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ %s %s ", utc.tm_year + 1900,
                        utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ts.tv_nsec / 1000,
                        identity_.name.c_str(), channel);
  if (n < 0) return;
  size_t pos = static_cast<size_t>(n);
  auto hex = [&](const uint8_t* bytes, uint32_t count) {
    if (bytes == nullptr || count == 0) {
      line[pos++] = '-';
    } else {
      // As many bytes as leave room for the rest of the line (bounded once, not per byte).
      const size_t room = pos + 3 < sizeof line - 32 ? (sizeof line - 32 - pos - 2) / 2 : 0;
      const uint32_t shown = static_cast<uint32_t>(std::min<size_t>(count, room));
      for (uint32_t i = 0; i < shown; ++i) {
        line[pos++] = kHex[bytes[i] >> 4];
        line[pos++] = kHex[bytes[i] & 15];
      }
    }
    line[pos++] = ' ';
  };
  hex(frame, std::min<uint32_t>(frameLength, 1024));
  hex(response, std::min<uint32_t>(responseLength, 1024));
  n = std::snprintf(line + pos, sizeof line - pos, "%d\n", result);
  if (n < 0) return;
  pos += static_cast<size_t>(n);

  // Under the camera lock, so the file's end is this line's start: a line
  // that cannot be written whole (disk full) is taken back, never left cut.
  detail::UniqueFd fd = detail::OpenFileAt(dirFd_, kTraceName, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!fd.valid()) return;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return;
  if (!detail::WriteAll(fd.get(), line, pos)) {
    if (::ftruncate(fd.get(), st.st_size) != 0) {
      // Nothing more can be done: the exchange itself has been answered.
    }
    return;
  }
  const bool rotate = static_cast<uint64_t>(st.st_size) + pos > traceMax;
  fd.Close();
  if (rotate) ::renameat(dirFd_, kTraceName, dirFd_, kTraceOldName);
}

bool Camera::WaitTransferControl(bool read, uint32_t startSeq, uint32_t waitMs, bool& abort) noexcept {
  // The transfer's lock is released meanwhile: the control frame arrives on
  // another handle, perhaps from another process, and changes the state file.
  const int64_t deadline = detail::NowMs() + waitMs;
  State s{};
  while (detail::NowMs() < deadline) {
    ::usleep(500);
    if (!PeekState(s)) continue;
    if (!s.plugged) return false;
    const uint32_t seq = read ? s.readControlSeq : s.writeControlSeq;
    if (seq != startSeq) {
      abort = (read ? s.readControlAction : s.writeControlAction) == 0xFF;
      return true;
    }
  }
  abort = true;  // no answer in time: the transfer is abandoned
  return true;
}

}  // namespace vcam
