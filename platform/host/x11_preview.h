// Linux only: diagnostics of the X11 preview.
#pragma once

#include <cstdint>

namespace platform::host {

// Frames the video windows of this process have drawn so far.
uint64_t PreviewFramesDrawn() noexcept;

}  // namespace platform::host
