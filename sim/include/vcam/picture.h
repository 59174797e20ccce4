// The camcorder's live picture: colour bars while bars are on, otherwise a
// test scene whose hue, colour gain, contrast, black level and colour balance
// follow the picture registers, with a marker that moves from frame to frame.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vcam/vcam.h"

namespace vcam {

inline constexpr uint32_t kFrameWidth = 720;
inline constexpr uint32_t kFrameHeight = 576;

// The seven 75 % colour bars, left to right, as 0xFFRRGGBB.
inline constexpr std::array<uint32_t, 7> kColourBars = {0xFFBFBFBF, 0xFFBFBF00, 0xFF00BFBF, 0xFF00BF00,
                                                        0xFFBF00BF, 0xFFBF0000, 0xFF0000BF};

// Which bar covers column x of a picture `width` wide.
inline uint32_t ColourBarAt(uint32_t x, uint32_t width) { return kColourBars[(x * 7u) / width]; }

class PictureRenderer {
 public:
  // Lays out the test scene (the only allocation).
  PictureRenderer();

  // Renders frame `number` of a camera in `state`, the 720 x 576 picture
  // sampled to width x height, as 0xFFRRGGBB pixels whose rows are `stride`
  // pixels apart. Allocates nothing.
  void Render(const State& state, uint32_t number, uint32_t* pixels, uint32_t width, uint32_t height,
              uint32_t stride) noexcept;

 private:
  void UpdatePalette(const State& state) noexcept;

  std::vector<uint8_t> scene_;  // palette index per pixel of the 720 x 576 picture
  std::array<uint32_t, 256> palette_{};
  std::array<std::array<float, 3>, 256> base_{};  // scene colours before the picture settings
};

}  // namespace vcam
