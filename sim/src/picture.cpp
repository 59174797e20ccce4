#include "vcam/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcam {
namespace {

// Picture register codes (command set 0x0001).
constexpr uint8_t kColourPhase = 0x40;
constexpr uint8_t kColourGain = 0x41;
constexpr uint8_t kSetupLevel = 0x48;
constexpr uint8_t kRed = 0x4B;
constexpr uint8_t kGreen = 0x4C;
constexpr uint8_t kBlue = 0x4D;
constexpr uint8_t kMasterPedestal = 0x50;
constexpr uint8_t kColourBarsCode = 0x16;
constexpr int kLevelCentre = 6;  // the neutral level of the picture registers

// Palette regions of the scene.
constexpr int kHues = 128;        // 0..127: a hue sweep
constexpr int kGreys = 64;        // 128..191: a grey ramp
constexpr int kPatchBase = 192;   // 192..199: colour patches
constexpr uint8_t kMarker = 255;  // the moving marker

constexpr uint32_t kMarkerWidth = 24;
constexpr uint32_t kMarkerTop = 500;
constexpr uint32_t kMarkerBottom = 540;
constexpr uint32_t kMarkerStep = 6;  // columns per frame

constexpr float kPatches[8][3] = {{0.85f, 0.62f, 0.48f}, {0.20f, 0.45f, 0.75f}, {0.35f, 0.60f, 0.20f},
                                  {0.90f, 0.80f, 0.20f}, {0.75f, 0.20f, 0.25f}, {0.55f, 0.30f, 0.65f},
                                  {0.10f, 0.10f, 0.10f}, {0.95f, 0.95f, 0.95f}};

std::array<float, 3> Hue(float h) {
  const float r = std::clamp(std::fabs(h * 6.0f - 3.0f) - 1.0f, 0.0f, 1.0f);
  const float g = std::clamp(2.0f - std::fabs(h * 6.0f - 2.0f), 0.0f, 1.0f);
  const float b = std::clamp(2.0f - std::fabs(h * 6.0f - 4.0f), 0.0f, 1.0f);
  return {0.15f + 0.7f * r, 0.15f + 0.7f * g, 0.15f + 0.7f * b};
}

// A register's offset from its neutral level, limited to the registers' range.
float Level(const State& state, uint8_t code) {
  return static_cast<float>(std::clamp<int>(state.value[code][0], 0, 12) - kLevelCentre);
}

uint32_t Pack(float r, float g, float b) {
  auto channel = [](float v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  return 0xFF000000u | (channel(r) << 16) | (channel(g) << 8) | channel(b);
}

}  // namespace

PictureRenderer::PictureRenderer() : scene_(static_cast<size_t>(kFrameWidth) * kFrameHeight) {
  for (int i = 0; i < kHues; ++i) base_[i] = Hue(static_cast<float>(i) / kHues);
  for (int i = 0; i < kGreys; ++i) {
    const float v = static_cast<float>(i) / (kGreys - 1);
    base_[kHues + i] = {v, v, v};
  }
  for (int i = 0; i < 8; ++i) base_[kPatchBase + i] = {kPatches[i][0], kPatches[i][1], kPatches[i][2]};
  base_[kMarker] = {1.0f, 1.0f, 1.0f};

  // Top: the hue sweep; middle: eight colour patches; bottom: the grey ramp.
  for (uint32_t y = 0; y < kFrameHeight; ++y) {
    uint8_t* row = &scene_[static_cast<size_t>(y) * kFrameWidth];
    for (uint32_t x = 0; x < kFrameWidth; ++x) {
      uint8_t index;
      if (y < 240) index = static_cast<uint8_t>(x * kHues / kFrameWidth);
      else if (y < 400) index = static_cast<uint8_t>(kPatchBase + x * 8 / kFrameWidth);
      else index = static_cast<uint8_t>(kHues + x * kGreys / kFrameWidth);
      row[x] = index;
    }
  }
}

void PictureRenderer::UpdatePalette(const State& state) noexcept {
  // Colour phase turns the hue, colour gain scales the colour, setup level
  // scales the contrast around mid grey, master pedestal lifts the black
  // level, red/green/blue scale their channels.
  const float angle = Level(state, kColourPhase) * (3.14159265f / 18.0f);  // 10 degrees a step
  const float cosA = std::cos(angle), sinA = std::sin(angle);
  const float saturation = std::max(0.0f, 1.0f + 0.15f * Level(state, kColourGain));
  const float contrast = std::max(0.0f, 1.0f + 0.1f * Level(state, kSetupLevel));
  const float pedestal = 0.025f * Level(state, kMasterPedestal);
  const float gain[3] = {1.0f + 0.05f * Level(state, kRed), 1.0f + 0.05f * Level(state, kGreen),
                         1.0f + 0.05f * Level(state, kBlue)};
  for (size_t i = 0; i < base_.size(); ++i) {
    const auto& c = base_[i];
    // Luma and two colour-difference signals; the hue turns in their plane.
    const float y = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
    const float u0 = c[2] - y, v0 = c[0] - y;
    const float u = (u0 * cosA - v0 * sinA) * saturation;
    const float v = (u0 * sinA + v0 * cosA) * saturation;
    const float luma = (y - 0.5f) * contrast + 0.5f + pedestal;
    const float r = luma + v;
    const float b = luma + u;
    const float g = (luma - 0.299f * r - 0.114f * b) / 0.587f;
    palette_[i] = Pack(r * gain[0], g * gain[1], b * gain[2]);
  }
}

void PictureRenderer::Render(const State& state, uint32_t number, uint32_t* pixels, uint32_t width,
                             uint32_t height, uint32_t stride) noexcept {
  if (width == 0 || height == 0) return;
  if (state.value[kColourBarsCode][0] != 0) {
    for (uint32_t x = 0; x < width; ++x) pixels[x] = ColourBarAt(x, width);
    for (uint32_t y = 1; y < height; ++y) std::memcpy(pixels + static_cast<size_t>(y) * stride, pixels, width * 4u);
    return;
  }
  UpdatePalette(state);
  const uint32_t markerX = (number * kMarkerStep) % kFrameWidth;
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t sy = static_cast<uint32_t>(static_cast<uint64_t>(y) * kFrameHeight / height);
    const uint8_t* source = &scene_[static_cast<size_t>(sy) * kFrameWidth];
    const bool markerRow = sy >= kMarkerTop && sy < kMarkerBottom;
    uint32_t* out = pixels + static_cast<size_t>(y) * stride;
    // Columns step through the source with an accumulator: no division per pixel.
    uint32_t sx = 0, rest = 0;
    for (uint32_t x = 0; x < width; ++x) {
      const bool marker = markerRow && sx - markerX < kMarkerWidth;
      out[x] = palette_[marker ? kMarker : source[sx]];
      rest += kFrameWidth;
      while (rest >= width) {
        rest -= width;
        ++sx;
      }
    }
  }
}

}  // namespace vcam
