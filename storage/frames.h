// Storage command frames of the camera's storage driver, shared by the
// library's storage channel, the microdriver and the virtual camcorder: the
// control code, opcodes and frame lengths, every field offset, the status
// bytes with their meaning for each sender, big-endian number helpers, the
// 20-byte directory entry record and the frame builders.
//
// Portable: no platform header. A frame is a plain byte buffer, zero-filled
// before it is built, sent and received in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace storage {

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS).
inline constexpr uint32_t kStorageControlCode = 0x222403;

enum class Opcode : uint8_t {
  QueryMode = 0x01,
  ListMedia = 0x02,
  MediaStatus = 0x03,
  ListDirectory = 0x04,
  CountEntries = 0x06,
  DeleteFile = 0x07,
  ReadThumbnail = 0x08,
  ReadFile = 0x09,
  WriteFile = 0x0A,
  ReadTransferControl = 0x15,
  WriteTransferControl = 0x16,
};

inline constexpr uint32_t kQueryModeLength = 2;
inline constexpr uint32_t kListMediaLength = 258;
inline constexpr uint32_t kMediaStatusLength = 23;
inline constexpr uint32_t kListDirectoryLength = 492;
inline constexpr uint32_t kCountEntriesLength = 265;
inline constexpr uint32_t kDeleteFileLength = 261;
inline constexpr uint32_t kReadThumbnailLength = 276;
inline constexpr uint32_t kReadFileLength = 276;
inline constexpr uint32_t kWriteFileLength = 280;
inline constexpr uint32_t kReadTransferControlLength = 276;
inline constexpr uint32_t kWriteTransferControlLength = 280;
// The largest frame: a buffer of this size holds any of them.
inline constexpr uint32_t kMaxFrameLength = 492;

// The frame length of an opcode; 0 for an opcode no sender uses.
uint32_t FrameLength(uint8_t opcode);

// Common bytes.
inline constexpr size_t kOpcodeOffset = 0;
inline constexpr size_t kStatusOffset = 1;
inline constexpr size_t kMediumOffset = 2;
inline constexpr size_t kVolumeOffset = 3;
inline constexpr size_t kIdentityOffset = 4;
inline constexpr uint8_t kDeviceNamespace = 0xFF;  // medium index of the device namespace
inline constexpr uint8_t kNoVolume = 0xFF;

// A path field holds a NUL-terminated path of at most 254 characters.
inline constexpr size_t kPathFieldSize = 255;
inline constexpr size_t kMaxPathLength = kPathFieldSize - 1;

// The receive area of thumbnails and of the library's reads.
inline constexpr uint32_t kTransferAreaSize = 0x8000;

namespace query_mode {
inline constexpr size_t kMode = 1;  // no status byte in this frame
inline constexpr uint8_t kModeStorage = 0x10;
inline constexpr uint8_t kModeOther = 0x20;
}  // namespace query_mode

namespace list_media {
inline constexpr size_t kCount = 2;
inline constexpr size_t kVolumes = 3;  // one byte per medium
inline constexpr size_t kMaxMedia = kListMediaLength - kVolumes;
}  // namespace list_media

namespace media_status {
inline constexpr size_t kIdentity = 4;
inline constexpr size_t kFlags = 5;
inline constexpr size_t kTotal = 11;
inline constexpr size_t kAvailable = 19;
inline constexpr uint8_t kFlagProtected = 0x01;
inline constexpr uint8_t kFlagProtectedWord = 0x02;
}  // namespace media_status

namespace list_directory {
inline constexpr size_t kKind = 6;  // the senders put 3 here
inline constexpr size_t kFirst = 7;  // 16-bit big-endian
inline constexpr size_t kWanted = 9;  // in: wanted; out: returned
inline constexpr size_t kPathLength = 10;
inline constexpr size_t kEndFlag = 11;
inline constexpr size_t kPath = 12;  // in: the folder path; out: the entries
inline constexpr size_t kEntries = 12;
inline constexpr uint8_t kEntriesPerCall = 24;
}  // namespace list_directory

namespace count_entries {
inline constexpr size_t kSelector = 6;
inline constexpr size_t kCount = 7;  // 16-bit big-endian
inline constexpr size_t kPathLength = 9;
inline constexpr size_t kPath = 10;
inline constexpr uint8_t kSelectorLibrary = 1;
inline constexpr uint8_t kSelectorFolder = 3;
}  // namespace count_entries

namespace delete_file {
inline constexpr size_t kPathLength = 5;
inline constexpr size_t kPath = 6;
}  // namespace delete_file

// ReadThumbnail and ReadFile share one layout.
namespace read_file {
inline constexpr size_t kPathLength = 5;
inline constexpr size_t kPath = 6;
inline constexpr size_t kCapacity = 262;   // in; ReadThumbnail out: length delivered
inline constexpr size_t kRequested = 266;  // in; ReadFile out: bytes delivered
inline constexpr size_t kAddress = 272;
inline constexpr size_t kThumbnailLength = 262;
inline constexpr size_t kDelivered = 266;
}  // namespace read_file

namespace write_file {
inline constexpr size_t kPathLength = 5;
inline constexpr size_t kPath = 6;  // in: the path; out: the path as stored
inline constexpr size_t kFirstLength = 261;
inline constexpr size_t kSecondLength = 265;
inline constexpr size_t kFirstFlag = 269;
inline constexpr size_t kSecondFlag = 270;
inline constexpr size_t kAddress = 272;
}  // namespace write_file

namespace transfer_control {
inline constexpr size_t kAction = 1;
inline constexpr uint8_t kContinue = 0x00;
inline constexpr uint8_t kAbort = 0xFF;
}  // namespace transfer_control

