#include "storage/frames.h"

#include <algorithm>
#include <cstring>

namespace storage {

uint32_t FrameLength(uint8_t opcode) {
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::QueryMode: return kQueryModeLength;
    case Opcode::ListMedia: return kListMediaLength;
    case Opcode::MediaStatus: return kMediaStatusLength;
    case Opcode::ListDirectory: return kListDirectoryLength;
    case Opcode::CountEntries: return kCountEntriesLength;
    case Opcode::DeleteFile: return kDeleteFileLength;
    case Opcode::ReadThumbnail: return kReadThumbnailLength;
    case Opcode::ReadFile: return kReadFileLength;
    case Opcode::WriteFile: return kWriteFileLength;
    case Opcode::ReadTransferControl: return kReadTransferControlLength;
    case Opcode::WriteTransferControl: return kWriteTransferControlLength;
  }
  return 0;
}

std::string_view OpcodeName(uint8_t opcode) {
  switch (static_cast<Opcode>(opcode)) {
    case Opcode::QueryMode: return "QueryMode";
    case Opcode::ListMedia: return "ListMedia";
    case Opcode::MediaStatus: return "MediaStatus";
    case Opcode::ListDirectory: return "ListDirectory";
    case Opcode::CountEntries: return "CountEntries";
    case Opcode::DeleteFile: return "DeleteFile";
    case Opcode::ReadThumbnail: return "ReadThumbnail";
    case Opcode::ReadFile: return "ReadFile";
    case Opcode::WriteFile: return "WriteFile";
    case Opcode::ReadTransferControl: return "ReadTransferControl";
    case Opcode::WriteTransferControl: return "WriteTransferControl";
  }
  return "unknown";
}

LibraryStatus ClassifyForLibrary(uint8_t status) {
  switch (status) {
    case kStatusOk: return LibraryStatus::Success;
    case kStatusBusy: return LibraryStatus::BusyRetry;
    case kStatusReadOnly: return LibraryStatus::Protected;
    default: return LibraryStatus::Failure;
  }
}

bool IsMicrodriverRetryStatus(uint8_t status) {
  return status == 0x80 || status == 0x82 || status == 0x84 || status == 0xB1 || status == 0xFE;
}

int32_t MapStatus(uint8_t status) {
  struct Entry {
    uint8_t status;
    int32_t win32;
  };
  static constexpr Entry kMap[] = {
      {0x80, 170},  {0x81, 1235}, {0x82, 1237}, {0x90, 1110}, {0x91, 1173},  {0x93, 87},
      {0xA0, 4308}, {0xA1, 2},    {0xA2, 267},  {0xA3, 112},  {0xA4, 80},    {0xA8, 6009},
      {0xAA, 16},   {0xAB, 145},  {0xAC, 82},   {0xB2, 14801}, {0xB3, 14802},
  };
  if (status == kStatusOk) return 0;
  for (const Entry& e : kMap) {
    if (e.status == status) return ResultFromWin32(e.win32);
  }
  return static_cast<int32_t>(0x80004005u);  // E_FAIL
}

uint16_t EncodeDosDate(const DosDateTime& t) {
  const unsigned year = std::clamp<unsigned>(t.year, 1980, 2107) - 1980;
  return static_cast<uint16_t>((year << 9) | ((t.month & 0x0Fu) << 5) | (t.day & 0x1Fu));
}

uint16_t EncodeDosTime(const DosDateTime& t) {
  return static_cast<uint16_t>(((t.hour & 0x1Fu) << 11) | ((t.minute & 0x3Fu) << 5) | ((t.second / 2u) & 0x1Fu));
}

DosDateTime DecodeDosDateTime(uint16_t date, uint16_t time) {
  DosDateTime t;
  t.year = static_cast<uint16_t>(1980 + (date >> 9));
  t.month = static_cast<uint8_t>((date >> 5) & 0x0F);
  t.day = static_cast<uint8_t>(date & 0x1F);
  t.hour = static_cast<uint8_t>(time >> 11);
  t.minute = static_cast<uint8_t>((time >> 5) & 0x3F);
  t.second = static_cast<uint8_t>((time & 0x1F) * 2);
  return t;
}

void EncodeDirectoryEntry(const DirectoryEntry& entry, uint8_t* record) {
  std::memset(record, ' ', 11);
  for (size_t i = 0; i < 8 && entry.name[i] != '\0'; ++i) record[i] = static_cast<uint8_t>(entry.name[i]);
  for (size_t i = 0; i < 3 && entry.extension[i] != '\0'; ++i) record[8 + i] = static_cast<uint8_t>(entry.extension[i]);
  record[11] = entry.attributes;
  PutLe16(record + 12, EncodeDosTime(entry.time));
  PutLe16(record + 14, EncodeDosDate(entry.time));
  PutLe32(record + 16, entry.size);
}

DirectoryEntry DecodeDirectoryEntry(const uint8_t* record) {
  DirectoryEntry entry;
  for (size_t i = 0; i < 8 && record[i] != ' ' && record[i] != '\0'; ++i) entry.name[i] = static_cast<char>(record[i]);
  for (size_t i = 0; i < 3 && record[8 + i] != ' ' && record[8 + i] != '\0'; ++i) {
    entry.extension[i] = static_cast<char>(record[8 + i]);
  }
  entry.attributes = record[11];
  entry.time = DecodeDosDateTime(GetLe16(record + 14), GetLe16(record + 12));
  entry.size = GetLe32(record + 16);
  return entry;
}

bool PutPath(uint8_t* field, std::string_view path) {
  std::memset(field, 0, kPathFieldSize);
  if (path.size() > kMaxPathLength || path.find('\0') != std::string_view::npos) return false;
  std::memcpy(field, path.data(), path.size());
  return true;
}

