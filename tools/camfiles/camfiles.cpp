// camfiles: the camera's media through the storage microdriver, loaded by its
// exports. Lists the item tree, copies files from and to the camera, deletes
// them, saves thumbnails and shows the storage status.
//
// Exit codes: 0 done, 1 the camera or a file refused, 2 wrong use.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/imaging_devices.h"
#include "platform/input_file.h"
#include "platform/module.h"
#include "platform/output_file.h"
#include "storage/microdriver/formats.h"
#include "tools/camfiles/torwen_api.h"

namespace camfiles {
namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: camfiles [--device ID] [--library PATH] COMMAND [ARGS]\n"
    "\n"
    "The camera's media through the storage microdriver.\n"
    "\n"
    "commands:\n"
    "  tree [--json]          every medium, folder and file\n"
    "  ls PATH [--json]       the entries of a folder (\\ is the top)\n"
    "  get ITEM [DEST]        copy a file from the camera (DEST: a file or folder; default: here)\n"
    "  put [--force] FILE DEST  copy a file to the camera (DEST: the new file's path, or a folder;\n"
    "                         an existing camera file is replaced only with --force)\n"
    "  rm ITEM                delete a file or an empty folder on the camera\n"
    "  thumb ITEM OUT         save an item's thumbnail\n"
    "  status                 storage figures and whether the medium was exchanged\n"
    "\n"
    "Paths use backslashes (quote them in a shell). With several media or volumes\n"
    "they begin with \\Media:N or \\Volume:N, as `camfiles tree` shows.\n"
    "\n"
    "options:\n"
    "  --device ID            the imaging device id of the camera (default: the first camera)\n"
    "  --library PATH         the microdriver library (default: $TORWEN_LIBRARY, else beside camfiles)\n"
    "  --force                put: replace a file that exists on the camera\n"
    "  --help                 this text\n"
    "\n"
    "exit status: 0 done, 1 the camera or a file refused (tree and ls: also when the\n"
    "camera's listing is incomplete), 2 wrong use\n";

struct UsageError {
  std::string message;
};

// Words for the results people meet.
std::string Describe(HRESULT hr) {
  static const std::map<uint32_t, const char*> kWords = {
      {0x80070002, "no such file on the camera"},
      {0x80070006, "the camera is not open"},
      {0x8007000E, "out of memory"},
      {0x80070010, "the folder is in use"},
      {0x80070050, "the file exists already"},
      {0x80070052, "the camera cannot make that file"},
      {0x80070057, "invalid argument"},
      {0x80070070, "the medium is full"},
      {0x80070091, "the folder is not empty"},
      {0x800700AA, "the camera is busy"},
      {0x8007010B, "not a folder"},
      {0x80070456, "the medium was exchanged"},
      {0x800704D3, "the transfer was aborted"},
      {0x800704D5, "the camera asks to try again"},
      {0x80070651, "the camera was disconnected"},
      {0x800710D4, "no medium in the camera"},
      {0x80071779, "the file or medium is read-only"},
      {0x8000000B, "the camera delivered a different number of bytes"},
      {0x80004005, "the camera refused"},
  };
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(hr));
  const auto it = kWords.find(static_cast<uint32_t>(hr));
  return it == kWords.end() ? std::string("error ") + hex : std::string(it->second) + " (" + hex + ")";
}

