// torwen, the camera storage microdriver: the records it shares with its
// caller (the imaging service's camera driver) and its fourteen exports.
//
// The records are allocated, owned and freed by torwen; the caller reads
// them and sets the two "fast" words of the context. On 32-bit Windows they
// have the caller's byte layout exactly (checked below); other builds keep
// the field order with natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com.h"

#ifdef _WIN32
#define TORWEN_CALL __stdcall
#define TORWEN_EXPORT
#else
#define TORWEN_CALL
#define TORWEN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// The opened camera. Zero-filled at creation.
struct MicroDrvContext {
  uint16_t imageCount;        // image files found (saturates at 0xFFFF)
  uint16_t reserved0;
  uint32_t fileCount;         // files found
  uint32_t entryTotal;        // entries reported by all folders listed
  uint32_t incompleteFolders; // folders the last listing skipped or listed in part (0: complete)
  int64_t storageTotal;       // bytes over all media
  int64_t storageAvailable;   // bytes free over all media; refreshed by MicroDrvGetStatus
  uint8_t* mediaTable;        // the identity byte of each medium (owned by torwen)
  void* mainHandle;           // storage driver handle for every frame but the transfer controls
  void* auxiliaryHandle;      // storage driver handle for the transfer controls
  uint8_t mode;               // QueryMode: 1 (0x10), 2 (0x20) or the byte as received
  uint8_t reserved2[17];
  uint8_t protectionByte;     // 1 when bit 0 of the last medium's flags was set
  uint8_t reserved3;
  uint32_t protectionWord;    // 0x100 when bit 1 of the medium flags was set
  uint32_t fastBusy;          // set by the caller: non-zero shortens the wait on busy status 0x80
  uint32_t fastMedia;         // set by the caller: non-zero shortens the wait on status 0x84
  uint32_t reserved4;
};

// SYSTEMTIME.
struct MicroDrvTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// An item's path and a folder's counts.
struct MicroDrvPathBlock {
  char path[256];        // NUL-terminated
  uint32_t imageCount;   // images in the folder
  uint32_t childCount;   // entries of the folder
};

inline constexpr size_t kMicroDrvReadFrameSize = 276;

// One item of the list: root, medium, volume, folder or file. Zero-filled at creation.
struct MicroDrvItem {
  uint8_t medium;               // 0-based; 0xFF: not assigned
  uint8_t volume;               // 0-based; 0xFF: not assigned
  uint8_t reserved0[2];
  MicroDrvPathBlock* pathBlock;
  uint32_t reserved1;
  MicroDrvItem* parent;         // none for the root (and once the parent is freed)
  MicroDrvItem* next;
  MicroDrvItem* previous;
  OLECHAR* name;                // 9 wide characters with the terminator; none for the root
  MicroDrvTime captureTime;     // all zero when the camera gave no valid date
  uint32_t flags;               // MicroDrvItemFlag
  const GUID* format;
  const GUID* thumbnailFormat;  // none when the item has no thumbnail
  uint32_t reserved2[2];
  uint32_t size;                // bytes, unsigned
  uint32_t reserved3[2];
  uint8_t* thumbnail;           // read by MicroDrvGetThumbnail
  uint32_t thumbnailLength;
  uint32_t isProtected;         // 1: read-only or on a protected medium
  OLECHAR extension[4];         // without the dot, NUL-terminated
  uint32_t reserved4;
  uint8_t readFrame[kMicroDrvReadFrameSize];  // the ReadFile frame of this item's data
};

enum MicroDrvItemFlag : uint32_t {
  kMicroDrvImage = 0x1,
  kMicroDrvFile = 0x2,
  kMicroDrvFolder = 0x4,
  kMicroDrvRoot = 0x8,
  kMicroDrvAudio = 0x20,
  kMicroDrvVideo = 0x10000,
  kMicroDrvStorage = 0x20000,  // stands for a medium or a volume
};

// A write to the camera, supplied and owned by the caller.
struct MicroDrvPutRequest {
  uint32_t secondLength;
  uint32_t firstLength;
  char path[255];        // may begin with "Media:n" and "Volume:n"; on success the path the driver stored
  uint8_t firstFlag;
  uint8_t secondFlag;    // non-zero: the path sent starts with a backslash
  uint8_t reserved[7];
  const uint8_t* data;
};