// Status bytes (byte 1 of an answer).
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusBusy = 0x80;
inline constexpr uint8_t kStatusAborted = 0x81;
inline constexpr uint8_t kStatusRetry = 0x82;
inline constexpr uint8_t kStatusMediaBusy = 0x84;
inline constexpr uint8_t kStatusMediaChanged = 0x90;
inline constexpr uint8_t kStatusInvalidParameter = 0x93;
inline constexpr uint8_t kStatusNoMedium = 0xA0;
inline constexpr uint8_t kStatusNotFound = 0xA1;
inline constexpr uint8_t kStatusNotAFolder = 0xA2;
inline constexpr uint8_t kStatusDiskFull = 0xA3;
inline constexpr uint8_t kStatusExists = 0xA4;
inline constexpr uint8_t kStatusReadOnly = 0xA8;
inline constexpr uint8_t kStatusFolderInUse = 0xAA;
inline constexpr uint8_t kStatusFolderNotEmpty = 0xAB;
inline constexpr uint8_t kStatusCannotMake = 0xAC;

// Win32 errors a storage driver exchange reports beside the status byte.
inline constexpr int32_t kErrorInvalidParameter = 87;
inline constexpr int32_t kErrorBusy = 170;
inline constexpr int32_t kErrorDeviceRemoved = 1617;

// What the library's storage channel does with a status byte.
enum class LibraryStatus { Success, BusyRetry, Protected, Failure };
LibraryStatus ClassifyForLibrary(uint8_t status);

// The microdriver retries these statuses (busy retry policy); others end the exchange.
bool IsMicrodriverRetryStatus(uint8_t status);

// The microdriver's status map: a status byte to its result code (an HRESULT value).
int32_t MapStatus(uint8_t status);

// A positive Win32 error e becomes 0x80070000 | (e & 0xFFFF); zero or a
// negative value passes unchanged.
constexpr int32_t ResultFromWin32(int32_t error) {
  return error <= 0 ? error
                    : static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

// Big-endian numbers (every frame field) and little-endian ones (the directory entry).
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
  return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// DOS date and time as the directory entry carries them.
struct DosDateTime {
  uint16_t year = 1980;  // 1980 to 2107
  uint8_t month = 1;     // 1 to 12
  uint8_t day = 1;       // 1 to 31
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;  // even; odd seconds are rounded down
};
uint16_t EncodeDosDate(const DosDateTime& t);
uint16_t EncodeDosTime(const DosDateTime& t);
DosDateTime DecodeDosDateTime(uint16_t date, uint16_t time);

// The 20-byte directory entry record of a ListDirectory answer.
inline constexpr size_t kDirectoryEntrySize = 20;
inline constexpr uint8_t kAttributeReadOnly = 0x01;
inline constexpr uint8_t kAttributeFolder = 0x10;

struct DirectoryEntry {
  char name[9] = {};       // without the padding, NUL-terminated
  char extension[4] = {};  // without the padding, NUL-terminated; empty: none
  uint8_t attributes = 0;
  DosDateTime time;
  uint32_t size = 0;
};
// Writes the record; name and extension are cut to 8 and 3 characters and padded with spaces.
void EncodeDirectoryEntry(const DirectoryEntry& entry, uint8_t* record);
// Reads a record; the name and extension end at their first space.
DirectoryEntry DecodeDirectoryEntry(const uint8_t* record);

// Copies a path into a path field with its terminator. False (and the field
// left zero) when the path is longer than 254 characters or holds a NUL.
bool PutPath(uint8_t* field, std::string_view path);
// The path of a field up to its terminator; false when the field has none
// within its 255 bytes.
bool GetPath(const uint8_t* field, std::string_view& path);

// The data address of frames 0x08, 0x09 and 0x0A: the area's address in a
// 32-bit build; 0 in a 64-bit build, which passes the area beside the frame.
void PutDataAddress(uint8_t* field, const void* area);

// Frame builders. Each zero-fills the span first and fails (false) when the
// span is shorter than the frame or a path does not fit its field.
struct Address {
  uint8_t medium = kDeviceNamespace;
  uint8_t volume = kNoVolume;
  uint8_t identity = 0;
};
bool BuildQueryMode(std::span<uint8_t> frame);
bool BuildListMedia(std::span<uint8_t> frame);
bool BuildMediaStatus(std::span<uint8_t> frame, uint8_t medium);
bool BuildListDirectory(std::span<uint8_t> frame, Address at, uint16_t first, std::string_view folder);
bool BuildCountEntries(std::span<uint8_t> frame, Address at, uint8_t selector, std::string_view path);
bool BuildDeleteFile(std::span<uint8_t> frame, Address at, std::string_view path);
bool BuildReadThumbnail(std::span<uint8_t> frame, Address at, std::string_view path, const void* area);
bool BuildReadFile(std::span<uint8_t> frame, Address at, std::string_view path, uint32_t capacity,
                   uint32_t requested, const void* area);
struct WriteRequest {
  uint8_t pathLength = 0;  // the sender's length byte (see the callers)
  uint32_t firstLength = 0;
  uint32_t secondLength = 0;
  uint8_t firstFlag = 0;
  uint8_t secondFlag = 0;
  const void* data = nullptr;
};
bool BuildWriteFile(std::span<uint8_t> frame, Address at, std::string_view path, const WriteRequest& request);
// ReadTransferControl (read = true, 276 bytes) or WriteTransferControl (280 bytes).
bool BuildTransferControl(std::span<uint8_t> frame, bool read, bool abort);

// The text name of an opcode ("ReadFile"), or "unknown".
std::string_view OpcodeName(uint8_t opcode);

}  // namespace storage
