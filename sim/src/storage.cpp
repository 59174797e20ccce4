// The camera's storage driver: answers to storage command frames.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "files.h"
#include "internal.h"
#include "names.h"
#include "storage/frames.h"
#include "vcam/vcam.h"
#include "posix.h"  // last: on Windows it renames POSIX names

namespace vcam {

namespace sf = storage;
using detail::Presentation;

namespace {

constexpr uint32_t kNamespaceFileMax = 256;  // preset files are read and written whole

// Bytes of the regular files in a folder tree (links are not followed).
uint64_t UsedBytes(int folderFd, int depth = 0) {
  std::vector<std::string> names;
  if (!detail::FolderNamesAt(folderFd, names)) return 0;
  uint64_t used = 0;
  for (const std::string& name : names) {
    struct stat st{};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      used += static_cast<uint64_t>(st.st_size);
    } else if (S_ISDIR(st.st_mode) && depth < 64) {
      const detail::UniqueFd sub = detail::OpenFolderAt(folderFd, name);
      if (sub.valid()) used += UsedBytes(sub.get(), depth + 1);
    }
  }
  return used;
}

std::string VolumeRelative(uint8_t medium, uint8_t volume) {
  return "media/" + std::to_string(medium) + "/" + std::to_string(volume);
}

// Folder listings kept between the pages of a listing, so that a page costs
// what it returns rather than a read and sort of the whole folder. A listing
// is reused while the folder's status is unchanged and was taken after the
// folder's last change by a clock tick (a change within the same tick as the
// listing could leave the folder's time unchanged); the returned entries are
// looked at again on every page.
class ListingCache {
 public:
  using Listing = std::shared_ptr<const std::vector<detail::HostEntry>>;

  Listing Get(int folderFd, Presentation presentation) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat st{};
    if (::fstat(folderFd, &st) != 0) return nullptr;
    const Key key{st.st_dev, st.st_ino, presentation};
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(key);
      if (it != entries_.end() && Same(it->second.st, st)) return it->second.listing;
    }
    auto listing = std::make_shared<std::vector<detail::HostEntry>>();
    if (!detail::ListHostFolder(folderFd, presentation, *listing)) return nullptr;
    const bool settled = std::tie(now.tv_sec, now.tv_nsec) > std::tie(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) &&
                         std::tie(now.tv_sec, now.tv_nsec) > std::tie(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    if (settled) {
      std::lock_guard lock(mutex_);
      if (entries_.size() >= kMaxFolders) entries_.clear();
      entries_[key] = Cached{st, listing};
    }
    return listing;
  }

  static ListingCache& Instance() {
    static ListingCache cache;
    return cache;
  }

 private:
  static constexpr size_t kMaxFolders = 256;
  using Key = std::tuple<dev_t, ino_t, Presentation>;
  struct Cached {
    struct stat st;
    Listing listing;
  };
  static bool Same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && a.st_size == b.st_size;
  }
  std::mutex mutex_;
  std::map<Key, Cached> entries_;
};

// A listed entry as it is now: size, time and protection change without the folder changing.
bool Refresh(int folderFd, detail::HostEntry& e) {
  struct stat st{};
  if (::fstatat(folderFd, e.host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode) != e.folder || (!e.folder && !S_ISREG(st.st_mode))) return false;
  e.readOnly = (st.st_mode & S_IWUSR) == 0;
  e.size = e.folder ? 0 : static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), 0xFFFFFFFFu));
  e.mtime = st.st_mtim.tv_sec;
  return true;
}

sf::DosDateTime ToDos(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm utc{};
  gmtime_r(&t, &utc);
  sf::DosDateTime d;
  d.year = static_cast<uint16_t>(std::clamp(utc.tm_year + 1900, 1980, 2107));
  d.month = static_cast<uint8_t>(utc.tm_mon + 1);
  d.day = static_cast<uint8_t>(utc.tm_mday);
  d.hour = static_cast<uint8_t>(utc.tm_hour);
  d.minute = static_cast<uint8_t>(utc.tm_min);
  d.second = static_cast<uint8_t>(utc.tm_sec);
  return d;
}