std::string Narrow(const OLECHAR* text) {
  std::string s;
  for (; text != nullptr && *text != 0; ++text) s.push_back(static_cast<char>(*text));
  return s;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string TimeText(const MicroDrvTime& t, bool iso) {
  if (t.year == 0) return iso ? "null" : "                   ";
  char text[32];
  std::snprintf(text, sizeof text, iso ? "\"%04u-%02u-%02uT%02u:%02u:%02u\"" : "%04u-%02u-%02u %02u:%02u:%02u", t.year,
                t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string Kind(const MicroDrvItem& item) {
  if (item.flags & kMicroDrvRoot) return "root";
  if (item.flags & kMicroDrvStorage) return Narrow(item.name).rfind("Media:", 0) == 0 ? "medium" : "volume";
  if (item.flags & kMicroDrvFolder) return "folder";
  if (item.flags & kMicroDrvImage) return "image";
  if (item.flags & kMicroDrvVideo) return "video";
  if (item.flags & kMicroDrvAudio) return "audio";
  return "file";
}

bool IsContainer(const MicroDrvItem& item) {
  return (item.flags & (kMicroDrvRoot | kMicroDrvStorage | kMicroDrvFolder)) != 0;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// One opened camera and its item tree.
class Camera {
 public:
  explicit Camera(TorwenApi& api) : api_(api) {}
  ~Camera() {
    for (MicroDrvItem* item : items_) api_.FreeItemInfo(context_, item);
    if (context_ != nullptr) api_.UnInit(&context_);
  }
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  HRESULT Open(const platform::ComString& deviceId) {
    HRESULT hr = api_.Init(&context_);
    if (hr != S_OK) return hr;
    return api_.Open(context_, deviceId.c_str());
  }

  // Builds the tree and each container's list of children (one pass: a
  // tree of any size is walked in linear time).
  HRESULT Load() {
    MicroDrvItem* root = nullptr;
    const HRESULT hr = api_.GetDeviceInfo(context_, &root);
    for (MicroDrvItem* i = root; i != nullptr; i = i->next) items_.push_back(i);
    if (FAILED(hr)) return hr;
    for (MicroDrvItem* i : items_) {
      if ((i->flags & kMicroDrvStorage) && Narrow(i->name).rfind("Media:", 0) == 0) severalMedia_ = true;
      if ((i->flags & kMicroDrvStorage) && Narrow(i->name).rfind("Volume:", 0) == 0) severalVolumes_.insert(i->medium);
      if (i->parent != nullptr) children_[i->parent].push_back(i);
    }
    return hr;
  }

  // Folders the camera's listing skipped or cut short.
  uint32_t incompleteFolders() const { return context_->incompleteFolders; }

  // The path a person names an item by; the microdriver's put paths use the same prefixes.
  std::string DisplayPath(const MicroDrvItem& item) const {
    if (item.flags & kMicroDrvRoot) return "\\";
    std::string prefix;
    if (severalMedia_) prefix += "\\Media:" + std::to_string(item.medium + 1);
    const bool isMedium = (item.flags & kMicroDrvStorage) && Narrow(item.name).rfind("Media:", 0) == 0;
    if (isMedium) return prefix;
    if (severalVolumes_.count(item.medium)) prefix += "\\Volume:" + std::to_string(item.volume + 1);
    if (item.flags & kMicroDrvStorage) return prefix;
    return prefix + item.pathBlock->path;
  }

  MicroDrvItem* Find(const std::string& path) const {
    std::string wanted = Upper(path);
    if (wanted.empty() || wanted[0] != '\\') wanted = "\\" + wanted;
    while (wanted.size() > 1 && wanted.back() == '\\') wanted.pop_back();
    for (MicroDrvItem* i : items_)
      if (Upper(DisplayPath(*i)) == wanted) return i;
    return nullptr;
  }

  const std::vector<MicroDrvItem*>& Children(const MicroDrvItem* parent) const {
    static const std::vector<MicroDrvItem*> kNone;
    const auto it = children_.find(parent);
    return it == children_.end() ? kNone : it->second;
  }

  MicroDrvItem* root() const { return items_.empty() ? nullptr : items_.front(); }
  MicroDrvContext* context() const { return context_; }
  TorwenApi& api() { return api_; }

 private:
  TorwenApi& api_;
  MicroDrvContext* context_ = nullptr;
  std::vector<MicroDrvItem*> items_;
  std::unordered_map<const MicroDrvItem*, std::vector<MicroDrvItem*>> children_;
  bool severalMedia_ = false;
  std::set<uint8_t> severalVolumes_;
};

struct Failure {
  std::string message;
};

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw Failure{what + ": " + Describe(hr)};
}

// While a transfer runs: lets a driver that carries it in chunks go on after
// each chunk, and shows that it is running when a person is watching.
class TransferPump {
 public:
  TransferPump(Camera& camera, int32_t kind, uint64_t size, std::string label)
      : camera_(camera), kind_(kind), size_(size), label_(std::move(label)),
        draw_(platform::StandardOutputIsTerminal()), start_(std::chrono::steady_clock::now()),
        thread_([this] { Run(); }) {}
  ~TransferPump() {
    done_ = true;
    thread_.join();
    if (draw_) {
      const double seconds = Elapsed();
      std::printf("\r%-40.40s [%s] %s in %.1f s\n", label_.c_str(), std::string(kWidth, '#').c_str(),
                  Size(size_).c_str(), seconds);
      std::fflush(stdout);
    }
  }
  TransferPump(const TransferPump&) = delete;
  TransferPump& operator=(const TransferPump&) = delete;

 private:
  static constexpr int kWidth = 24;
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  static std::string Size(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
  }
  void Run() {
    int tick = 0;
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (done_) break;
      (void)camera_.api().ResumeChunkTransfer(camera_.context(), kind_);
      if (draw_ && ++tick % 20 == 0) {
        // The driver does not report progress: a moving block shows the transfer is alive.
        std::string bar(kWidth, ' ');
        const int position = (tick / 20) % (2 * kWidth - 6);
        const int at = position < kWidth - 3 ? position : 2 * kWidth - 6 - position;
        bar.replace(static_cast<size_t>(at), 3, "<=>");
        std::printf("\r%-40.40s [%s] %s  %.1f s", label_.c_str(), bar.c_str(), Size(size_).c_str(), Elapsed());
        std::fflush(stdout);
      }
    }
  }

  Camera& camera_;
  int32_t kind_;
  uint64_t size_;
  std::string label_;
  bool draw_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// --- commands --------------------------------------------------------------------

void PrintTreeText(const Camera& camera, const MicroDrvItem* item, int depth) {
  const std::string name = item->flags & kMicroDrvRoot ? "\\" : Narrow(item->name);
  std::string label = std::string(static_cast<size_t>(depth) * 2, ' ');
  if (IsContainer(*item)) {
    label += (item->flags & kMicroDrvFolder) ? name + "\\" : name;
    std::printf("%s\n", label.c_str());
  } else {
    const char* leaf = std::strrchr(item->pathBlock->path, '\\');
    label += leaf != nullptr ? leaf + 1 : item->pathBlock->path;
    std::printf("%-36s %12u  %s  %-6s%s\n", label.c_str(), item->size, TimeText(item->captureTime, false).c_str(),
                Kind(*item).c_str(), item->isProtected ? "  read-only" : "");
  }
  for (const MicroDrvItem* child : camera.Children(item)) PrintTreeText(camera, child, depth + 1);
}

std::string ItemJson(const Camera& camera, const MicroDrvItem& item) {
  std::string json = "{\"name\":" + JsonString(item.flags & kMicroDrvRoot ? "" : Narrow(item.name));
  json += ",\"path\":" + JsonString(camera.DisplayPath(item));
  json += ",\"type\":" + JsonString(Kind(item));
  if (!IsContainer(item)) {
    json += ",\"size\":" + std::to_string(item.size);
    json += ",\"time\":" + TimeText(item.captureTime, true);
    json += ",\"format\":" + JsonString(torwen::FormatOf(item.format).name);
    json += std::string(",\"thumbnail\":") + (item.thumbnailFormat != nullptr ? "true" : "false");
  }
  json += std::string(",\"protected\":") + (item.isProtected ? "true" : "false");
  return json;
}

// Appends the item and everything below it to one text.
void TreeJson(const Camera& camera, const MicroDrvItem* item, std::string& json) {
  json += ItemJson(camera, *item);
  if (IsContainer(*item)) {
    json += ",\"children\":[";
    bool first = true;
    for (const MicroDrvItem* child : camera.Children(item)) {
      if (!first) json += ",";
      first = false;
      TreeJson(camera, child, json);
    }
    json += "]";
  }
  json += "}";
}

// What a listing of part of the camera says when that part is not complete.
int ListingResult(const Camera& camera) {
  if (camera.incompleteFolders() == 0) return kExitOk;
  std::fprintf(stderr, "camfiles: the listing is incomplete: %u folder%s could not be listed in full\n",
               camera.incompleteFolders(), camera.incompleteFolders() == 1 ? "" : "s");
  return kExitFailed;
}

int Tree(Camera& camera, bool json) {
  if (json) {
    std::string text;
    TreeJson(camera, camera.root(), text);
    std::printf("%s\n", text.c_str());
  } else {
    PrintTreeText(camera, camera.root(), 0);
  }
  return ListingResult(camera);
}

MicroDrvItem* Lookup(const Camera& camera, const std::string& path) {
  MicroDrvItem* item = camera.Find(path);
  if (item == nullptr) throw Failure{path + ": no such item on the camera"};
  return item;
}

int List(Camera& camera, const std::string& path, bool json) {
  const MicroDrvItem* folder = Lookup(camera, path);
  if (!IsContainer(*folder)) throw Failure{path + ": not a folder"};
  const std::vector<MicroDrvItem*>& children = camera.Children(folder);
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < children.size(); ++i) {
      if (i != 0) out += ",";
      out += ItemJson(camera, *children[i]);
      out += "}";
    }
    std::printf("%s]\n", out.c_str());
    return ListingResult(camera);
  }
  for (const MicroDrvItem* child : children) {
    const std::string display = camera.DisplayPath(*child);
    const std::string leaf = display.substr(display.rfind('\\') + 1);
    if (IsContainer(*child)) {
      std::printf("%-6s %12s  %s  %s\\\n", Kind(*child).c_str(), "-", TimeText(child->captureTime, false).c_str(),
                  leaf.c_str());
    } else {
      std::printf("%-6s %12u  %s  %s%s\n", Kind(*child).c_str(), child->size,
                  TimeText(child->captureTime, false).c_str(), leaf.c_str(), child->isProtected ? "  (read-only)" : "");
    }
  }
  return ListingResult(camera);
}

// Writes a file whole or not at all (a new temporary file beside it, then rename).
void WriteLocalFile(const fs::path& target, const uint8_t* data, size_t size) {
  std::string error;
  const auto file = platform::CreateMappedOutputFile(target, size, error);
  if (file == nullptr) throw Failure{error};
  if (size > 0) std::memcpy(file->data(), data, size);
  if (!file->Commit(error)) throw Failure{error};
}

int Get(Camera& camera, const std::string& path, const std::string& destination) {
  MicroDrvItem* item = Lookup(camera, path);
  if (IsContainer(*item)) throw Failure{path + ": a folder cannot be copied"};
  const std::string display = camera.DisplayPath(*item);
  const std::string leaf = display.substr(display.rfind('\\') + 1);
  fs::path target = destination.empty() ? fs::path(leaf) : fs::path(destination);
  std::error_code ec;
  if (fs::is_directory(target, ec)) target /= leaf;
  // The camera's data goes straight into the new file's pages.
  std::string error;
  const auto file = platform::CreateMappedOutputFile(target, item->size, error);
  if (file == nullptr) throw Failure{error};
  HRESULT transferStatus = S_OK;
  HRESULT hr;
  {
    TransferPump pump(camera, kMicroDrvTransferRead, item->size, leaf);
    hr = camera.api().GetItemData(camera.context(), item, file->data(), item->size, &transferStatus);
  }
  Check(hr, path);
  if (!file->Commit(error)) throw Failure{error};
  return kExitOk;
}

// The "\Media:N" and "\Volume:N" components a camera path begins with.
std::string StoragePrefix(const std::string& path) {
  size_t end = 0;
  for (;;) {
    if (end >= path.size() || path[end] != '\\') break;
    const size_t next = std::min(path.find('\\', end + 1), path.size());
    const std::string_view component = std::string_view(path).substr(end + 1, next - end - 1);
    if (component.rfind("Media:", 0) != 0 && component.rfind("Volume:", 0) != 0) break;
    end = next;
  }
  return path.substr(0, end);
}

int Put(Camera& camera, const std::string& file, std::string destination, bool force) {
  // The file is mapped, never read into memory: the driver takes it from there
  // chunk by chunk. A FIFO or device is refused before anything waits on it.
  std::unique_ptr<platform::MappedInputFile> source;
  std::string error;
  switch (platform::OpenMappedInputFile(file, 0xFFFFFFFFu, source, error)) {
    case platform::InputFileStatus::Ok: break;
    case platform::InputFileStatus::NotRegular: throw Failure{file + ": not a regular file"};
    case platform::InputFileStatus::TooLarge: throw Failure{file + ": too large for the camera (4 GiB at most)"};
    case platform::InputFileStatus::Failed: throw Failure{error};
  }
  if (const MicroDrvItem* folder = camera.Find(destination); folder != nullptr && IsContainer(*folder)) {
    const std::string base = camera.DisplayPath(*folder);
    destination = (base == "\\" ? "" : base) + "\\" + Upper(fs::path(file).filename().string());
  }
  if (destination.empty() || destination[0] != '\\') destination = "\\" + destination;
  if (const MicroDrvItem* existing = camera.Find(destination); existing != nullptr) {
    if (IsContainer(*existing)) throw Failure{destination + ": a folder of that name exists on the camera"};
    if (!force) throw Failure{destination + ": exists on the camera (--force replaces it)"};
  } else if (camera.incompleteFolders() != 0 && !force) {
    throw Failure{destination + ": the camera's listing is incomplete, so whether it exists is not known "
                  "(--force writes it anyway)"};
  }
  MicroDrvPutRequest request{};
  if (destination.size() >= sizeof request.path) throw UsageError{destination + ": path too long"};
  std::memcpy(request.path, destination.data(), destination.size());
  const auto size = static_cast<uint32_t>(source->size());
  request.firstLength = request.secondLength = size;
  request.firstFlag = 1;
  request.secondFlag = 1;
  request.data = source->data();
  uint8_t frame[kMicroDrvPutFrameSize];
  HRESULT hr;
  {
    TransferPump pump(camera, kMicroDrvTransferWrite, size, fs::path(file).filename().string());
    hr = camera.api().PutItemData(camera.context(), &request, frame);
  }
  Check(hr, destination);
  // The driver answers with the path on its medium; the medium and volume are ours to name.
  const std::string stored(request.path, strnlen(request.path, sizeof request.path));
  const std::string prefix = StoragePrefix(destination);
  std::string shown = stored.rfind(prefix, 0) == 0 ? stored : prefix + (stored.rfind('\\', 0) == 0 ? "" : "\\") + stored;
  std::printf("stored as %s\n", shown.c_str());
  return kExitOk;
}

int Remove(Camera& camera, const std::string& path) {
  MicroDrvItem* item = Lookup(camera, path);
  if (item->flags & (kMicroDrvRoot | kMicroDrvStorage)) throw Failure{path + ": a medium cannot be deleted"};
  Check(camera.api().DeleteItem(camera.context(), item), path);
  return kExitOk;
}

int Thumbnail(Camera& camera, const std::string& path, const std::string& out) {
  MicroDrvItem* item = Lookup(camera, path);
  if (item->thumbnailFormat == nullptr) throw Failure{path + ": has no thumbnail"};
  Check(camera.api().GetThumbnail(camera.context(), item), path);
  WriteLocalFile(out, item->thumbnail, item->thumbnailLength);
  return kExitOk;
}

int Status(Camera& camera) {
  const MicroDrvContext& c = *camera.context();
  const HRESULT hr = camera.api().GetStatus(camera.context());
  size_t media = 0;
  for (const MicroDrvItem* i = camera.root(); i != nullptr; i = i->next)
    if (Kind(*i) == "medium") ++media;
  std::printf("mode:       %u\n", c.mode);
  std::printf("media:      %zu\n", media == 0 ? size_t{1} : media);
  std::printf("files:      %u (images: %u)\n", c.fileCount, c.imageCount);
  std::printf("total:      %lld bytes\n", static_cast<long long>(c.storageTotal));
  std::printf("available:  %lld bytes\n", static_cast<long long>(c.storageAvailable));
  std::printf("protected:  %s\n", c.protectionByte || c.protectionWord ? "yes" : "no");
  if (hr == static_cast<HRESULT>(0x80070456)) {
    std::printf("medium:     exchanged since the listing\n");
    return kExitOk;
  }
  Check(hr, "status");
  std::printf("medium:     unchanged\n");
  return kExitOk;
}

// --- the command line -----------------------------------------------------------------

struct Options {
  std::string device;
  std::string library;
  std::string command;
  std::vector<std::string> arguments;
  bool json = false;
  bool force = false;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      o.json = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--device" || a == "--library") {
      if (i + 1 >= argc) throw UsageError{a + " needs a value"};
      (a == "--device" ? o.device : o.library) = argv[++i];
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      throw UsageError{"unknown option " + a};
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.arguments.push_back(a);
    }
  }
  static const std::map<std::string, std::pair<size_t, size_t>> kArity = {
      {"tree", {0, 0}}, {"ls", {1, 1}}, {"get", {1, 2}}, {"put", {2, 2}}, {"rm", {1, 1}}, {"thumb", {2, 2}},
      {"status", {0, 0}}};
  if (o.command.empty()) throw UsageError{"no command"};
  const auto it = kArity.find(o.command);
  if (it == kArity.end()) throw UsageError{"unknown command " + o.command};
  if (o.arguments.size() < it->second.first || o.arguments.size() > it->second.second)
    throw UsageError{"wrong number of arguments for " + o.command};
  if (o.json && o.command != "tree" && o.command != "ls") throw UsageError{"--json goes with tree and ls"};
  if (o.force && o.command != "put") throw UsageError{"--force goes with put"};
  return o;
}

