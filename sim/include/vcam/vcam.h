// The virtual camcorder: a camera is a state directory under the root folder
// ($VCAM_HOME, else $XDG_STATE_HOME/vcam, else ~/.local/state/vcam). It
// answers raw AV/C frames and storage command frames as a camcorder and its
// storage driver would, can be scripted to misbehave, and traces every
// exchange. Several processes may drive one camera at once: every exchange
// runs under the camera's file lock and every change is written atomically.
// The state directory format is described in sim/README.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vcam {

// Administrative failures (bad camera directory, bad option, I/O error).
// Exchanges never throw: they answer with a result or a status.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kAvcFrameSize = 512;

// AV/C transport results.
inline constexpr int32_t kAvcOk = 0;
inline constexpr int32_t kAvcNotImplemented = 50;
inline constexpr int32_t kAvcRejected = 71;
inline constexpr int32_t kAvcAborted = 1235;
inline constexpr int32_t kAvcTimeout = 1460;
inline constexpr int32_t kDeviceRemoved = 1617;
inline constexpr int32_t kErrorBusy = 170;
inline constexpr int32_t kErrorInvalidParameter = 87;
inline constexpr int32_t kErrorGenFailure = 31;  // the camera's state cannot be read

inline constexpr uint8_t kModeCamera = 0x38;
inline constexpr uint8_t kModeVcr = 0x20;
inline constexpr uint8_t kMaxSlots = 99;
inline constexpr uint8_t kMaxMedia = 4;
inline constexpr uint8_t kMaxVolumes = 4;
inline constexpr size_t kMaxFaults = 16;

// The camera's identity as the outside drivers report it.
struct Identity {
  std::string name;             // the state directory's name
  std::string friendlyName;     // DirectShow "FriendlyName"
  std::string devicePath;       // DirectShow "DevicePath"
  std::string pnpFriendlyName;  // device manager friendly name
  std::string model;            // second '&' word of the device path
  std::string uniqueId;         // third '#' field of the device path and of the link
  std::string imagingDeviceId;  // imaging-service device id (class key name \ instance)
  std::string devSymLink;       // "DevSymLink" of that class key ("\??\..." form)
};

struct MediumOptions {
  uint8_t volumes = 1;
  uint32_t totalBytes = 64u * 1024u * 1024u;
};

struct CameraOptions {
  std::string model = "KV7";
  uint8_t slotCount = 3;
  std::vector<MediumOptions> media = std::vector<MediumOptions>(1);
  bool sampleContent = true;  // DCIM folders of images (with thumbnails), movies and other files
  bool supported = true;      // answers the identification query as a supported camera
  std::string friendlyName = "DV Camera";
  std::string uniqueId;       // 16 hex digits; generated when empty
};

// Scripted faults. Each fault matches some exchanges and applies to the next
// `times` of them (kForever: until cleared); the first matching fault wins.
enum class FaultKind : uint8_t {
  None = 0,
  AvcResult = 1,      // AV/C exchange answers `value` (1460, 71, 50, 1617, 1235, ...)
  StorageStatus = 2,  // storage frame answers status byte `value`
  TransportBusy = 3,  // the exchange fails with ERROR_BUSY (170), nothing is done
  OverDeliver = 4,    // ReadFile/ReadThumbnail reports `value` bytes more than it may
  UnplugAfter = 5,    // unplugs the camera once `times` more exchanges have run
};
inline constexpr uint32_t kForever = 0xFFFFFFFFu;
inline constexpr uint16_t kAny = 0xFFFF;

struct Fault {
  FaultKind kind = FaultKind::None;
  // Channel: 0 both, 1 AV/C, 2 storage (TransportBusy; others imply theirs).
  uint8_t channel = 0;
  // AV/C match: frame 0 any, 1 vendor, 2 general; key = command set (vendor)
  // or address (general); code = command code or opcode; ctype byte.
  uint8_t avcFrame = 0;
  uint8_t reserved = 0;
  uint16_t key = kAny;
  uint16_t code = kAny;  // AV/C code, or storage opcode
  uint16_t ctype = kAny;
  uint16_t reserved2 = 0;
  int32_t value = 0;
  uint32_t times = kForever;
};

// A snapshot of the camera's mutable state (the state file).
struct MediumState {
  uint8_t present = 1;
  uint8_t volumes = 1;
  uint8_t identity = 1;  // changes when the medium is exchanged
  uint8_t flags = 0;     // bit 0, bit 1: protected
  uint32_t totalBytes = 0;
};

