// The camera-side file of one preset slot, in the storage driver's device
// namespace: its path and the few bytes the library reads and changes.
//
//   byte 0       total length of the file (valid only if it equals the real length)
//   byte 1       not interpreted
//   bytes 2-9    name: up to 8 bytes in the ANSI code page, padded with 0
//   bytes 10...  the picture data, never interpreted here
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace camctl {

inline constexpr std::string_view kPresetFolder = "\\dev\\campset";
// Files are read and written whole; none is larger than this.
inline constexpr uint32_t kPresetFileBufferSize = 256;
inline constexpr size_t kPresetLengthOffset = 0;
inline constexpr size_t kPresetNameOffset = 2;
inline constexpr size_t kPresetNameSize = 8;
// Length byte, flags and the whole name field.
inline constexpr uint32_t kPresetFileMinLength = 10;

// "\dev\campset\PresetNN.pst", NN the slot number mod 100 in two digits. Held
// in place: building a path never allocates.
class PresetFilePath {
 public:
  explicit PresetFilePath(int32_t slot);
  std::string_view view() const { return {text_, length_}; }

 private:
  char text_[32] = {};
  size_t length_ = 0;
};

// A file of `length` bytes is usable when it holds the whole name field and
// its length byte states exactly that length. Nothing beyond `length` bytes
// (nor beyond the 256-byte buffer) is read.
bool PresetFileUsable(const uint8_t* file, uint32_t length);

// The name of a usable file: bytes 2-9 up to the first 0 byte.
std::string_view PresetFileName(const uint8_t* file);

// Replaces the name field of a usable file: bytes 2-9 become the name's bytes
// (at most 8) followed by 0 bytes. No other byte changes.
void PutPresetFileName(uint8_t* file, std::string_view ansiName);

// The eight name bytes of the register command: the name's bytes, then 0.
void PresetNameBytes(std::string_view ansiName, uint8_t (&bytes)[kPresetNameSize]);

}  // namespace camctl