// "IMG_0001.JPG" -> "IMG_0001.THM"; empty for a thumbnail itself.
std::string ThumbnailName(const std::string& presented) {
  const size_t dot = presented.rfind('.');
  const std::string stem = dot == std::string::npos ? presented : presented.substr(0, dot);
  if (dot != std::string::npos) {
    std::string ext = presented.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (ext == "THM") return {};
  }
  return stem + ".THM";
}

// Pending long transfer, carried on without the camera lock.
struct Transfer {
  bool active = false;
  bool read = true;
  detail::UniqueFd fd;
  uint64_t total = 0;
  uint32_t chunk = 0;
  uint32_t waitMs = 0;
  uint32_t controlSeq = 0;
  detail::UniqueFd folder;  // write: the folder of the temporary file and the target
  std::string temp;
  std::string target;
  uint8_t slot = 0xFF;  // write into a preset slot: busy afterwards
};

}  // namespace

struct StorageEngine {
  Camera& camera;
  State& s;
  uint8_t* f;
  uint32_t length;
  uint8_t* data;
  uint32_t dataLength;
  Transfer& transfer;

  void Status(uint8_t status) { f[sf::kStatusOffset] = status; }

  // Checks medium, volume and identity bytes; on success opens the base
  // folder (never through a link).
  uint8_t Base(detail::UniqueFd& base, Presentation& presentation, bool& onMedium) {
    const uint8_t medium = f[sf::kMediumOffset];
    if (medium == sf::kDeviceNamespace) {
      base = detail::OpenFolderAt(camera.dirFd_, "ns");
      if (!base.valid()) return sf::kStatusNotFound;
      presentation = Presentation::Namespace;
      onMedium = false;
      return sf::kStatusOk;
    }
    if (medium >= s.mediaCount) return sf::kStatusInvalidParameter;
    const MediumState& m = s.media[medium];
    if (!m.present) return sf::kStatusNoMedium;
    if (f[sf::kIdentityOffset] != m.identity) return sf::kStatusMediaChanged;
    uint8_t volume = f[sf::kVolumeOffset];
    if (volume == sf::kNoVolume) volume = 0;
    if (volume >= m.volumes) return sf::kStatusInvalidParameter;
    base = detail::OpenFolderAt(camera.dirFd_, VolumeRelative(medium, volume));
    if (!base.valid()) return sf::kStatusNotFound;
    presentation = Presentation::Media;
    onMedium = true;
    return sf::kStatusOk;
  }

  bool MediumProtected() const {
    const uint8_t medium = f[sf::kMediumOffset];
    return medium < s.mediaCount && (s.media[medium].flags & 0x03) != 0;
  }

  // The preset slot a namespace file stands for ("PresetNN.pst"), or 0xFF.
  static uint8_t PresetSlotOf(const std::string& leaf) {
    if (leaf.size() != 12) return 0xFF;
    if (strncasecmp(leaf.c_str(), "Preset", 6) != 0 || strcasecmp(leaf.c_str() + 8, ".pst") != 0) return 0xFF;
    if (!std::isdigit(static_cast<unsigned char>(leaf[6])) || !std::isdigit(static_cast<unsigned char>(leaf[7]))) return 0xFF;
    return static_cast<uint8_t>((leaf[6] - '0') * 10 + (leaf[7] - '0'));
  }

  uint8_t PathAt(size_t offset, std::string_view& path) {
    return sf::GetPath(f + offset, path) ? sf::kStatusOk : sf::kStatusInvalidParameter;
  }

  int32_t Run() {
    switch (static_cast<sf::Opcode>(f[0])) {
      case sf::Opcode::QueryMode: f[sf::query_mode::kMode] = s.storageMode; return 0;
      case sf::Opcode::ListMedia: return ListMedia();
      case sf::Opcode::MediaStatus: return MediaStatus();
      case sf::Opcode::ListDirectory: return ListDirectory();
      case sf::Opcode::CountEntries: return CountEntries();
      case sf::Opcode::DeleteFile: return DeleteFile();
      case sf::Opcode::ReadThumbnail: return ReadThumbnail();
      case sf::Opcode::ReadFile: return ReadFile();
      case sf::Opcode::WriteFile: return WriteFile();
      case sf::Opcode::ReadTransferControl: case sf::Opcode::WriteTransferControl: return TransferControl();
    }
    Status(sf::kStatusInvalidParameter);
    return 0;
  }

