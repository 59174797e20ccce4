// An in-memory camera storage for the microdriver's tests, fuzz target and
// benchmark: media with volumes, folders and files answered frame by frame as
// the storage driver would, every frame logged, and a script of overriding
// answers (transport errors, status bytes, hand-made answers) taken before
// the normal ones. A fake clock advances with every sleep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/storage_driver.h"
#include "storage/frames.h"
#include "storage/microdriver/core.h"

namespace torwen::testing {

namespace sf = storage;

struct MemoryFile {
  sf::DirectoryEntry entry;
  std::vector<uint8_t> data;       // filled on demand when empty and entry.size > 0
  std::vector<uint8_t> thumbnail;  // the answer to ReadThumbnail
};

struct MemoryVolume {
  // Folder path ("\", "\DCIM") -> its entries in listing order.
  std::unordered_map<std::string, std::vector<MemoryFile>> folders{{"\\", {}}};

  // Adds an entry to a folder (folders get an empty listing of their own).
  MemoryFile& Add(const std::string& folder, const std::string& name, const std::string& extension, uint8_t attributes,
                  uint32_t size) {
    MemoryFile file;
    // Fixed fields, zero-padded and not terminated: longer text is cut on purpose.
    auto copyField = [](char* field, size_t width, const std::string& text) {
      std::memset(field, 0, width);
      std::memcpy(field, text.data(), std::min(width, text.size()));
    };
    copyField(file.entry.name, 8, name);
    copyField(file.entry.extension, 3, extension);
    file.entry.attributes = attributes;
    file.entry.time = sf::DosDateTime{2004, 1, 2, 3, 4, 6};
    file.entry.size = size;
    if (attributes & sf::kAttributeFolder) folders[Join(folder, name, extension)];
    auto& list = folders[folder];
    list.push_back(std::move(file));
    return list.back();
  }
  static std::string Join(const std::string& folder, const std::string& name, const std::string& extension) {
    std::string path = folder == "\\" ? "\\" + name : folder + "\\" + name;
    if (!extension.empty()) path += "." + extension;
    return path;
  }
  MemoryFile* Find(const std::string& path) {
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos) return nullptr;
    const std::string folder = slash == 0 ? "\\" : path.substr(0, slash);
    auto it = folders.find(folder);
    if (it == folders.end()) return nullptr;
    for (MemoryFile& f : it->second)
      if (Join(folder, f.entry.name, f.entry.extension) == path) return &f;
    return nullptr;
  }
};

struct MemoryMedium {
  std::vector<MemoryVolume> volumes{1};
  uint8_t identity = 1;
  uint8_t flags = 0;
  uint32_t total = 64u << 20;
  uint32_t available = 32u << 20;
};

// One scripted answer: a transport error, or a status byte (and optionally
// the rest of the answer) in place of the camera's.
struct Scripted {
  int32_t error = 0;
  int status = -1;                           // -1: the camera answers normally
  std::function<void(uint8_t* frame)> fill;  // applied after the answer
  int opcode = -1;                           // -1: any frame
};

struct SentFrame {
  bool auxiliary = false;
  std::vector<uint8_t> bytes;  // as sent
};

class MemoryCamera {
 public:
  std::vector<MemoryMedium> media{1};
  uint8_t mode = 0x10;
  std::deque<Scripted> script;
  std::vector<SentFrame> sent;
  bool logFrames = true;
  uint64_t clockMs = 0;
  std::vector<uint32_t> sleeps;
  std::vector<std::string> logLines;
  int openCount = 0;
  int closeCount = 0;
  int32_t openError = 0;
  int32_t closeError = 0;
  // Called while a ReadFile or WriteFile runs (to send controls from another thread).
  std::function<void()> duringTransfer;

  // The environment of a context that reaches this camera.
  Environment MakeEnvironment() {
    Environment e;
    e.readLink = [](platform::ComStringView, platform::ComString& link) {
      link = platform::Utf8ToCom("\\??\\memory#camera#1#{storage}");
      return S_OK;
    };
    e.openDriver = [this](platform::ComStringView, std::unique_ptr<platform::StorageDriverHandle>& handle) {
      if (openError != 0) return openError;
      // Contexts open the auxiliary handle first, then the main one.
      handle = std::make_unique<Handle>(*this, openCount++ % 2 == 0);
      return 0;
    };
    e.sleep = [this](uint32_t ms) {
      sleeps.push_back(ms);
      clockMs += ms;
    };
    e.nowMs = [this] { return clockMs; };
    e.log = [this](std::string_view line) { logLines.emplace_back(line); };
    return e;
  }

