// The DV camera driver as the command channel sees it: one camera's raw AV/C
// pass-through. On Windows it wraps IAMExtTransport (parameter 5016); on Linux
// the virtual camcorder answers.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

inline constexpr uint32_t kAvcFrameBufferSize = 512;

class AvcTransport {
 public:
  virtual ~AvcTransport() = default;
  // Sends the first `length` bytes of the 512-byte buffer and leaves the response
  // frame in the same buffer. Returns 0 on an accepted CONTROL or answered
  // STATUS/inquiry, 71 refused, 50 not implemented, 1460 no final answer in
  // time, 1617 device gone, 1235 aborted, or another system error.
  virtual int32_t Exchange(uint8_t (&frame)[kAvcFrameBufferSize], uint32_t length) noexcept = 0;
};

// The bound capture device of a camera (IAMExtDevice on Windows).
class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  // The device's external transport, or null when it has none.
  virtual std::shared_ptr<AvcTransport> QueryTransport() = 0;
};

}  // namespace platform