  int32_t ListMedia() {
    std::memset(f + 2, 0, length - 2);
    f[sf::list_media::kCount] = s.mediaCount;
    for (uint8_t m = 0; m < s.mediaCount; ++m) f[sf::list_media::kVolumes + m] = s.media[m].present ? s.media[m].volumes : 0;
    Status(sf::kStatusOk);
    return 0;
  }

  int32_t MediaStatus() {
    const uint8_t medium = f[sf::kMediumOffset];
    if (medium >= s.mediaCount) return Status(sf::kStatusInvalidParameter), 0;
    const MediumState& m = s.media[medium];
    if (!m.present) return Status(sf::kStatusNoMedium), 0;
    const uint64_t used = MediumUsedBytes(medium);
    f[sf::media_status::kIdentity] = m.identity;
    f[sf::media_status::kFlags] = m.flags;
    sf::PutBe32(f + sf::media_status::kTotal, m.totalBytes);
    sf::PutBe32(f + sf::media_status::kAvailable, used >= m.totalBytes ? 0 : static_cast<uint32_t>(m.totalBytes - used));
    Status(sf::kStatusOk);
    return 0;
  }

  // The bytes a medium's volumes hold, counted again only when the camera has
  // changed its media (or the medium was exchanged) since the last count in
  // this process. Files put into a medium folder behind the camera's back are
  // counted after its next change.
  uint64_t MediumUsedBytes(uint8_t medium) {
    static std::mutex mutex;
    static std::map<std::string, std::pair<uint32_t, uint64_t>> counted;  // medium folder -> (stamp, bytes)
    const MediumState& m = s.media[medium];
    const std::string key = camera.dir().string() + "/media/" + std::to_string(medium);
    const uint32_t stamp = (uint32_t{s.contentSerial} << 16) | (uint32_t{m.identity} << 8) | m.volumes;
    {
      std::lock_guard lock(mutex);
      auto it = counted.find(key);
      if (it != counted.end() && it->second.first == stamp) return it->second.second;
    }
    uint64_t used = 0;
    for (uint8_t v = 0; v < m.volumes; ++v) {
      const detail::UniqueFd volume = detail::OpenFolderAt(camera.dirFd_, VolumeRelative(medium, v));
      if (volume.valid()) used += UsedBytes(volume.get());
    }
    std::lock_guard lock(mutex);
    if (counted.size() >= 256) counted.clear();
    counted[key] = {stamp, used};
    return used;
  }

  uint8_t ResolveFolder(size_t pathOffset, ListingCache::Listing& listing, detail::UniqueFd& folder) {
    detail::UniqueFd base;
    Presentation presentation;
    bool onMedium;
    if (uint8_t st = Base(base, presentation, onMedium); st != sf::kStatusOk) return st;
    std::string_view path;
    if (uint8_t st = PathAt(pathOffset, path); st != sf::kStatusOk) return st;
    detail::Resolved r;
    if (uint8_t st = detail::ResolvePath(base.get(), path, presentation, false, r); st != sf::kStatusOk) return st;
    if (!r.folder) return sf::kStatusNotAFolder;
    folder = detail::OpenResolvedFolder(r);
    if (!folder.valid()) return sf::kStatusNotFound;
    listing = ListingCache::Instance().Get(folder.get(), presentation);
    if (listing == nullptr) return sf::kStatusNotFound;
    return sf::kStatusOk;
  }

