#include "storage/microdriver/core.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/device_link.h"
#include "storage/frames.h"
#include "storage/microdriver/formats.h"

namespace torwen {
namespace {

namespace sf = storage;
using platform::StorageDriverHandle;

constexpr uint8_t kUnassigned = 0xFF;

// --- contexts and items ---------------------------------------------------

struct ItemBox {
  MicroDrvItem item{};  // first: the caller's pointer is this box's address
  MicroDrvPathBlock pathBlock{};
  OLECHAR name[9]{};
  bool live = false;            // handed out and not freed
  bool listable = false;        // a folder, root or storage item whose entries are fetched
  std::unique_ptr<uint8_t[]> thumbnail;
  uint64_t tree = 0;            // the device information call that made it
  // The links as torwen keeps them; the record's copies are for the caller to read.
  ItemBox* parent = nullptr;
  ItemBox* next = nullptr;
  ItemBox* previous = nullptr;
  std::vector<ItemBox*> children;
  size_t indexInParent = 0;
};

// The items of a context, allocated in blocks. The set of live items is the
// boxes marked live: a pointer is one of ours only when it is the start of a
// box in one of the blocks, so unknown, foreign and freed pointers are
// refused without being read through. A block's boxes are constructed as they
// are first handed out, so a large block costs only the items it holds.
class ItemArena {
 public:
  ItemArena() = default;
  ItemArena(ItemArena&& other) noexcept { *this = std::move(other); }
  ItemArena& operator=(ItemArena&& other) noexcept {
    if (this == &other) return *this;
    Destroy();
    storage_ = std::move(other.storage_);
    blocks_ = std::move(other.blocks_);
    byAddress_ = std::move(other.byAddress_);
    free_ = std::move(other.free_);
    used_ = std::exchange(other.used_, 0);
    live_ = std::exchange(other.live_, 0);
    other.storage_.clear();
    other.blocks_.clear();
    other.byAddress_.clear();
    other.free_.clear();
    return *this;
  }
  ~ItemArena() { Destroy(); }

  ItemBox* Allocate() {
    ItemBox* box;
    if (!free_.empty()) {
      box = free_.back();
      free_.pop_back();
      *box = ItemBox{};
    } else {
      if (blocks_.empty() || used_ == blocks_.back().count) AddBlock();
      box = new (blocks_.back().boxes + used_) ItemBox{};
      ++used_;
    }
    box->live = true;
    ++live_;
    return box;
  }
  void Free(ItemBox* box) {
    box->live = false;
    box->thumbnail.reset();
    std::vector<ItemBox*>().swap(box->children);
    free_.push_back(box);
    --live_;
  }
  ItemBox* Find(const MicroDrvItem* item) const {
    const auto address = reinterpret_cast<uintptr_t>(item);
    auto it = std::upper_bound(byAddress_.begin(), byAddress_.end(), address,
                               [](uintptr_t a, const Block& b) { return a < b.first; });
    if (it == byAddress_.begin()) return nullptr;
    --it;
    const uintptr_t offset = address - it->first;
    // Only boxes constructed so far: the last block's are the first used_.
    const size_t constructed = it->first == blocks_.back().first ? used_ : it->count;
    if (offset >= constructed * sizeof(ItemBox) || offset % sizeof(ItemBox) != 0) return nullptr;
    ItemBox* box = it->boxes + offset / sizeof(ItemBox);
    return box->live ? box : nullptr;
  }
  size_t live() const { return live_; }

 private:
  // Blocks grow from a few items (a context with a small tree stays small) to this many.
  static constexpr size_t kFirstBlockItems = 16;
  static constexpr size_t kLargestBlockItems = 128;
  struct Block {
    uintptr_t first;
    ItemBox* boxes;
    size_t count;
  };
  void AddBlock() {
    const size_t count = blocks_.empty() ? kFirstBlockItems : std::min(blocks_.back().count * 2, kLargestBlockItems);
    // Raw storage: each box is constructed when first handed out.
    storage_.push_back(std::make_unique_for_overwrite<std::byte[]>(count * sizeof(ItemBox)));
    ItemBox* boxes = reinterpret_cast<ItemBox*>(storage_.back().get());
    const Block block{reinterpret_cast<uintptr_t>(boxes), boxes, count};
    blocks_.push_back(block);
    byAddress_.insert(std::upper_bound(byAddress_.begin(), byAddress_.end(), block,
                                       [](const Block& a, const Block& b) { return a.first < b.first; }),
                      block);
    used_ = 0;
  }
  void Destroy() {
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const size_t constructed = b + 1 == blocks_.size() ? used_ : blocks_[b].count;
      std::destroy_n(blocks_[b].boxes, constructed);
    }
  }
  std::vector<std::unique_ptr<std::byte[]>> storage_;
  std::vector<Block> blocks_;     // in allocation order
  std::vector<Block> byAddress_;  // sorted by address
  std::vector<ItemBox*> free_;
  size_t used_ = 0;               // boxes constructed in the last block
  size_t live_ = 0;
};

struct Session {
  MicroDrvContext record{};  // first: the caller's pointer is this session's address
  Environment environment;
  std::unique_ptr<StorageDriverHandle> main;
  std::unique_ptr<StorageDriverHandle> auxiliary;
  std::vector<uint8_t> mediaTable;
  std::vector<uint8_t> volumeCounts;  // per medium, from the last ListMedia
  ItemArena items;
  ItemBox* last = nullptr;  // the end of the item list
  uint64_t tree = 0;
  // The receive area of thumbnails, made at the first and cleared before each.
  std::unique_ptr<uint8_t[]> thumbnailArea;