struct State {
  uint8_t plugged = 1;
  uint8_t supported = 1;
  uint8_t mode = kModeCamera;
  uint8_t emergency = 0;
  uint8_t storageMode = 0x10;  // QueryMode answer
  uint8_t slotCount = 3;
  uint8_t activeSlot = 0;
  uint8_t presetAvailable = 1;  // answer to code 0x73
  uint8_t subunitC8 = 0;        // camera subunit opcode 0xC8 value
  uint8_t chunkWait = 0;        // long transfers wait for a control frame per chunk
  uint8_t mediaCount = 1;
  uint8_t noVideo = 0;          // 1: the camera gives no picture (its preview cannot be built)
  uint32_t busyMs = 300;        // busy window after a preset-changing command
  int64_t busyUntilMs = 0;      // CLOCK_REALTIME milliseconds
  uint32_t chunkSize = 0;       // 0: transfers in one piece
  uint32_t chunkWaitMs = 5000;  // longest wait for a control frame
  uint32_t traceMaxBytes = 1u << 20;
  uint32_t readControlSeq = 0;  // transfer controls received
  uint32_t writeControlSeq = 0;
  uint8_t readControlAction = 0;
  uint8_t writeControlAction = 0;
  uint16_t slotCountAnswer = 0;  // non-zero: CountEntries selector 1 answers this instead
  uint8_t value[256][2] = {};  // vendor command set 0x0001: operand values per code
  uint8_t minimum[256] = {};
  uint8_t maximum[256] = {};
  uint8_t fallback[256] = {};      // defaults (range query, reset)
  uint8_t hasRange[32] = {};       // bit per code: answers the range query
  uint8_t implemented[32] = {};    // bit per code of command set 0x0001
  uint8_t implementedOther = 0x0F; // bit 0 mode query, 1 identification, 2 CONNECT AV, 3 opcode 0xC8
  // Bumped at every unplug (wrapping), so a watcher that wakes after an
  // unplug and a replug still sees that the camera went away.
  uint8_t unplugCount = 0;
  uint8_t contentSerial = 0;   // rises with every change the camera makes to its media
  uint8_t reserved2[1] = {};
  uint8_t permission[kMaxSlots + 1] = {};
  MediumState media[kMaxMedia] = {};
  Fault faults[kMaxFaults] = {};

  bool Implemented(uint8_t code) const { return (implemented[code >> 3] >> (code & 7)) & 1; }
  void SetImplemented(uint8_t code, bool on);
  bool HasRange(uint8_t code) const { return (hasRange[code >> 3] >> (code & 7)) & 1; }
  void SetRange(uint8_t code, uint8_t min, uint8_t max, uint8_t def);
};

// The factory state of a camera with these options.
State FactoryState(const CameraOptions& options);

// The picture codes in the order of bytes 10-24 of a preset file.
extern const uint8_t kPresetFileCodes[15];
inline constexpr uint32_t kPresetFileSize = 25;

// One exchange of the trace: TIME CAMERA CHANNEL FRAME RESPONSE RESULT.
struct TraceEntry {
  std::string time;
  std::string camera;
  std::string channel;   // "avc" or "storage"
  std::string frame;     // upper-case hex
  std::string response;  // upper-case hex, "-" when nothing was answered
  int32_t result = 0;
};

class Camera {
  struct OpenTag {
    explicit OpenTag() = default;
  };

 public:
  // Only Open makes cameras (the tag cannot be named outside).
  Camera(OpenTag, std::filesystem::path dir);
  // Opens the camera in that state directory; throws Error when it is not one.
  static std::unique_ptr<Camera> Open(const std::filesystem::path& dir);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  const Identity& identity() const { return identity_; }
  const std::filesystem::path& dir() const { return dir_; }

  // One AV/C exchange: the first `length` bytes of the frame are the command;
  // the answer is left in the same buffer. Returns an AV/C transport result.
  int32_t AvcExchange(uint8_t (&frame)[kAvcFrameSize], uint32_t length) noexcept;