  int32_t ListDirectory() {
    ListingCache::Listing listing;
    detail::UniqueFd folder;
    // The path must be terminated within a path field, not merely within the frame.
    if (uint8_t st = ResolveFolder(sf::list_directory::kPath, listing, folder); st != sf::kStatusOk) {
      return Status(st), 0;
    }
    const uint32_t first = sf::GetBe16(f + sf::list_directory::kFirst);
    const uint32_t wanted = std::min<uint32_t>(f[sf::list_directory::kWanted], sf::list_directory::kEntriesPerCall);
    const uint32_t total = static_cast<uint32_t>(listing->size());
    const uint32_t start = std::min(first, total);
    const uint32_t count = std::min(wanted, total - start);
    std::memset(f + sf::list_directory::kEntries, 0, sf::kListDirectoryLength - sf::list_directory::kEntries);
    for (uint32_t i = 0; i < count; ++i) {
      detail::HostEntry e = (*listing)[start + i];
      if (!Refresh(folder.get(), e)) return Status(sf::kStatusNotFound), 0;  // changed under the listing
      sf::DirectoryEntry entry;
      const size_t dot = e.presented.rfind('.');
      const std::string stem = dot == std::string::npos ? e.presented : e.presented.substr(0, dot);
      const std::string ext = dot == std::string::npos ? std::string() : e.presented.substr(dot + 1);
      std::memcpy(entry.name, stem.data(), std::min<size_t>(stem.size(), 8));
      std::memcpy(entry.extension, ext.data(), std::min<size_t>(ext.size(), 3));
      entry.attributes = static_cast<uint8_t>((e.folder ? sf::kAttributeFolder : 0) | (e.readOnly ? sf::kAttributeReadOnly : 0));
      entry.time = ToDos(e.mtime);
      entry.size = e.size;
      sf::EncodeDirectoryEntry(entry, f + sf::list_directory::kEntries + i * sf::kDirectoryEntrySize);
    }
    f[sf::list_directory::kWanted] = static_cast<uint8_t>(count);
    f[sf::list_directory::kEndFlag] = start + count >= total ? 1 : 0;
    Status(sf::kStatusOk);
    return 0;
  }

  int32_t CountEntries() {
    ListingCache::Listing listing;
    detail::UniqueFd folder;
    if (uint8_t st = ResolveFolder(sf::count_entries::kPath, listing, folder); st != sf::kStatusOk) return Status(st), 0;
    size_t count = listing->size();
    if (f[sf::count_entries::kSelector] == sf::count_entries::kSelectorLibrary) {
      // Selector 1 counts the numbered preset slots: PresetNN.pst with NN >= 1.
      count = static_cast<size_t>(std::count_if(listing->begin(), listing->end(), [](const detail::HostEntry& e) {
        const uint8_t slot = PresetSlotOf(e.host);
        return !e.folder && slot != 0xFF && slot != 0;
      }));
      if (s.slotCountAnswer != 0) count = s.slotCountAnswer;
    }
    sf::PutBe16(f + sf::count_entries::kCount, static_cast<uint16_t>(std::min<size_t>(count, 0xFFFF)));
    Status(sf::kStatusOk);
    return 0;
  }

  uint8_t ResolveItem(size_t pathOffset, bool allowMissing, detail::Resolved& r, bool& onMedium) {
    detail::UniqueFd base;
    Presentation presentation;
    if (uint8_t st = Base(base, presentation, onMedium); st != sf::kStatusOk) return st;
    std::string_view path;
    if (uint8_t st = PathAt(pathOffset, path); st != sf::kStatusOk) return st;
    return detail::ResolvePath(base.get(), path, presentation, allowMissing, r);
  }

  int32_t DeleteFile() {
    detail::Resolved r;
    bool onMedium = false;
    if (uint8_t st = ResolveItem(sf::delete_file::kPath, false, r, onMedium); st != sf::kStatusOk) return Status(st), 0;
    if (!onMedium || MediumProtected() || r.readOnly) return Status(sf::kStatusReadOnly), 0;
    if (r.presented == "\\") return Status(sf::kStatusFolderInUse), 0;
    if (r.folder) {
      if (::unlinkat(r.parent.get(), r.leaf.c_str(), AT_REMOVEDIR) != 0) {
        return Status(errno == ENOTEMPTY || errno == EEXIST ? sf::kStatusFolderNotEmpty : sf::kStatusCannotMake), 0;
      }
      ++s.contentSerial;
      return Status(sf::kStatusOk), 0;
    }
    if (::unlinkat(r.parent.get(), r.leaf.c_str(), 0) != 0) return Status(sf::kStatusNotFound), 0;
    ++s.contentSerial;
    // The camera deletes an image's thumbnail with it.
    const std::string thm = ThumbnailName(r.presented.substr(r.presented.rfind('\\') + 1));
    if (!thm.empty()) {
      std::vector<detail::HostEntry> listing;
      if (detail::ListHostFolder(r.parent.get(), Presentation::Media, listing)) {
        for (const detail::HostEntry& e : listing) {
          if (e.presented == thm && !e.folder) ::unlinkat(r.parent.get(), e.host.c_str(), 0);
        }
      }
    }
    Status(sf::kStatusOk);
    return 0;
  }