inline constexpr size_t kMicroDrvPutFrameSize = 280;
inline constexpr int32_t kMicroDrvTransferRead = 21;
inline constexpr int32_t kMicroDrvTransferWrite = 22;

TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvInit(MicroDrvContext** context);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvUnInit(MicroDrvContext** context);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvOpen(MicroDrvContext* context, const OLECHAR* instanceKey);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvClose(MicroDrvContext* context);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvGetDeviceInfo(MicroDrvContext* context, MicroDrvItem** firstItem);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvFreeItemInfo(MicroDrvContext* context, MicroDrvItem* item);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvGetStatus(MicroDrvContext* context);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvGetMediaStatus(MicroDrvContext* context);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvGetThumbnail(MicroDrvContext* context, MicroDrvItem* item);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvGetItemData(MicroDrvContext* context, MicroDrvItem* item, uint8_t* buffer,
                                                      uint32_t length, HRESULT* transferStatus);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvResumeChunkTransfer(MicroDrvContext* context, int32_t kind);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvAbortTransfer(MicroDrvContext* context, int32_t kind);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvPutItemData(MicroDrvContext* context, MicroDrvPutRequest* request,
                                                      uint8_t* frame);
TORWEN_EXPORT HRESULT TORWEN_CALL MicroDrvDeleteItem(MicroDrvContext* context, MicroDrvItem* item);

}  // extern "C"

#if defined(_WIN32) && !defined(_WIN64)
// The caller's layout on 32-bit Windows.
static_assert(sizeof(MicroDrvContext) == 80);
static_assert(offsetof(MicroDrvContext, fileCount) == 4 && offsetof(MicroDrvContext, entryTotal) == 8);
static_assert(offsetof(MicroDrvContext, incompleteFolders) == 12);
static_assert(offsetof(MicroDrvContext, storageTotal) == 16 && offsetof(MicroDrvContext, storageAvailable) == 24);
static_assert(offsetof(MicroDrvContext, mediaTable) == 32 && offsetof(MicroDrvContext, mainHandle) == 36);
static_assert(offsetof(MicroDrvContext, auxiliaryHandle) == 40 && offsetof(MicroDrvContext, mode) == 44);
static_assert(offsetof(MicroDrvContext, protectionByte) == 62 && offsetof(MicroDrvContext, protectionWord) == 64);
static_assert(offsetof(MicroDrvContext, fastBusy) == 68 && offsetof(MicroDrvContext, fastMedia) == 72);
static_assert(sizeof(MicroDrvItem) == 376);
static_assert(offsetof(MicroDrvItem, pathBlock) == 4 && offsetof(MicroDrvItem, parent) == 12);
static_assert(offsetof(MicroDrvItem, next) == 16 && offsetof(MicroDrvItem, previous) == 20);
static_assert(offsetof(MicroDrvItem, name) == 24 && offsetof(MicroDrvItem, captureTime) == 28);
static_assert(offsetof(MicroDrvItem, flags) == 44 && offsetof(MicroDrvItem, format) == 48);
static_assert(offsetof(MicroDrvItem, thumbnailFormat) == 52 && offsetof(MicroDrvItem, size) == 64);
static_assert(offsetof(MicroDrvItem, thumbnail) == 76 && offsetof(MicroDrvItem, thumbnailLength) == 80);
static_assert(offsetof(MicroDrvItem, isProtected) == 84 && offsetof(MicroDrvItem, extension) == 88);
static_assert(offsetof(MicroDrvItem, readFrame) == 100);
static_assert(sizeof(MicroDrvPathBlock) == 264 && offsetof(MicroDrvPathBlock, imageCount) == 256 &&
              offsetof(MicroDrvPathBlock, childCount) == 260);
static_assert(offsetof(MicroDrvPutRequest, firstLength) == 4 && offsetof(MicroDrvPutRequest, path) == 8);
static_assert(offsetof(MicroDrvPutRequest, firstFlag) == 263 && offsetof(MicroDrvPutRequest, secondFlag) == 264);
static_assert(offsetof(MicroDrvPutRequest, data) == 272);
#endif
