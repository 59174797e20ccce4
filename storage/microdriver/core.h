// The microdriver's behaviour behind its exports: contexts, the item tree,
// status polls and transfers over the storage command frames, with the busy
// retry policy. Everything the machine provides (the registry link, opening
// the driver, sleeping, the clock) comes through an Environment, so tests run
// the retry policy against scripted drivers without real waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/com.h"
#include "platform/storage_driver.h"
#include "storage/microdriver/torwen.h"

namespace torwen {

struct Environment {
  // Reads the "DevSymLink" value of a driver instance key (an HRESULT).
  std::function<HRESULT(platform::ComStringView instanceKey, platform::ComString& link)> readLink;
  // Opens the driver by its path: 0 or a Win32 error.
  std::function<int32_t(platform::ComStringView path, std::unique_ptr<platform::StorageDriverHandle>& handle)>
      openDriver;
  std::function<void(uint32_t milliseconds)> sleep;
  // Milliseconds of a monotonic clock.
  std::function<uint64_t()> nowMs;
  // A line for whoever watches the driver (optional).
  std::function<void(std::string_view line)> log;
};

// The machine's own: the registry, the storage driver, real sleeps, the
// steady clock (platform_environment.cpp, linked into the library only).
Environment PlatformEnvironment();

// The busy retry policy of one exchange: what to do with each status byte.
// Statuses 0x80, 0x82, 0x84, 0xB1 and 0xFE are retried; a change of status
// restarts the count with that status's limit and pause.
inline constexpr uint32_t kBusyLimit = 180;           // status 0x80
inline constexpr uint32_t kBusyDelayMs = 1000;
inline constexpr uint32_t kMediaBusyLimit = 30;       // status 0x84
inline constexpr uint32_t kMediaBusyDelayMs = 1000;
inline constexpr uint32_t kShortLimit = 20;           // the others, and the "fast" waits
inline constexpr uint32_t kShortDelayMs = 200;
// One exchange never retries longer than this, however its statuses
// alternate (each change would otherwise restart the count for ever): a
// little more than the longest single-status wait.
inline constexpr uint64_t kExchangeDeadlineMs = 181000;
// Pause before resending a frame the driver refused with ERROR_BUSY.
inline constexpr uint32_t kTransportBusyPauseMs = 50;
// Transfer controls refused with ERROR_BUSY are resent this often, this far apart.
inline constexpr uint32_t kControlAttempts = 100;
inline constexpr uint32_t kControlPauseMs = 10;

class BusyRetry {
 public:
  enum class Step { Done, Retry, Fail };
  BusyRetry(bool fastBusy, bool fastMedia) : fastBusy_(fastBusy), fastMedia_(fastMedia) {}
  // Done for status 0; Retry (after delayMs()) for a busy status within its
  // limit; Fail otherwise, with result() the mapped status.
  Step OnStatus(uint8_t status);
  uint32_t delayMs() const { return delay_; }
  HRESULT result() const { return result_; }
  // The result when the exchange gives up while `status` was the last one.
  static HRESULT GiveUp(uint8_t status);

 private:
  bool fastBusy_;
  bool fastMedia_;
  uint8_t last_ = 0;
  uint32_t counter_ = 0;
  uint32_t limit_ = kShortLimit;
  uint32_t delay_ = kShortDelayMs;
  HRESULT result_ = S_OK;
};

// Creates a context whose driver access goes through `environment` (every
// member set, else E_INVALIDARG). MicroDrvInit is this with the platform's.
HRESULT CreateContext(Environment environment, MicroDrvContext** context);

// The operations behind the exports, one each.
HRESULT DestroyContext(MicroDrvContext** context);
HRESULT Open(MicroDrvContext* context, const OLECHAR* instanceKey);
HRESULT Close(MicroDrvContext* context);
HRESULT GetDeviceInfo(MicroDrvContext* context, MicroDrvItem** firstItem);
HRESULT FreeItem(MicroDrvContext* context, MicroDrvItem* item);
HRESULT GetStatus(MicroDrvContext* context, bool refreshFigures);
HRESULT GetThumbnail(MicroDrvContext* context, MicroDrvItem* item);
HRESULT GetItemData(MicroDrvContext* context, MicroDrvItem* item, uint8_t* buffer, uint32_t length,
                    HRESULT* transferStatus);
HRESULT TransferControl(MicroDrvContext* context, int32_t kind, bool abort);
HRESULT PutItemData(MicroDrvContext* context, MicroDrvPutRequest* request, uint8_t* frame);
HRESULT DeleteItem(MicroDrvContext* context, MicroDrvItem* item);

// The number of live items of a context (0 for an unknown context).
size_t LiveItemCount(const MicroDrvContext* context);
// Items still held by callers of contexts that are gone.
size_t OrphanedItemCount();
// Frees every live item of a context (test and benchmark clean-up).
void FreeAllItems(MicroDrvContext* context);

// Result codes beyond the status map.
inline constexpr HRESULT kResultInvalidHandle = static_cast<HRESULT>(0x80070006);  // context not opened
inline constexpr HRESULT kResultBounds = static_cast<HRESULT>(0x8000000B);         // E_BOUNDS
inline constexpr HRESULT kResultMediaChanged = static_cast<HRESULT>(0x80070456);
inline constexpr HRESULT kResultBusy = static_cast<HRESULT>(0x800700AA);

}  // namespace torwen