  void SyncMediaTable() { record.mediaTable = mediaTable.empty() ? nullptr : mediaTable.data(); }
  void SyncHandles() {
    record.mainHandle = main.get();
    record.auxiliaryHandle = auxiliary.get();
  }

  uint64_t Now() const { return environment.nowMs(); }
  void Sleep(uint32_t ms) const { environment.sleep(ms); }
};

// Live contexts of the process: a pointer that is not one is refused. The
// caller may call the transfer controls from another thread, so the table
// has a lock; a context's own fields are used by one thread at a time.
//
// Items outlive their context: the caller frees them one by one, before or
// after MicroDrvUnInit. The items (and the media table) of a context that
// is gone stay here until the last of them is freed.
struct Orphans {
  ItemArena items;
  ItemBox* last = nullptr;
  std::vector<uint8_t> mediaTable;
};
struct Registry {
  std::mutex mutex;
  std::unordered_map<MicroDrvContext*, std::unique_ptr<Session>> sessions;
  std::vector<std::unique_ptr<Orphans>> orphans;
};
Registry& Contexts() {
  static Registry registry;
  return registry;
}

Session* Find(const MicroDrvContext* context) {
  if (context == nullptr) return nullptr;
  Registry& r = Contexts();
  std::lock_guard lock(r.mutex);
  const auto it = r.sessions.find(const_cast<MicroDrvContext*>(context));
  return it == r.sessions.end() ? nullptr : it->second.get();
}

ItemBox* FindItem(Session& s, MicroDrvItem* item) {
  return item == nullptr ? nullptr : s.items.Find(item);
}

void Append(Session& s, ItemBox* box) {
  box->previous = s.last;
  box->item.previous = s.last != nullptr ? &s.last->item : nullptr;
  if (s.last != nullptr) {
    s.last->next = box;
    s.last->item.next = &box->item;
  }
  s.last = box;
}

ItemBox* NewItem(Session& s, ItemBox* parent) {
  ItemBox* box = s.items.Allocate();
  box->item.pathBlock = &box->pathBlock;
  box->item.format = &kFormatUndefined;
  box->tree = s.tree;
  if (parent != nullptr) {
    box->parent = parent;
    box->item.parent = &parent->item;
    box->indexInParent = parent->children.size();
    parent->children.push_back(box);
  }
  Append(s, box);
  return box;
}

void SetName(ItemBox* box, std::string_view name) {
  const size_t n = std::min<size_t>(name.size(), 8);
  for (size_t i = 0; i < n; ++i) box->name[i] = static_cast<OLECHAR>(static_cast<unsigned char>(name[i]));
  box->name[n] = 0;
  box->item.name = box->name;
}

bool SetPath(ItemBox* box, std::string_view path) {
  if (path.size() > sf::kMaxPathLength) return false;
  std::memcpy(box->pathBlock.path, path.data(), path.size());
  box->pathBlock.path[path.size()] = '\0';
  return true;
}

std::string_view PathOf(const ItemBox& box) {
  const char* p = box.pathBlock.path;
  return std::string_view(p, strnlen(p, sizeof box.pathBlock.path));
}

void DecrementSaturating(uint32_t& value) {
  if (value > 0) --value;
}

// Takes an item out of its list (`last` is the list's end) and out of its parent's children.
void Unlink(ItemBox*& last, ItemBox* box) {
  if (box->previous != nullptr) {
    box->previous->next = box->next;
    box->previous->item.next = box->next != nullptr ? &box->next->item : nullptr;
  }
  if (box->next != nullptr) {
    box->next->previous = box->previous;
    box->next->item.previous = box->previous != nullptr ? &box->previous->item : nullptr;
  }
  if (last == box) last = box->previous;
  // Children outlive their parent without a dangling pointer to it.
  for (ItemBox* child : box->children) {
    child->parent = nullptr;
    child->item.parent = nullptr;
  }
  if (ItemBox* parent = box->parent; parent != nullptr) {
    auto& siblings = parent->children;
    const size_t i = box->indexInParent;
    siblings[i] = siblings.back();
    siblings[i]->indexInParent = i;
    siblings.pop_back();
  }
}

// --- exchanges -------------------------------------------------------------

struct Answer {
  HRESULT result = S_OK;
  bool transportFailed = false;  // a transport error other than ERROR_BUSY
};

enum class StatusRule {
  Policy,         // the busy retry policy
  Once,           // one attempt; the status is the caller's to judge
  NamespaceRead,  // the policy, but status 0x84 fails at once (device-namespace item data)
};

// Sends a frame and evaluates its answer. Every attempt sends the command as
// built, not what an earlier answer left in the frame.
Answer Exchange(Session& s, StorageDriverHandle* handle, uint8_t* frame, uint32_t length, uint8_t* data,
                uint32_t dataLength, StatusRule rule, HRESULT* transferStatus = nullptr) {
  Answer answer;
  if (handle == nullptr) {
    answer.result = kResultInvalidHandle;
    answer.transportFailed = true;
    return answer;
  }
  uint8_t command[sf::kMaxFrameLength];
  length = std::min(length, sf::kMaxFrameLength);
  std::memcpy(command, frame, length);
  BusyRetry retry(s.record.fastBusy != 0, s.record.fastMedia != 0);
  const uint64_t deadline = s.Now() + kExchangeDeadlineMs;
  uint8_t lastBusy = 0;
  for (;;) {
    std::memcpy(frame, command, length);
    if (length > sf::kStatusOffset) frame[sf::kStatusOffset] = 0;
    const int32_t error = handle->Exchange(frame, length, data, dataLength);
    if (error == sf::kErrorBusy) {
      if (transferStatus != nullptr) *transferStatus = kResultBusy;
      if (rule == StatusRule::Once || s.Now() >= deadline) {
        answer.result = kResultBusy;
        return answer;
      }
      s.Sleep(kTransportBusyPauseMs);
      continue;
    }
    if (error != 0) {
      answer.result = sf::ResultFromWin32(error);
      answer.transportFailed = true;
      return answer;
    }
    const uint8_t status = length > sf::kStatusOffset ? frame[sf::kStatusOffset] : 0;
    if (rule == StatusRule::Once) {
      answer.result = sf::MapStatus(status);
      return answer;
    }
    if (rule == StatusRule::NamespaceRead && status == sf::kStatusMediaBusy) {
      answer.result = E_FAIL;
      return answer;
    }
    switch (retry.OnStatus(status)) {
      case BusyRetry::Step::Done:
        answer.result = S_OK;
        return answer;
      case BusyRetry::Step::Fail:
        answer.result = retry.result();
        return answer;
      case BusyRetry::Step::Retry:
        lastBusy = status;
        if (s.Now() >= deadline) {
          answer.result = BusyRetry::GiveUp(lastBusy);
          return answer;
        }
        s.Sleep(retry.delayMs());
        break;
    }
  }
}

HRESULT CheckMedium(const Session& s, uint8_t medium) {
  if (medium == kUnassigned) return S_OK;
  return medium < s.mediaTable.size() ? S_OK : E_INVALIDARG;
}

// The item's indices as they are; the medium's identity byte only for an
// item on a volume of a known medium.
sf::Address AddressOf(const Session& s, const MicroDrvItem& item) {
  sf::Address at;
  at.medium = item.medium;
  at.volume = item.volume;
  const bool valid = item.medium != kUnassigned && item.volume != kUnassigned && item.medium < s.mediaTable.size();
  at.identity = valid ? s.mediaTable[item.medium] : 0;
  return at;
}

// --- the item tree ------------------------------------------------------------

bool IsPlainNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x21 || u == 0x7F) return false;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return false;
    default:
      return true;
  }
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), IsPlainNameChar);
}