  // Over-delivery fault: the count this answer reports beyond the truth.
  uint32_t OverDelivery() {
    for (Fault& fault : s.faults) {
      if (fault.kind != FaultKind::OverDeliver) continue;
      if (fault.code != kAny && fault.code != f[0]) continue;
      const uint32_t extra = static_cast<uint32_t>(fault.value);
      ConsumeFault(fault);
      return extra;
    }
    return 0;
  }

  int32_t ReadThumbnail() {
    detail::Resolved r;
    bool onMedium = false;
    if (uint8_t st = ResolveItem(sf::read_file::kPath, false, r, onMedium); st != sf::kStatusOk) return Status(st), 0;
    if (r.folder) return Status(sf::kStatusNotFound), 0;
    const std::string thm = ThumbnailName(r.presented.substr(r.presented.rfind('\\') + 1));
    std::string thmHost;
    std::vector<detail::HostEntry> listing;
    if (!thm.empty() && detail::ListHostFolder(r.parent.get(), onMedium ? Presentation::Media : Presentation::Namespace, listing)) {
      for (const detail::HostEntry& e : listing) {
        if (!e.folder && strcasecmp(e.presented.c_str(), thm.c_str()) == 0) thmHost = e.host;
      }
    }
    if (thmHost.empty()) return Status(sf::kStatusNotFound), 0;
    const uint32_t capacity = sf::GetBe32(f + sf::read_file::kCapacity);
    const uint32_t room = data == nullptr ? 0 : std::min(capacity, dataLength);
    const detail::UniqueFd fd = detail::OpenFileAt(r.parent.get(), thmHost, O_RDONLY);
    if (!fd.valid()) return Status(sf::kStatusNotFound), 0;
    size_t got = 0;
    while (got < room) {
      const ssize_t n = ::read(fd.get(), data + got, room - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    sf::PutBe32(f + sf::read_file::kThumbnailLength, static_cast<uint32_t>(got) + OverDelivery());
    Status(sf::kStatusOk);
    return 0;
  }

  int32_t ReadFile() {
    detail::Resolved r;
    bool onMedium = false;
    if (uint8_t st = ResolveItem(sf::read_file::kPath, false, r, onMedium); st != sf::kStatusOk) return Status(st), 0;
    if (r.folder) return Status(sf::kStatusNotFound), 0;
    const uint32_t capacity = sf::GetBe32(f + sf::read_file::kCapacity);
    const uint32_t requested = sf::GetBe32(f + sf::read_file::kRequested);
    // Never beyond the area the caller handed over, whatever the frame says.
    const uint32_t room = data == nullptr ? 0 : std::min(capacity, dataLength);
    detail::UniqueFd fd = detail::OpenFileAt(r.parent.get(), r.leaf, O_RDONLY);
    if (!fd.valid()) return Status(sf::kStatusNotFound), 0;
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return Status(sf::kStatusNotFound), 0;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint32_t deliver = static_cast<uint32_t>(std::min<uint64_t>({size, requested, room}));
    if (s.chunkWait && s.chunkSize > 0 && deliver > s.chunkSize) {
      transfer.active = true;
      transfer.read = true;
      transfer.fd = std::move(fd);
      transfer.total = deliver;
      transfer.chunk = s.chunkSize;
      transfer.waitMs = s.chunkWaitMs;
      transfer.controlSeq = s.readControlSeq;
      sf::PutBe32(f + sf::read_file::kDelivered, OverDelivery());  // completed after the transfer
      return 0;
    }
    size_t got = 0;
    while (got < deliver) {
      const ssize_t n = ::pread(fd.get(), data + got, deliver - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    sf::PutBe32(f + sf::read_file::kDelivered, static_cast<uint32_t>(got) + OverDelivery());
    Status(sf::kStatusOk);
    return 0;
  }

  int32_t WriteFile() {
    detail::Resolved r;
    bool onMedium = false;
    if (uint8_t st = ResolveItem(sf::write_file::kPath, true, r, onMedium); st != sf::kStatusOk) return Status(st), 0;
    if (r.presented == "\\" || r.folder) return Status(sf::kStatusExists), 0;
    const uint32_t size = sf::GetBe32(f + sf::write_file::kFirstLength);
    if (size > 0 && (data == nullptr || size > dataLength)) return Status(sf::kStatusInvalidParameter), 0;
    uint8_t slot = 0xFF;
    if (onMedium) {
      if (MediumProtected() || r.readOnly) return Status(sf::kStatusReadOnly), 0;
      const uint8_t medium = f[sf::kMediumOffset];
      const uint64_t used = MediumUsedBytes(medium);
      if (used - std::min<uint64_t>(used, r.size) + size > s.media[medium].totalBytes) return Status(sf::kStatusDiskFull), 0;
    } else {
      // The device namespace holds the camera's own files: only preset files
      // of existing slots can be rewritten, and not those of protected slots.
      slot = PresetSlotOf(r.leaf);
      if (!r.exists || slot == 0xFF || slot > s.slotCount) return Status(sf::kStatusCannotMake), 0;
      if (s.permission[slot] == 1 || r.readOnly) return Status(sf::kStatusReadOnly), 0;
      if (size > kNamespaceFileMax) return Status(sf::kStatusInvalidParameter), 0;
    }
    std::string temp;
    detail::UniqueFd fd = detail::CreateTemporaryAt(r.parent.get(), temp);
    if (!fd.valid()) return Status(sf::kStatusCannotMake), 0;
    std::memset(f + sf::write_file::kPath, 0, sf::kPathFieldSize);
    std::memcpy(f + sf::write_file::kPath, r.presented.data(), std::min(r.presented.size(), sf::kMaxPathLength));
    if (s.chunkWait && s.chunkSize > 0 && size > s.chunkSize) {
      transfer.active = true;
      transfer.read = false;
      transfer.fd = std::move(fd);
      transfer.total = size;
      transfer.chunk = s.chunkSize;
      transfer.waitMs = s.chunkWaitMs;
      transfer.controlSeq = s.writeControlSeq;
      transfer.folder = std::move(r.parent);
      transfer.temp = temp;
      transfer.target = r.leaf;
      transfer.slot = slot;
      return 0;
    }
    const bool written = detail::WriteAll(fd.get(), data, size);
    if (!fd.Close() || !written || ::renameat(r.parent.get(), temp.c_str(), r.parent.get(), r.leaf.c_str()) != 0) {
      ::unlinkat(r.parent.get(), temp.c_str(), 0);
      return Status(sf::kStatusCannotMake), 0;
    }
    detail::RemoveStaleTemporariesAt(r.parent.get());
    if (slot != 0xFF) s.busyUntilMs = detail::NowMs() + s.busyMs;
    if (onMedium) ++s.contentSerial;
    Status(sf::kStatusOk);
    return 0;
  }

  int32_t TransferControl() {
    const bool abort = f[sf::transfer_control::kAction] == sf::transfer_control::kAbort;
    if (f[0] == static_cast<uint8_t>(sf::Opcode::ReadTransferControl)) {
      ++s.readControlSeq;
      s.readControlAction = abort ? 0xFF : 0x00;
    } else {
      ++s.writeControlSeq;
      s.writeControlAction = abort ? 0xFF : 0x00;
    }
    Status(sf::kStatusOk);
    return 0;
  }
};

namespace {

// The first status or transport fault that matches this storage frame.
Fault* MatchStorageFault(State& s, uint8_t opcode) {
  for (Fault& fault : s.faults) {
    if (fault.kind == FaultKind::TransportBusy && (fault.channel == 0 || fault.channel == 2)) return &fault;
    if (fault.kind == FaultKind::StorageStatus && (fault.code == kAny || fault.code == opcode)) return &fault;
  }
  return nullptr;
}

}  // namespace

int32_t Camera::StorageExchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) noexcept {
  if (frame == nullptr || length < 2 || length > sf::kMaxFrameLength) return kErrorInvalidParameter;
  uint8_t command[sf::kMaxFrameLength];
  std::memcpy(command, frame, length);
  Transfer transfer;
  int32_t result = 0;
  uint32_t traceMax = 0;
  {
    LockedState locked(*this, std::nothrow);
    if (!locked.ok()) return kErrorGenFailure;
    State& s = locked.state;
    traceMax = s.traceMaxBytes;
    if (!s.plugged) {
      result = kDeviceRemoved;
    } else if (Fault* fault = MatchStorageFault(s, frame[0])) {
      if (fault->kind == FaultKind::TransportBusy) {
        result = kErrorBusy;
      } else {
        frame[sf::kStatusOffset] = static_cast<uint8_t>(fault->value);
      }
      ConsumeFault(*fault);
      CountUnplugFault(s);
    } else if (sf::FrameLength(frame[0]) != length) {
      // A frame of the wrong length or an unknown opcode: refused, not read.
      frame[sf::kStatusOffset] = sf::kStatusInvalidParameter;
      CountUnplugFault(s);
    } else {
      StorageEngine engine{*this, s, frame, length, data, dataLength, transfer};
      result = engine.Run();
      CountUnplugFault(s);
    }
    if (!locked.Commit()) result = kErrorGenFailure;
    if (!transfer.active) {
      Trace("storage", command, length, result == 0 || result == kErrorGenFailure ? frame : nullptr,
            result == 0 ? length : 0, result, traceMax);
      return result;
    }
  }

  // A long transfer in chunks: after each chunk the driver waits, without the
  // camera lock, for a transfer control frame from another handle.
  uint64_t done = 0;
  bool aborted = false;
  bool removed = false;
  while (done < transfer.total) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(transfer.chunk, transfer.total - done));
    const ssize_t n = transfer.read ? ::pread(transfer.fd.get(), data + done, piece, static_cast<off_t>(done))
                                    : ::write(transfer.fd.get(), data + done, piece);
    if (n != static_cast<ssize_t>(piece)) {
      aborted = true;
      break;
    }
    done += piece;
    if (done == transfer.total) break;
    bool abort = false;
    if (!WaitTransferControl(transfer.read, transfer.controlSeq, transfer.waitMs, abort)) {
      removed = true;
      break;
    }
    if (abort) {
      aborted = true;
      break;
    }
    State now{};
    transfer.controlSeq = PeekState(now) ? (transfer.read ? now.readControlSeq : now.writeControlSeq) : transfer.controlSeq + 1;
  }
  if (!transfer.fd.Close() && !transfer.read) aborted = true;  // the written file is not whole

  LockedState locked(*this, std::nothrow);
  if (removed) {
    result = kDeviceRemoved;
  } else if (aborted) {
    frame[sf::kStatusOffset] = sf::kStatusAborted;
  } else {
    frame[sf::kStatusOffset] = sf::kStatusOk;
  }
  if (transfer.read) {
    const uint32_t extra = sf::GetBe32(frame + sf::read_file::kDelivered);
    sf::PutBe32(frame + sf::read_file::kDelivered, static_cast<uint32_t>(done) + extra);
  } else if (!removed && !aborted) {
    if (::renameat(transfer.folder.get(), transfer.temp.c_str(), transfer.folder.get(), transfer.target.c_str()) != 0) {
      frame[sf::kStatusOffset] = sf::kStatusCannotMake;
    }
    if (transfer.slot != 0xFF && locked.ok()) locked.state.busyUntilMs = detail::NowMs() + locked.state.busyMs;
    if (transfer.slot == 0xFF && locked.ok()) ++locked.state.contentSerial;
  }
  if (!transfer.read && (removed || aborted || frame[sf::kStatusOffset] != sf::kStatusOk)) {
    ::unlinkat(transfer.folder.get(), transfer.temp.c_str(), 0);
  }
  if (locked.ok()) locked.Commit();
  Trace("storage", command, length, removed ? nullptr : frame, removed ? 0 : length, result, traceMax);
  return result;
}

}  // namespace vcam