  size_t CountSent(uint8_t opcode) const {
    return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [&](const SentFrame& f) {
      return !f.bytes.empty() && f.bytes[0] == opcode;
    }));
  }

  int32_t Answer(bool auxiliary, uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) {
    if (logFrames) sent.push_back({auxiliary, std::vector<uint8_t>(frame, frame + length)});
    if (!script.empty() && (script.front().opcode < 0 || script.front().opcode == frame[0])) {
      Scripted step = std::move(script.front());
      script.pop_front();
      if (step.error != 0) return step.error;
      if (step.status >= 0) {
        if (length > 1) frame[1] = static_cast<uint8_t>(step.status);
        if (step.fill) step.fill(frame);
        return 0;
      }
      const int32_t result = Normal(frame, length, data, dataLength);
      if (step.fill) step.fill(frame);
      return result;
    }
    return Normal(frame, length, data, dataLength);
  }

 private:
  class Handle final : public platform::StorageDriverHandle {
   public:
    Handle(MemoryCamera& camera, bool auxiliary) : camera_(camera), auxiliary_(auxiliary) {}
    int32_t Exchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) noexcept override {
      return camera_.Answer(auxiliary_, frame, length, data, dataLength);
    }
    int32_t Close() noexcept override {
      ++camera_.closeCount;
      return camera_.closeError;
    }

   private:
    MemoryCamera& camera_;
    bool auxiliary_;
  };

  MemoryVolume* VolumeOf(const uint8_t* frame, uint8_t& status) {
    const uint8_t m = frame[sf::kMediumOffset];
    if (m >= media.size()) return status = sf::kStatusInvalidParameter, nullptr;
    if (frame[sf::kIdentityOffset] != media[m].identity) return status = sf::kStatusMediaChanged, nullptr;
    const uint8_t v = frame[sf::kVolumeOffset] == sf::kNoVolume ? 0 : frame[sf::kVolumeOffset];
    if (v >= media[m].volumes.size()) return status = sf::kStatusInvalidParameter, nullptr;
    status = 0;
    return &media[m].volumes[v];
  }

  static std::string PathAt(const uint8_t* field) {
    std::string_view p;
    return sf::GetPath(field, p) ? std::string(p) : std::string();
  }

  int32_t Normal(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) {
    uint8_t status = 0;
    switch (static_cast<sf::Opcode>(frame[0])) {
      case sf::Opcode::QueryMode:
        frame[1] = mode;
        return 0;
      case sf::Opcode::ListMedia:
        frame[sf::list_media::kCount] = static_cast<uint8_t>(media.size());
        for (size_t m = 0; m < media.size(); ++m)
          frame[sf::list_media::kVolumes + m] = static_cast<uint8_t>(media[m].volumes.size());
        break;
      case sf::Opcode::MediaStatus: {
        const uint8_t m = frame[sf::kMediumOffset];
        if (m >= media.size()) {
          status = sf::kStatusInvalidParameter;
          break;
        }
        frame[sf::media_status::kIdentity] = media[m].identity;
        frame[sf::media_status::kFlags] = media[m].flags;
        sf::PutBe32(frame + sf::media_status::kTotal, media[m].total);
        sf::PutBe32(frame + sf::media_status::kAvailable, media[m].available);
        break;
      }
      case sf::Opcode::CountEntries: {
        MemoryVolume* volume = VolumeOf(frame, status);
        if (volume == nullptr) break;
        auto it = volume->folders.find(PathAt(frame + sf::count_entries::kPath));
        if (it == volume->folders.end()) {
          status = sf::kStatusNotFound;
          break;
        }
        // The count field holds at most 65,535.
        sf::PutBe16(frame + sf::count_entries::kCount, static_cast<uint16_t>(std::min<size_t>(it->second.size(), 0xFFFF)));
        break;
      }
      case sf::Opcode::ListDirectory: {
        MemoryVolume* volume = VolumeOf(frame, status);
        if (volume == nullptr) break;
        auto it = volume->folders.find(PathAt(frame + sf::list_directory::kPath));
        if (it == volume->folders.end()) {
          status = sf::kStatusNotFound;
          break;
        }
        const auto& entries = it->second;
        const size_t first = std::min<size_t>(sf::GetBe16(frame + sf::list_directory::kFirst), entries.size());
        const size_t count = std::min<size_t>(frame[sf::list_directory::kWanted], entries.size() - first);
        std::memset(frame + sf::list_directory::kEntries, 0, sf::kListDirectoryLength - sf::list_directory::kEntries);
        for (size_t i = 0; i < count; ++i)
          sf::EncodeDirectoryEntry(entries[first + i].entry,
                                   frame + sf::list_directory::kEntries + i * sf::kDirectoryEntrySize);
        frame[sf::list_directory::kWanted] = static_cast<uint8_t>(count);
        frame[sf::list_directory::kEndFlag] = first + count >= entries.size() ? 1 : 0;
        break;
      }
      case sf::Opcode::DeleteFile: {
        MemoryVolume* volume = VolumeOf(frame, status);
        if (volume == nullptr) break;
        const std::string path = PathAt(frame + sf::delete_file::kPath);
        const size_t slash = path.rfind('\\');
        auto it = volume->folders.find(slash == 0 ? "\\" : path.substr(0, slash));
        status = sf::kStatusNotFound;
        if (it == volume->folders.end()) break;
        auto& list = it->second;
        for (auto f = list.begin(); f != list.end(); ++f) {
          if (MemoryVolume::Join(it->first, f->entry.name, f->entry.extension) == path) {
            list.erase(f);
            status = 0;
            break;
          }
        }
        break;
      }
      case sf::Opcode::ReadThumbnail:
      case sf::Opcode::ReadFile: {
        MemoryVolume* volume = VolumeOf(frame, status);
        if (volume == nullptr) break;
        MemoryFile* file = volume->Find(PathAt(frame + sf::read_file::kPath));
        if (file == nullptr) {
          status = sf::kStatusNotFound;
          break;
        }
        if (duringTransfer && frame[0] == static_cast<uint8_t>(sf::Opcode::ReadFile)) duringTransfer();
        if (file->data.empty() && file->entry.size > 0 && file->entry.size <= (64u << 20)) {
          file->data.resize(file->entry.size);
          for (size_t i = 0; i < file->data.size(); ++i) file->data[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        const bool thumbnail = frame[0] == static_cast<uint8_t>(sf::Opcode::ReadThumbnail);
        const std::vector<uint8_t>& source = thumbnail ? file->thumbnail : file->data;
        const uint32_t capacity = sf::GetBe32(frame + sf::read_file::kCapacity);
        const uint32_t n = static_cast<uint32_t>(
            std::min<size_t>({source.size(), capacity, data == nullptr ? 0 : static_cast<size_t>(dataLength)}));
        if (n > 0) std::memcpy(data, source.data(), n);
        sf::PutBe32(frame + (thumbnail ? sf::read_file::kThumbnailLength : sf::read_file::kDelivered), n);
        break;
      }
      case sf::Opcode::WriteFile: {
        MemoryVolume* volume = nullptr;
        if (frame[sf::kMediumOffset] != sf::kDeviceNamespace) {
          volume = VolumeOf(frame, status);
          if (volume == nullptr) break;
        }
        if (duringTransfer) duringTransfer();
        std::string path = PathAt(frame + sf::write_file::kPath);
        if (path.empty() || path[0] != '\\') path = "\\" + path;
        if (volume != nullptr) {
          const size_t slash = path.rfind('\\');
          const std::string folder = slash == 0 ? "\\" : path.substr(0, slash);
          const std::string leaf = path.substr(slash + 1);
          const size_t dot = leaf.find('.');
          const uint32_t size = sf::GetBe32(frame + sf::write_file::kFirstLength);
          MemoryFile& f = volume->Add(folder, leaf.substr(0, dot), dot == std::string::npos ? "" : leaf.substr(dot + 1),
                                      0, size);
          f.data.assign(data, data + std::min(size, dataLength));
        }
        std::memset(frame + sf::write_file::kPath, 0, sf::kPathFieldSize);
        std::memcpy(frame + sf::write_file::kPath, path.data(), std::min(path.size(), sf::kMaxPathLength));
        break;
      }
      case sf::Opcode::ReadTransferControl:
      case sf::Opcode::WriteTransferControl:
        return 0;
      default:
        status = sf::kStatusInvalidParameter;
    }
    if (length > 1) frame[1] = status;
    return 0;
  }
};

// A context opened on a camera for one scope; its items freed and the context destroyed at the end.
class OpenedContext {
 public:
  explicit OpenedContext(MemoryCamera& camera) {
    created_ = CreateContext(camera.MakeEnvironment(), &context_);
    opened_ = created_ == S_OK ? Open(context_, COM_TEXT("0001")) : created_;
  }
  ~OpenedContext() {
    FreeAllItems(context_);
    (void)DestroyContext(&context_);
  }
  OpenedContext(const OpenedContext&) = delete;
  OpenedContext& operator=(const OpenedContext&) = delete;
  MicroDrvContext* get() const { return context_; }
  HRESULT opened() const { return opened_; }

 private:
  MicroDrvContext* context_ = nullptr;
  HRESULT created_ = E_FAIL;
  HRESULT opened_ = E_FAIL;
};

}  // namespace torwen::testing