bool ValidTime(const sf::DosDateTime& t, uint16_t rawDate) {
  static constexpr uint8_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (rawDate == 0 || t.month < 1 || t.month > 12 || t.day < 1) return false;
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  const uint8_t days = t.month == 2 && !leap ? 28 : kDays[t.month - 1];
  return t.day <= days && t.hour < 24 && t.minute < 60 && t.second < 60;
}

struct Listing {
  bool incomplete = false;  // the folder, a page or an entry of it could not be listed
  bool transportFailed = false;
};

// Makes the item of one directory entry; false when the entry is skipped.
bool AddEntry(Session& s, ItemBox* folder, const uint8_t* record, Listing& listing) {
  const sf::DirectoryEntry entry = sf::DecodeDirectoryEntry(record);
  const std::string_view name(entry.name);
  const std::string_view extension(entry.extension);
  // "", "." and ".." would list a folder or its parent again.
  if (!IsPlainName(name) || (!extension.empty() && !IsPlainName(extension))) {
    listing.incomplete = true;
    return false;
  }
  const bool isFolder = (entry.attributes & sf::kAttributeFolder) != 0;
  const FormatInfo& format = FormatOf(isFolder ? std::string_view() : extension);
  if (!isFolder && format.dropped) return false;  // thumbnails travel with their image

  // The folder's path, a backslash (none after the top "\\"), the name, a dot and the extension.
  const std::string_view parentPath = PathOf(*folder);
  const size_t separator = parentPath == "\\" ? 0 : 1;
  const size_t length =
      parentPath.size() + separator + name.size() + (extension.empty() ? 0 : 1 + extension.size());
  if (length > sf::kMaxPathLength) {
    listing.incomplete = true;
    return false;
  }
  char pathText[sf::kPathFieldSize];
  char* out = std::copy(parentPath.begin(), parentPath.end(), pathText);
  if (separator != 0) *out++ = '\\';
  out = std::copy(name.begin(), name.end(), out);
  if (!extension.empty()) {
    *out++ = '.';
    out = std::copy(extension.begin(), extension.end(), out);
  }
  const std::string_view path(pathText, length);

  ItemBox* box = NewItem(s, folder);
  MicroDrvItem& item = box->item;
  SetPath(box, path);
  SetName(box, name);
  for (size_t i = 0; i < extension.size() && i < 3; ++i)
    item.extension[i] = static_cast<OLECHAR>(static_cast<unsigned char>(extension[i]));
  item.medium = folder->item.medium;
  item.volume = folder->item.volume;
  const uint16_t rawDate = sf::GetLe16(record + 14);
  if (ValidTime(entry.time, rawDate)) {
    item.captureTime.year = entry.time.year;
    item.captureTime.month = entry.time.month;
    item.captureTime.day = entry.time.day;
    item.captureTime.hour = entry.time.hour;
    item.captureTime.minute = entry.time.minute;
    item.captureTime.second = entry.time.second;
  }
  item.size = entry.size;
  item.isProtected = ((entry.attributes & sf::kAttributeReadOnly) != 0 || folder->item.isProtected != 0) ? 1 : 0;
  if (isFolder) {
    item.flags = kMicroDrvFolder;
    box->listable = true;
  } else {
    item.flags = kMicroDrvFile | format.flags;
    item.format = format.format;
    item.thumbnailFormat = format.thumbnailFormat;
    ++s.record.fileCount;
    if ((item.flags & kMicroDrvImage) != 0) {
      ++folder->pathBlock.imageCount;
      if (s.record.imageCount < 0xFFFF) ++s.record.imageCount;
    }
  }
  return true;
}

