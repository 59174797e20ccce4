// Helpers shared by the virtual camcorder's sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vcam/vcam.h"

namespace vcam::detail {

int64_t NowMs() noexcept;
// Reads at most `capacity` bytes of a file; -1 when it cannot be opened or read.
long ReadSmallFile(const char* path, uint8_t* buffer, size_t capacity) noexcept;
// Writes a file atomically: a temporary file beside it, then rename.
bool WriteFileAtomic(const std::string& path, const uint8_t* data, size_t size) noexcept;
bool IsBusy(const State& s, int64_t nowMs) noexcept;

}  // namespace vcam::detail

namespace vcam {
// Uses up one application of a fault (kForever: never used up).
void ConsumeFault(Fault& fault);
// Counts an exchange against an "unplug after n exchanges" fault.
void CountUnplugFault(State& s);
}  // namespace vcam
