#include "camctl/presets/preset_transfer.h"

#include <algorithm>
#include <iterator>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/presets/preset_slots.h"
#include "camctl/presets/prologue.h"
#include "platform/pc_file.h"
#include "storage/storage_channel.h"

namespace camctl {
namespace {

struct Category {
  uint8_t category;
  uint16_t errors[20];  // 0-terminated
};

// Win32 errors of a failed open or create, by category.
constexpr Category kCategories[] = {
    {2, {2, 6, 18, 107}},
    {3, {3, 15, 17, 34, 52, 53, 55, 67, 70, 85, 111, 123, 124, 125, 144, 154, 161, 206, 208, 267}},
    {4, {4, 36, 68, 113}},
    {5, {5, 12, 19, 29, 54, 58, 64, 65, 71, 80, 82, 86, 170, 183, 999}},
    {6, {11, 26, 60, 66, 114, 182, 191, 193}},
    {7, {16, 145}},
    {8, {62}},
    {9, {24, 25, 27, 30, 131, 132}},
    {10, {20, 21, 22, 23, 57, 59, 88, 117, 995, 996, 997}},
    {11, {32}},
    {12, {33, 108, 167}},
    {13, {39, 112}},
    {14, {38}},
};

platform::ComStringView ViewOf(BSTR text) { return {text, ::SysStringLen(text)}; }

// The settle check and the read of the slot's file, after the prologue.
HRESULT ReadAfterPrologue(CameraState& state, LONG slot, std::array<uint8_t, kPresetFileBufferSize>& file,
                          uint32_t& size) {
  const HRESULT hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  size = kPresetFileBufferSize;
  return state.storageChannel->ReadFile(PresetFilePath(slot).view(), file.data(), size);
}

}  // namespace

HRESULT PcFileFailure(uint32_t win32Error) noexcept {
  if (win32Error == 0) return S_OK;
  uint32_t category = 1;
  for (const Category& entry : kCategories) {
    if (std::find(std::begin(entry.errors), std::end(entry.errors), win32Error) != std::end(entry.errors))
      category = entry.category;
  }
  return static_cast<HRESULT>(0x80070000u | category);
}

bool UsablePcPath(BSTR path) noexcept {
  if (path == nullptr) return false;
  const platform::ComStringView text = ViewOf(path);
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint16_t>(text[i]);
    if (c == 0) return false;
    if (c >= 0xDC00 && c <= 0xDFFF) return false;  // a low half with no high half before it
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size()) return false;
      const auto next = static_cast<uint16_t>(text[i + 1]);
      if (next < 0xDC00 || next > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

HRESULT ReadPresetFile(CameraState& state, LONG slot, std::array<uint8_t, kPresetFileBufferSize>& file,
                       uint32_t& size) {
  Prologue prologue(state);
  const HRESULT hr = prologue.Enter(Needs::Storage, slot, Slots::FromZero);
  if (hr != S_OK) return hr;
  return ReadAfterPrologue(state, slot, file, size);
}

HRESULT ExportPreset(CameraState& state, LONG slot, BSTR path, LONG overwrite) {
  // A null or empty string is no path; one a conversion would change is refused.
  if (!UsablePcPath(path)) return E_INVALIDARG;
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Storage, slot, Slots::FromZero);
  if (hr != S_OK) return hr;
  const bool replace = overwrite != 0;
  if (!replace && platform::PcPathExists(ViewOf(path))) return CAM_E_FILE_EXISTS;

  std::array<uint8_t, kPresetFileBufferSize> file{};
  uint32_t size = 0;
  hr = ReadAfterPrologue(state, slot, file, size);
  if (hr != S_OK) return hr;
  // Created exclusively: a file that appeared since the check is not destroyed.
  const uint32_t error = platform::WritePcFile(ViewOf(path), file.data(), size, replace);
  if (error == platform::kFileErrorExists && !replace) return CAM_E_FILE_EXISTS;
  return PcFileFailure(error);
}

HRESULT ImportPreset(CameraState& state, LONG slot, BSTR path) {
  if (!UsablePcPath(path)) return E_INVALIDARG;
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Storage, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  LONG permission = 0;
  hr = GetAccessPermission(state, slot, &permission);
  if (hr != S_OK) return hr;
  if (permission == kPermissionLocked) return CAM_E_PROTECTED;

  // One byte more than the largest file, so a longer one shows; the size the
  // system reports only lets a plainly wrong file go unread.
  std::array<uint8_t, kImportMaxLength + 1> file{};
  size_t size = 0;
  uint64_t reported = 0;
  const uint32_t error = platform::ReadPcFile(ViewOf(path), file.data(), file.size(), size, reported);
  if (error != 0) return PcFileFailure(error);
  if (reported < kImportMinLength || reported > kImportMaxLength) return CAM_E_BAD_PRESET_FILE;
  if (size < kImportMinLength || size > kImportMaxLength || file[0] != size) return CAM_E_BAD_PRESET_FILE;

  hr = state.storageChannel->WriteFile(PresetFilePath(slot).view(), file.data(), static_cast<uint32_t>(size));
  if (hr == S_OK) ArmSettleTimer();
  return hr;
}

}  // namespace camctl