// Fetches the entries of one folder, root or storage item.
void ListFolder(Session& s, ItemBox* folder, Listing& listing) {
  if (folder->item.volume == kUnassigned) folder->item.volume = 0;
  const sf::Address at = AddressOf(s, folder->item);
  const std::string_view path = PathOf(*folder);

  uint8_t frame[sf::kListDirectoryLength];
  if (!sf::BuildCountEntries(frame, at, sf::count_entries::kSelectorFolder, path)) {
    listing.incomplete = true;
    return;
  }
  Answer answer = Exchange(s, s.main.get(), frame, sf::kCountEntriesLength, nullptr, 0, StatusRule::Policy);
  if (answer.result != S_OK) {
    // One folder that cannot be listed does not end the listing of the others.
    listing.incomplete = true;
    listing.transportFailed = answer.transportFailed;
    return;
  }
  const uint32_t count = sf::GetBe16(frame + sf::count_entries::kCount);
  if (count == 0) return;
  // A folder of 65,535 entries or more reports 65,535: its pages go on to the
  // end flag, as far as the 16-bit start index of a page reaches.
  const bool countSaturated = count == 0xFFFF;
  uint32_t received = 0;
  uint32_t first = 0;
  while (countSaturated || first < count) {
    if (first > 0xFFFF || !sf::BuildListDirectory(frame, at, static_cast<uint16_t>(first), path)) {
      listing.incomplete = true;
      break;
    }
    answer = Exchange(s, s.main.get(), frame, sf::kListDirectoryLength, nullptr, 0, StatusRule::Policy);
    if (answer.result != S_OK) {
      listing.incomplete = true;
      listing.transportFailed = answer.transportFailed;
      break;
    }
    // Never more records than the frame holds, whatever the count byte says.
    const uint32_t returned =
        std::min<uint32_t>(frame[sf::list_directory::kWanted], sf::list_directory::kEntriesPerCall);
    const bool end = frame[sf::list_directory::kEndFlag] == 1;
    if (frame[sf::list_directory::kWanted] > sf::list_directory::kEntriesPerCall) listing.incomplete = true;
    for (uint32_t i = 0; i < returned; ++i)
      AddEntry(s, folder, frame + sf::list_directory::kEntries + i * sf::kDirectoryEntrySize, listing);
    received += returned;
    if (end) break;
    if (returned == 0) {
      // An empty page that does not end the listing would be asked for again and again.
      listing.incomplete = true;
      break;
    }
    first += returned;
  }
  const uint32_t entries = countSaturated ? std::max(count, received) : count;
  folder->pathBlock.childCount = entries;
  s.record.entryTotal += entries;
}

// Takes an item of the current tree out of the context's figures.
void Uncount(Session& s, const ItemBox* box) {
  if (box->tree != s.tree) return;
  MicroDrvContext& c = s.record;
  if ((box->item.flags & kMicroDrvFile) != 0) {
    DecrementSaturating(c.fileCount);
    if ((box->item.flags & kMicroDrvImage) != 0 && c.imageCount > 0) --c.imageCount;
  }
  DecrementSaturating(c.entryTotal);
}

void Release(Session& s, ItemBox* box) {
  Uncount(s, box);
  Unlink(s.last, box);
  s.items.Free(box);
}

// Frees the items made since `mark` (the item that was last before them).
void DropItemsAfter(Session& s, ItemBox* mark) {
  while (s.last != nullptr && s.last != mark) Release(s, s.last);
}

}  // namespace

// --- the retry policy -----------------------------------------------------------

BusyRetry::Step BusyRetry::OnStatus(uint8_t status) {
  if (status == sf::kStatusOk) return Step::Done;
  if (!sf::IsMicrodriverRetryStatus(status)) {
    result_ = sf::MapStatus(status);
    return Step::Fail;
  }
  if (status != last_) {
    counter_ = 0;
    last_ = status;
    limit_ = kShortLimit;
    delay_ = kShortDelayMs;
    if (status == sf::kStatusBusy && !fastBusy_) {
      limit_ = kBusyLimit;
      delay_ = kBusyDelayMs;
    } else if (status == sf::kStatusMediaBusy && !fastMedia_) {
      limit_ = kMediaBusyLimit;
      delay_ = kMediaBusyDelayMs;
    }
    return Step::Retry;
  }
  if (++counter_ >= limit_) {
    result_ = GiveUp(status);
    return Step::Fail;
  }
  return Step::Retry;
}

