// The machine's own environment of the microdriver: the registry's device
// link, the platform's storage driver, real sleeps, the steady clock and
// standard error for its log lines.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/imaging_devices.h"
#include "storage/microdriver/core.h"

namespace torwen {

Environment PlatformEnvironment() {
  Environment e;
  e.readLink = [](platform::ComStringView key, platform::ComString& link) { return platform::ReadDevSymLink(key, link); };
  e.openDriver = [](platform::ComStringView path, std::unique_ptr<platform::StorageDriverHandle>& handle) {
    return platform::OpenStorageDriver(path, handle);
  };
  e.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  e.nowMs = [] {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  // Standard error: the caller's console when it has one (camfiles), else nowhere.
  e.log = [](std::string_view line) { std::fprintf(stderr, "torwen: %s\n", std::string(line).c_str()); };
  return e;
}

}  // namespace torwen