fs::path LibraryPath(const Options& o) {
  if (!o.library.empty()) return o.library;
  if (const char* env = std::getenv("TORWEN_LIBRARY"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  // Beside the program's own file: argv[0] of a program found through PATH is
  // a bare name, which would name the current folder.
  const fs::path beside = fs::path(platform::ModuleFilePath()).parent_path() / platform::DynamicLibraryFileName("torwen");
  if (fs::exists(beside, ec)) return beside;
#ifdef CAMFILES_BUILT_LIBRARY
  return CAMFILES_BUILT_LIBRARY;
#else
  return beside;
#endif
}

// COM on this thread for as long as it lives: the imaging-service list is a COM server.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

platform::ComString ChooseDevice(const Options& o) {
  if (!o.device.empty()) return platform::Utf8ToCom(o.device);
  const ComApartment apartment;
  Check(apartment.result(), "starting COM");
  std::vector<platform::ImagingDevice> devices;
  Check(platform::ListImagingDevices(devices), "listing the cameras");
  for (const platform::ImagingDevice& d : devices)
    if ((d.type >> 16) == platform::kImagingMainTypeCamera) return d.deviceId;
  throw Failure{"no camera found"};
}

int Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
  }
  const Options o = Parse(argc, argv);
  TorwenApi api;
  std::string error;
  if (!api.Load(LibraryPath(o), error)) throw Failure{error};
  const platform::ComString device = ChooseDevice(o);
  Camera camera(api);
  Check(camera.Open(device), "opening the camera");
  Check(camera.Load(), "reading the camera's media");
  // tree and ls report it as their result; the other commands go on with what was listed.
  if (camera.incompleteFolders() != 0 && o.command != "tree" && o.command != "ls")
    std::fprintf(stderr, "camfiles: warning: %u folder%s could not be listed in full\n", camera.incompleteFolders(),
                 camera.incompleteFolders() == 1 ? "" : "s");
  const auto& a = o.arguments;
  if (o.command == "tree") return Tree(camera, o.json);
  if (o.command == "ls") return List(camera, a[0], o.json);
  if (o.command == "get") return Get(camera, a[0], a.size() > 1 ? a[1] : std::string());
  if (o.command == "put") return Put(camera, a[0], a[1], o.force);
  if (o.command == "rm") return Remove(camera, a[0]);
  if (o.command == "thumb") return Thumbnail(camera, a[0], a[1]);
  return Status(camera);
}

}  // namespace
}  // namespace camfiles

static int RunAndReport(int argc, char** argv) {
  try {
    return camfiles::Run(argc, argv);
  } catch (const camfiles::UsageError& e) {
    std::fprintf(stderr, "camfiles: %s\n%s", e.message.c_str(), "try 'camfiles --help'\n");
    return camfiles::kExitUsage;
  } catch (const camfiles::Failure& e) {
    std::fprintf(stderr, "camfiles: %s\n", e.message.c_str());
    return camfiles::kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "camfiles: %s\n", e.what());
    return camfiles::kExitFailed;
  }
}

int main(int argc, char** argv) { return platform::FinishStandardOutput("camfiles", RunAndReport(argc, argv)); }