HRESULT BusyRetry::GiveUp(uint8_t status) {
  return sf::MapStatus(status == sf::kStatusMediaBusy ? sf::kStatusNoMedium : status);
}

// --- contexts -------------------------------------------------------------------

HRESULT CreateContext(Environment environment, MicroDrvContext** context) {
  if (context == nullptr) return E_INVALIDARG;
  *context = nullptr;
  if (!environment.readLink || !environment.openDriver || !environment.sleep || !environment.nowMs)
    return E_INVALIDARG;
  auto session = std::make_unique<Session>();
  session->environment = std::move(environment);
  MicroDrvContext* record = &session->record;
  Registry& r = Contexts();
  std::lock_guard lock(r.mutex);
  r.sessions.emplace(record, std::move(session));
  *context = record;
  return S_OK;
}

HRESULT DestroyContext(MicroDrvContext** context) {
  if (context == nullptr || *context == nullptr) return S_OK;
  Session* s = Find(*context);
  if (s == nullptr) return E_INVALIDARG;
  if (s->main != nullptr) (void)Close(*context);
  std::unique_ptr<Session> owned;
  {
    Registry& r = Contexts();
    std::lock_guard lock(r.mutex);
    const auto it = r.sessions.find(*context);
    owned = std::move(it->second);
    r.sessions.erase(it);
    // The items the caller still holds stay readable until it frees them.
    if (owned->items.live() != 0) {
      auto orphans = std::make_unique<Orphans>();
      orphans->items = std::move(owned->items);
      orphans->last = owned->last;
      orphans->mediaTable = std::move(owned->mediaTable);
      r.orphans.push_back(std::move(orphans));
    }
  }
  *context = nullptr;
  return S_OK;
}

size_t LiveItemCount(const MicroDrvContext* context) {
  const Session* s = Find(context);
  return s == nullptr ? 0 : s->items.live();
}

size_t OrphanedItemCount() {
  Registry& r = Contexts();
  std::lock_guard lock(r.mutex);
  size_t n = 0;
  for (const auto& o : r.orphans) n += o->items.live();
  return n;
}

void FreeAllItems(MicroDrvContext* context) {
  Session* s = Find(context);
  if (s == nullptr) return;
  while (s->last != nullptr) Release(*s, s->last);
}

HRESULT Open(MicroDrvContext* context, const OLECHAR* instanceKey) {
  Session* s = Find(context);
  if (s == nullptr || instanceKey == nullptr) return E_INVALIDARG;
  if (s->main != nullptr || s->auxiliary != nullptr) return E_FAIL;  // open already: the handles stay
  const platform::ComStringView key(instanceKey);
  std::unique_ptr<StorageDriverHandle> auxiliary;
  std::unique_ptr<StorageDriverHandle> main;
  HRESULT hr = storage::OpenDriverByInstanceKey(s->environment.readLink, s->environment.openDriver, key, auxiliary);
  if (hr != S_OK) return hr;
  hr = storage::OpenDriverByInstanceKey(s->environment.readLink, s->environment.openDriver, key, main);
  if (hr != S_OK) {
    (void)auxiliary->Close();
    return hr;
  }
  uint8_t frame[sf::kQueryModeLength];
  sf::BuildQueryMode(frame);
  const int32_t error = main->Exchange(frame, sf::kQueryModeLength, nullptr, 0);
  if (error != 0) {
    (void)auxiliary->Close();
    const int32_t closeError = main->Close();
    return sf::ResultFromWin32(closeError != 0 ? closeError : error);
  }
  const uint8_t mode = frame[sf::query_mode::kMode];
  s->record.mode = mode == sf::query_mode::kModeStorage ? 1 : mode == sf::query_mode::kModeOther ? 2 : mode;
  s->main = std::move(main);
  s->auxiliary = std::move(auxiliary);
  s->SyncHandles();
  return S_OK;
}

HRESULT Close(MicroDrvContext* context) {
  Session* s = Find(context);
  if (s == nullptr) return E_INVALIDARG;
  if (s->auxiliary != nullptr) {
    (void)s->auxiliary->Close();
    s->auxiliary.reset();
  }
  HRESULT hr = S_OK;
  if (s->main != nullptr) {
    const int32_t error = s->main->Close();
    if (error != 0) {
      hr = sf::ResultFromWin32(error);  // the handle stays for another try
    } else {
      s->main.reset();
    }
  }
  s->SyncHandles();
  return hr;
}

