// How a storage exchange that reached a storage driver carries the data area
// of ReadThumbnail, ReadFile and WriteFile, in either of its two forms:
// - 32-bit senders put the area's address in the frame (bytes 272-275,
//   big-endian); the driver reaches it in the sender's memory;
// - 64-bit senders cannot, so they leave those bytes 0 and put the area in
//   the same buffer right after the frame: in the input for WriteFile, in the
//   output for the reads.
// Portable: the Windows storage driver stand-in uses it, and it is tested on
// Linux like the rest of the camcorder.
#pragma once

#include <cstdint>

namespace vcam {

enum class AreaForm : uint8_t {
  None,     // no area (other frames, or an address of 0 and nothing beside)
  Beside,   // the area follows the frame in the exchange's buffer
  Address,  // the area is at `address` in the sender's memory
};

struct DriverExchange {
  uint32_t frameLength = 0;  // the frame's bytes at the start of the input
  AreaForm form = AreaForm::None;
  bool areaIsOutput = false;  // the camera writes the area (the reads)
  uint32_t address = 0;
  uint32_t areaLength = 0;
};

// Splits an exchange of `inputLength` bytes in and `outputLength` out. 0, or
// 87 (ERROR_INVALID_PARAMETER) for an exchange that fits no form: shorter
// than 2 bytes, a frame longer than any, an address and an area beside at
// once, or an area longer than `maxArea`. A frame whose length does not fit
// its opcode is left whole to the camera, which refuses it by status.
int32_t SplitDriverExchange(const uint8_t* input, uint32_t inputLength, uint32_t outputLength, uint32_t maxArea,
                            DriverExchange& out) noexcept;

}  // namespace vcam