  // One storage exchange: the frame is answered in place (status in byte 1).
  // `data`/`dataLength`: the area of ReadThumbnail, ReadFile and WriteFile.
  // Returns 0 or a Win32 error (170 busy, 1617 unplugged, 87 unusable frame).
  int32_t StorageExchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) noexcept;

  // Administration (each under the camera lock; throws Error on failure).
  State ReadState();
  // Reads the state without the lock (a consistent but possibly stale copy:
  // the state file is only ever replaced whole). False when broken.
  bool PeekState(State& state) noexcept;
  template <typename F>
  void Modify(F&& change) {
    LockedState locked(*this);
    change(locked.state);
    if (!locked.Commit()) throw Error("cannot write the camera state: " + dir_.string());
  }
  void SetPlugged(bool plugged);
  void AddFault(const Fault& fault);
  void ClearFaults();
  // Restores the factory state of registers, modes, slots and preset files
  // (identity and media content stay); faults are cleared.
  void Reset();
  // The trace files, oldest first.
  std::vector<std::filesystem::path> TraceFiles() const;
  // The trace's lines as written, oldest first; throws Error when a trace
  // file is not a regular file or cannot be read.
  std::vector<std::string> TraceLines() const;
  // The trace's lines, oldest first; lines that do not parse are skipped.
  std::vector<TraceEntry> ReadTrace() const;
  void ClearTrace();
  // Bumps a medium's identity byte (the medium was exchanged).
  void ExchangeMedium(uint8_t medium);

  // Reads at most `capacity` bytes of a slot's preset file; -1 when it is
  // missing, unreadable or not a regular file (a link is never followed).
  long ReadPresetFile(uint8_t slot, uint8_t* buffer, size_t capacity) const noexcept;

  // Paths inside the state directory (the camera itself never opens a file
  // by path: it walks from its open folder without following links).
  std::filesystem::path NamespaceDir() const { return dir_ / "ns"; }
  std::filesystem::path VolumeDir(uint8_t medium, uint8_t volume) const;
  std::filesystem::path PresetFile(uint8_t slot) const;

 private:

  // Holds the in-process mutex and the camera's file lock, with the state
  // loaded; Commit writes it back when it changed.
  class LockedState {
   public:
    explicit LockedState(Camera& camera);  // throws Error
    LockedState(Camera& camera, std::nothrow_t);  // check ok()
    ~LockedState();
    LockedState(const LockedState&) = delete;
    LockedState& operator=(const LockedState&) = delete;
    bool ok() const { return ok_; }
    bool Commit() noexcept;
    void Release() noexcept;  // unlocks early (uncommitted changes are dropped)
    State state{};

   private:
    Camera& camera_;
    State original_{};
    bool ok_ = false;
    bool locked_ = false;
  };
  friend class LockedState;
  friend struct AvcEngine;
  friend struct StorageEngine;

  bool StateFileWhole() const noexcept;
  bool LoadState(State& state) noexcept;  // under the lock; false for a broken state
  bool SaveState(const State& state) noexcept;  // under the lock; refuses a broken state
  void Trace(const char* channel, const uint8_t* frame, uint32_t frameLength, const uint8_t* response,
             uint32_t responseLength, int32_t result, uint32_t traceMax) noexcept;
  bool WaitTransferControl(bool read, uint32_t startSeq, uint32_t waitMs, bool& abort) noexcept;

  std::filesystem::path dir_;
  // The state file, mapped: a header and two state slots. A change is
  // written into the inactive slot, then the active index flips, so a process
  // killed mid-write leaves the previous state and lock-free readers retry.
  uint8_t* map_ = nullptr;
  Identity identity_;
  int dirFd_ = -1;    // the camera folder: every file is opened from here
  int stateFd_ = -1;  // the mapped state file, for its size
  int lockFd_ = -1;
  std::recursive_mutex mutex_;
};

// The root folder of cameras: $VCAM_HOME, else the per-user default
// (on Windows %LOCALAPPDATA%\vcam).
std::filesystem::path RootDir();
// The file in a root that is touched (opened for writing and closed; on
// Windows its last-write time set) after every unplug of one of its
// cameras, for watchers to wait on.
inline constexpr const char* kEventsFileName = ".events";
// True when neither VCAM_HOME is set: the root is the per-user default.
bool UsingDefaultRoot();

// Names of the cameras in a root, sorted.
std::vector<std::string> ListCameras(const std::filesystem::path& root);
// Lists the cameras of the default root; when that root has none, creates
// the default camera "default" first (a newcomer's first run finds one).
std::vector<std::string> ListCamerasCreatingDefault(const std::filesystem::path& root);

// Creates a camera; throws Error when the name is taken or not a plain name.
std::unique_ptr<Camera> CreateCamera(const std::filesystem::path& root, const std::string& name,
                                     const CameraOptions& options);
void DeleteCamera(const std::filesystem::path& root, const std::string& name);

// Finds a camera of the root by its unique id (ignoring case); null when none.
std::unique_ptr<Camera> FindCameraByUniqueId(const std::filesystem::path& root, const std::string& uniqueId);

// Text of the '#'-field between the second and third '#' (the device path's
// and the link's unique id; the first search starts at the second character).
std::string UniqueIdField(const std::string& path);

}  // namespace vcam