HRESULT GetDeviceInfo(MicroDrvContext* context, MicroDrvItem** firstItem) {
  Session* sp = Find(context);
  if (sp == nullptr || firstItem == nullptr) return E_INVALIDARG;
  Session& s = *sp;
  if (s.main == nullptr) return kResultInvalidHandle;

  // A new tree: the figures start from zero (the old items may still be held).
  ++s.tree;
  MicroDrvContext& c = s.record;
  c.imageCount = 0;
  c.fileCount = 0;
  c.entryTotal = 0;
  c.incompleteFolders = 0;
  c.storageTotal = 0;
  c.storageAvailable = 0;

  ItemBox* root = NewItem(s, nullptr);
  SetPath(root, "\\");
  root->item.medium = 0;
  root->item.volume = kUnassigned;
  root->item.flags = kMicroDrvRoot;
  root->item.isProtected = 1;
  *firstItem = &root->item;

  uint8_t frame[sf::kListMediaLength];
  sf::BuildListMedia(frame);
  Answer answer = Exchange(s, s.main.get(), frame, sf::kListMediaLength, nullptr, 0, StatusRule::Policy);
  if (answer.result != S_OK) return answer.result;
  const size_t count = std::min<size_t>(frame[sf::list_media::kCount], sf::list_media::kMaxMedia);
  s.mediaTable.assign(count, 0);
  s.volumeCounts.assign(frame + sf::list_media::kVolumes, frame + sf::list_media::kVolumes + count);
  s.SyncMediaTable();
  // An empty card slot does not hide the other cards.
  if (std::none_of(s.volumeCounts.begin(), s.volumeCounts.end(), [](uint8_t v) { return v != 0; }))
    return sf::MapStatus(sf::kStatusNoMedium);

  const bool several = count > 1;
  std::vector<ItemBox*> containers(count, nullptr);
  std::vector<bool> available(count, false);
  for (size_t m = 0; m < count; ++m) {
    if (s.volumeCounts[m] == 0) continue;
    ItemBox* container = root;
    if (several) {
      container = NewItem(s, root);
      SetPath(container, "\\");
      SetName(container, "Media:" + std::to_string(m + 1));
      container->item.medium = static_cast<uint8_t>(m);
      container->item.volume = kUnassigned;
      container->item.flags = kMicroDrvStorage;
      container->item.isProtected = 1;
    }
    containers[m] = container;

    uint8_t status[sf::kMediaStatusLength];
    sf::BuildMediaStatus(status, static_cast<uint8_t>(m));
    answer = Exchange(s, s.main.get(), status, sf::kMediaStatusLength, nullptr, 0, StatusRule::Policy);
    if (answer.transportFailed || answer.result == sf::MapStatus(sf::kStatusNoMedium)) continue;
    if (answer.result != S_OK) return answer.result;
    available[m] = true;
    s.mediaTable[m] = status[sf::media_status::kIdentity];
    // The figures are unsigned: 2 GiB and more stay positive.
    c.storageTotal += static_cast<int64_t>(sf::GetBe32(status + sf::media_status::kTotal));
    c.storageAvailable += static_cast<int64_t>(sf::GetBe32(status + sf::media_status::kAvailable));
    const uint8_t flags = status[sf::media_status::kFlags];
    c.protectionWord = (flags & sf::media_status::kFlagProtectedWord) != 0 ? 0x100 : 0;
    c.protectionByte = (flags & sf::media_status::kFlagProtected) != 0 ? 1 : 0;
    // Each medium's protection goes to its own item and what it holds.
    container->item.isProtected = (flags & 0x03) != 0 ? 1 : 0;
  }

  for (size_t m = 0; m < count; ++m) {
    ItemBox* container = containers[m];
    if (container == nullptr || !available[m]) continue;
    if (s.volumeCounts[m] == 1) {
      container->listable = true;
      continue;
    }
    container->item.volume = static_cast<uint8_t>(m);  // a container of volumes
    for (uint8_t v = 0; v < s.volumeCounts[m]; ++v) {
      ItemBox* volume = NewItem(s, container);
      SetPath(volume, "\\");
      SetName(volume, "Volume:" + std::to_string(v + 1));
      volume->item.medium = static_cast<uint8_t>(m);
      volume->item.volume = v;
      volume->item.flags = kMicroDrvStorage;
      volume->item.isProtected = 0;  // the medium's protection is the context's and its item's
      volume->listable = true;
    }
  }
  if (several) root->item.isProtected = 1;

  // Breadth first: the walk also visits the folders it appends.
  ItemBox* const mark = s.last;
  for (ItemBox* box = root; box != nullptr; box = box->next) {
    if (!box->listable) continue;
    Listing listing;
    ListFolder(s, box, listing);
    if (listing.transportFailed) {
      DropItemsAfter(s, mark);
      return E_FAIL;
    }
    if (listing.incomplete) ++c.incompleteFolders;
  }
  // A folder that could not be listed does not fail the others; the caller
  // sees the count in the context.
  if (c.incompleteFolders != 0 && s.environment.log) {
    s.environment.log(std::to_string(c.incompleteFolders) +
                      (c.incompleteFolders == 1 ? " folder was" : " folders were") + " not listed completely");
  }
  return S_OK;
}

HRESULT FreeItem(MicroDrvContext* context, MicroDrvItem* item) {
  if (context == nullptr || item == nullptr) return E_INVALIDARG;
  if (Session* s = Find(context); s != nullptr) {
    if (ItemBox* box = FindItem(*s, item); box != nullptr) {
      Release(*s, box);
      return S_OK;
    }
  }
  // An item of a context that is gone: its storage goes with the last of them.
  Registry& r = Contexts();
  std::lock_guard lock(r.mutex);
  for (auto it = r.orphans.begin(); it != r.orphans.end(); ++it) {
    Orphans& o = **it;
    ItemBox* box = o.items.Find(item);
    if (box == nullptr) continue;
    Unlink(o.last, box);
    o.items.Free(box);
    if (o.items.live() == 0) r.orphans.erase(it);
    return S_OK;
  }
  return E_INVALIDARG;  // unknown, or freed already
}