bool GetPath(const uint8_t* field, std::string_view& path) {
  const void* end = std::memchr(field, 0, kPathFieldSize);
  if (end == nullptr) return false;
  path = std::string_view(reinterpret_cast<const char*>(field),
                          static_cast<size_t>(static_cast<const uint8_t*>(end) - field));
  return true;
}

void PutDataAddress(uint8_t* field, const void* area) {
  if constexpr (sizeof(void*) == 4) {
    PutBe32(field, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area)));
  } else {
    PutBe32(field, 0);
  }
}

namespace {

bool Prepare(std::span<uint8_t> frame, uint32_t length, Opcode opcode) {
  if (frame.size() < length) return false;
  std::fill(frame.begin(), frame.begin() + length, uint8_t{0});
  frame[kOpcodeOffset] = static_cast<uint8_t>(opcode);
  return true;
}

void PutAddress(std::span<uint8_t> frame, Address at) {
  frame[kMediumOffset] = at.medium;
  frame[kVolumeOffset] = at.volume;
  frame[kIdentityOffset] = at.identity;
}

bool PutPathWithLength(std::span<uint8_t> frame, size_t lengthOffset, size_t pathOffset, std::string_view path) {
  if (!PutPath(frame.data() + pathOffset, path)) return false;
  frame[lengthOffset] = static_cast<uint8_t>(path.size());
  return true;
}

}  // namespace

bool BuildQueryMode(std::span<uint8_t> frame) { return Prepare(frame, kQueryModeLength, Opcode::QueryMode); }

bool BuildListMedia(std::span<uint8_t> frame) { return Prepare(frame, kListMediaLength, Opcode::ListMedia); }

bool BuildMediaStatus(std::span<uint8_t> frame, uint8_t medium) {
  if (!Prepare(frame, kMediaStatusLength, Opcode::MediaStatus)) return false;
  frame[kMediumOffset] = medium;
  return true;
}

bool BuildListDirectory(std::span<uint8_t> frame, Address at, uint16_t first, std::string_view folder) {
  if (!Prepare(frame, kListDirectoryLength, Opcode::ListDirectory)) return false;
  PutAddress(frame, at);
  frame[list_directory::kKind] = 3;
  PutBe16(frame.data() + list_directory::kFirst, first);
  frame[list_directory::kWanted] = list_directory::kEntriesPerCall;
  if (!PutPathWithLength(frame, list_directory::kPathLength, list_directory::kPath, folder)) {
    std::fill(frame.begin(), frame.begin() + kListDirectoryLength, uint8_t{0});
    return false;
  }
  return true;
}

bool BuildCountEntries(std::span<uint8_t> frame, Address at, uint8_t selector, std::string_view path) {
  if (!Prepare(frame, kCountEntriesLength, Opcode::CountEntries)) return false;
  PutAddress(frame, at);
  frame[count_entries::kSelector] = selector;
  return PutPathWithLength(frame, count_entries::kPathLength, count_entries::kPath, path);
}

bool BuildDeleteFile(std::span<uint8_t> frame, Address at, std::string_view path) {
  if (!Prepare(frame, kDeleteFileLength, Opcode::DeleteFile)) return false;
  PutAddress(frame, at);
  return PutPathWithLength(frame, delete_file::kPathLength, delete_file::kPath, path);
}

bool BuildReadThumbnail(std::span<uint8_t> frame, Address at, std::string_view path, const void* area) {
  if (!Prepare(frame, kReadThumbnailLength, Opcode::ReadThumbnail)) return false;
  PutAddress(frame, at);
  if (!PutPathWithLength(frame, read_file::kPathLength, read_file::kPath, path)) return false;
  PutBe32(frame.data() + read_file::kCapacity, kTransferAreaSize);
  PutBe32(frame.data() + read_file::kRequested, kTransferAreaSize);
  PutDataAddress(frame.data() + read_file::kAddress, area);
  return true;
}

bool BuildReadFile(std::span<uint8_t> frame, Address at, std::string_view path, uint32_t capacity,
                   uint32_t requested, const void* area) {
  if (!Prepare(frame, kReadFileLength, Opcode::ReadFile)) return false;
  PutAddress(frame, at);
  if (!PutPathWithLength(frame, read_file::kPathLength, read_file::kPath, path)) return false;
  PutBe32(frame.data() + read_file::kCapacity, capacity);
  PutBe32(frame.data() + read_file::kRequested, requested);
  PutDataAddress(frame.data() + read_file::kAddress, area);
  return true;
}

bool BuildWriteFile(std::span<uint8_t> frame, Address at, std::string_view path, const WriteRequest& request) {
  if (!Prepare(frame, kWriteFileLength, Opcode::WriteFile)) return false;
  PutAddress(frame, at);
  if (!PutPath(frame.data() + write_file::kPath, path)) return false;
  frame[write_file::kPathLength] = request.pathLength;
  PutBe32(frame.data() + write_file::kFirstLength, request.firstLength);
  PutBe32(frame.data() + write_file::kSecondLength, request.secondLength);
  frame[write_file::kFirstFlag] = request.firstFlag;
  frame[write_file::kSecondFlag] = request.secondFlag;
  PutDataAddress(frame.data() + write_file::kAddress, request.data);
  return true;
}

bool BuildTransferControl(std::span<uint8_t> frame, bool read, bool abort) {
  const uint32_t length = read ? kReadTransferControlLength : kWriteTransferControlLength;
  if (!Prepare(frame, length, read ? Opcode::ReadTransferControl : Opcode::WriteTransferControl)) return false;
  frame[transfer_control::kAction] = abort ? transfer_control::kAbort : transfer_control::kContinue;
  return true;
}

}  // namespace storage