HRESULT GetStatus(MicroDrvContext* context, bool refreshFigures) {
  Session* s = Find(context);
  if (s == nullptr) return E_INVALIDARG;
  if (s->main == nullptr) return kResultInvalidHandle;
  uint8_t frame[sf::kMediaStatusLength];
  sf::BuildMediaStatus(frame, 0);
  const int32_t error = s->main->Exchange(frame, sf::kMediaStatusLength, nullptr, 0);
  if (error != 0) return sf::ResultFromWin32(error);
  const uint8_t status = frame[sf::kStatusOffset];
  if (status == sf::kStatusOk && refreshFigures) {
    s->record.storageAvailable = static_cast<int64_t>(sf::GetBe32(frame + sf::media_status::kAvailable));
    s->record.protectionWord = (frame[sf::media_status::kFlags] & sf::media_status::kFlagProtectedWord) != 0 ? 0x100 : 0;
  }
  if (s->mediaTable.empty()) {
    s->mediaTable.assign(1, 0);
    s->SyncMediaTable();
  }
  if (status != sf::kStatusOk) return sf::MapStatus(status == sf::kStatusMediaBusy ? sf::kStatusNoMedium : status);
  const uint8_t identity = frame[sf::media_status::kIdentity];
  if (identity == s->mediaTable[0]) return S_OK;
  s->mediaTable[0] = identity;
  return kResultMediaChanged;
}

namespace {

// The checks of the item operations: a known context with a media table, a
// live item with a path on a medium the table holds.
HRESULT CheckItem(MicroDrvContext* context, MicroDrvItem* item, Session*& session, ItemBox*& box) {
  session = Find(context);
  if (session == nullptr || session->mediaTable.empty()) return E_INVALIDARG;
  box = FindItem(*session, item);
  if (box == nullptr || box->pathBlock.path[0] == '\0') return E_INVALIDARG;
  if (CheckMedium(*session, item->medium) != S_OK) return E_INVALIDARG;
  if (item->medium != kUnassigned && item->volume != kUnassigned && item->medium < session->volumeCounts.size() &&
      item->volume >= session->volumeCounts[item->medium] && (item->flags & kMicroDrvStorage) == 0)
    return E_INVALIDARG;
  if (session->main == nullptr) return kResultInvalidHandle;
  return S_OK;
}

}  // namespace

HRESULT GetThumbnail(MicroDrvContext* context, MicroDrvItem* item) {
  Session* s = nullptr;
  ItemBox* box = nullptr;
  if (const HRESULT hr = CheckItem(context, item, s, box); hr != S_OK) return hr;
  if (s->thumbnailArea == nullptr) s->thumbnailArea = std::make_unique_for_overwrite<uint8_t[]>(sf::kTransferAreaSize);
  uint8_t* const area = s->thumbnailArea.get();
  // Bytes the driver does not deliver read as zero, never as an earlier thumbnail.
  std::memset(area, 0, sf::kTransferAreaSize);
  uint8_t frame[sf::kReadThumbnailLength];
  if (!sf::BuildReadThumbnail(frame, AddressOf(*s, *item), PathOf(*box), area)) return E_INVALIDARG;
  const Answer answer =
      Exchange(*s, s->main.get(), frame, sf::kReadThumbnailLength, area, sf::kTransferAreaSize, StatusRule::Policy);
  if (answer.result != S_OK) return answer.result;
  // A length beyond the receive area is no thumbnail of ours.
  const uint32_t length = sf::GetBe32(frame + sf::read_file::kThumbnailLength);
  if (length > sf::kTransferAreaSize) return E_FAIL;
  // An empty thumbnail still points at a zero byte.
  auto thumbnail =
      length == 0 ? std::make_unique<uint8_t[]>(1) : std::make_unique_for_overwrite<uint8_t[]>(length);
  std::memcpy(thumbnail.get(), area, length);
  box->thumbnail = std::move(thumbnail);
  item->thumbnail = box->thumbnail.get();
  item->thumbnailLength = length;
  return S_OK;
}

HRESULT GetItemData(MicroDrvContext* context, MicroDrvItem* item, uint8_t* buffer, uint32_t length,
                    HRESULT* transferStatus) {
  Session* s = nullptr;
  ItemBox* box = nullptr;
  if (const HRESULT hr = CheckItem(context, item, s, box); hr != S_OK) return hr;
  if (buffer == nullptr && length != 0) return E_INVALIDARG;
  if (!sf::BuildReadFile(item->readFrame, AddressOf(*s, *item), PathOf(*box), length, item->size, buffer))
    return E_INVALIDARG;
  const bool inNamespace = item->medium == kUnassigned && item->volume == kUnassigned;
  const Answer answer = Exchange(*s, s->main.get(), item->readFrame, sf::kReadFileLength, buffer, length,
                                 inNamespace ? StatusRule::NamespaceRead : StatusRule::Policy, transferStatus);
  if (answer.result != S_OK) return answer.result;
  const uint32_t delivered = sf::GetBe32(item->readFrame + sf::read_file::kDelivered);
  return delivered == item->size ? S_OK : kResultBounds;
}

HRESULT TransferControl(MicroDrvContext* context, int32_t kind, bool abort) {
  Session* s = Find(context);
  if (s == nullptr) return E_INVALIDARG;
  if (kind != kMicroDrvTransferRead && kind != kMicroDrvTransferWrite) return E_FAIL;
  if (s->auxiliary == nullptr) return kResultInvalidHandle;
  const bool read = kind == kMicroDrvTransferRead;
  const uint32_t length = read ? sf::kReadTransferControlLength : sf::kWriteTransferControlLength;
  uint8_t frame[sf::kWriteTransferControlLength];
  for (uint32_t attempt = 0; attempt < kControlAttempts; ++attempt) {
    sf::BuildTransferControl(frame, read, abort);
    const int32_t error = s->auxiliary->Exchange(frame, length, nullptr, 0);
    if (error == 0) return S_OK;
    if (error != sf::kErrorBusy) return sf::ResultFromWin32(error);
    s->Sleep(kControlPauseMs);
  }
  return kResultBusy;
}

namespace {

// "Media:n" and "Volume:n" components at the head of a put path.
bool ParseIndexComponent(std::string_view component, std::string_view prefix, uint8_t& index) {
  if (component.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = component.substr(prefix.size());
  if (digits.empty() || digits.size() > 3) return false;
  uint32_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > 256) return false;
  index = static_cast<uint8_t>(n - 1);  // 0 gives 0xFF: the device namespace
  return true;
}

struct PutTarget {
  uint8_t medium = 0;
  uint8_t volume = 0;
  std::string_view rest;
};

bool SplitPutPath(std::string_view path, PutTarget& target) {
  size_t drop = !path.empty() && path[0] == '\\' ? 1 : 0;
  size_t pos = drop;
  while (pos <= path.size()) {
    const size_t end = std::min(path.find('\\', pos), path.size());
    const std::string_view component = path.substr(pos, end - pos);
    if (ParseIndexComponent(component, "Media:", target.medium) ||
        ParseIndexComponent(component, "Volume:", target.volume)) {
      drop += component.size() + 1;
      pos = end + 1;
      continue;
    }
    if (component.find("Media:") != std::string_view::npos || component.find("Volume:") != std::string_view::npos)
      return false;  // a medium or volume we cannot read
    break;
  }
  target.rest = drop > path.size() ? std::string_view("\\") : path.substr(drop);
  return true;
}

}  // namespace

HRESULT PutItemData(MicroDrvContext* context, MicroDrvPutRequest* request, uint8_t* frame) {
  Session* s = Find(context);
  if (s == nullptr || s->mediaTable.empty() || request == nullptr || frame == nullptr) return E_INVALIDARG;
  if (s->main == nullptr) return kResultInvalidHandle;
  const size_t pathLength = strnlen(request->path, sizeof request->path);
  if (pathLength == sizeof request->path) return E_INVALIDARG;  // unterminated
  const std::string requested(request->path, pathLength);
  PutTarget target;
  if (!SplitPutPath(requested, target)) return E_INVALIDARG;
  sf::Address at{target.medium, target.volume, 0};
  std::string sent;
  sf::WriteRequest write;
  if (target.medium != kUnassigned) {
    if (target.medium >= s->mediaTable.size()) return E_INVALIDARG;
    if (target.medium < s->volumeCounts.size() && target.volume >= s->volumeCounts[target.medium]) return E_INVALIDARG;
    at.identity = s->mediaTable[target.medium];
    if (request->secondFlag != 0) sent = "\\";
    sent += target.rest;
    write.pathLength = static_cast<uint8_t>(std::min<size_t>(target.rest.size() + 1, 0xFF));
  } else {
    sent = requested;
    write.pathLength = static_cast<uint8_t>(std::min<size_t>(requested.size(), 0xFF));
  }
  write.firstLength = request->firstLength;
  write.secondLength = request->secondLength;
  write.firstFlag = request->firstFlag;
  write.secondFlag = request->secondFlag;
  write.data = request->data;
  const uint32_t dataLength = std::max(request->firstLength, request->secondLength);
  if (request->data == nullptr && dataLength != 0) return E_INVALIDARG;
  if (!sf::BuildWriteFile(std::span<uint8_t>(frame, kMicroDrvPutFrameSize), at, sent, write)) return E_INVALIDARG;
  const Answer answer = Exchange(*s, s->main.get(), frame, sf::kWriteFileLength, const_cast<uint8_t*>(request->data),
                                 dataLength, StatusRule::Policy);
  if (answer.result != S_OK) return answer.result;
  // The stored path, never more than the request's field holds.
  std::memset(request->path, 0, sizeof request->path);
  const uint8_t* stored = frame + sf::write_file::kPath;
  const size_t storedLength = strnlen(reinterpret_cast<const char*>(stored), sf::kMaxPathLength);
  std::memcpy(request->path, stored, storedLength);
  return S_OK;
}

HRESULT DeleteItem(MicroDrvContext* context, MicroDrvItem* item) {
  Session* s = nullptr;
  ItemBox* box = nullptr;
  if (const HRESULT hr = CheckItem(context, item, s, box); hr != S_OK) return hr;
  uint8_t frame[sf::kDeleteFileLength];
  if (!sf::BuildDeleteFile(frame, AddressOf(*s, *item), PathOf(*box))) return E_INVALIDARG;
  const Answer answer = Exchange(*s, s->main.get(), frame, sf::kDeleteFileLength, nullptr, 0, StatusRule::Policy);
  if (answer.result != S_OK) return answer.result;
  if (box->parent != nullptr) {
    MicroDrvPathBlock& counts = box->parent->pathBlock;
    if ((item->flags & kMicroDrvImage) != 0) DecrementSaturating(counts.imageCount);
    DecrementSaturating(counts.childCount);
  }
  return S_OK;
}

}  // namespace torwen
