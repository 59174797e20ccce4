#include "camctl/presets/preset_slots.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "camctl/channel/attachment.h"
#include "camctl/channel/command_channel.h"
#include "camctl/common/results.h"
#include "camctl/presets/preset_file.h"
#include "camctl/presets/prologue.h"
#include "platform/ansi.h"
#include "storage/storage_channel.h"

namespace camctl {
namespace {

std::atomic<PresetSleep> g_sleep{nullptr};

void Pause(std::chrono::milliseconds duration) {
  const PresetSleep sleep = g_sleep.load(std::memory_order_acquire);
  if (sleep != nullptr)
    sleep(duration);
  else
    std::this_thread::sleep_for(duration);
}

// The text of a COM string up to its length or its first NUL, whichever comes
// first (the camera's names are NUL-terminated). A null string is empty.
platform::ComStringView NameText(BSTR name) {
  if (name == nullptr) return {};
  const platform::ComStringView whole(name, ::SysStringLen(name));
  const size_t end = whole.find(OLECHAR{0});
  return end == platform::ComStringView::npos ? whole : whole.substr(0, end);
}

// Only the low byte of a slot number travels in a command.
uint8_t SlotByte(LONG slot) { return static_cast<uint8_t>(slot & 0xFF); }

HRESULT SendSlotCommand(CameraState& state, uint8_t code, LONG slot) {
  uint8_t nn = SlotByte(slot);
  const HRESULT hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, code, Ctype::Control, {&nn});
  if (hr == S_OK) ArmSettleTimer();
  return hr;
}

// A slot whose permission reads 1 refuses to change. The permission is read
// through GetAccessPermission with all its checks.
HRESULT CheckUnprotected(CameraState& state, LONG slot) {
  LONG permission = 0;
  const HRESULT hr = GetAccessPermission(state, slot, &permission);
  if (hr != S_OK) return hr;
  return permission == kPermissionLocked ? CAM_E_PROTECTED : S_OK;
}

// GetPresetName without the conversion: the name bytes as the file holds them.
HRESULT ReadPresetNameBytes(CameraState& state, LONG slot, std::string& name) {
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Storage, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;

  std::array<uint8_t, kPresetFileBufferSize> file{};
  uint32_t size = kPresetFileBufferSize;
  hr = state.storageChannel->ReadFile(PresetFilePath(slot).view(), file.data(), size);
  if (hr != S_OK) return hr;
  if (!PresetFileUsable(file.data(), size)) return CAM_E_BAD_PRESET_FILE;
  name.assign(PresetFileName(file.data()));
  return S_OK;
}

}  // namespace

void SetPresetSleep(PresetSleep sleep) noexcept { g_sleep.store(sleep, std::memory_order_release); }

HRESULT GetPresetCount(CameraState& state, LONG* count) {
  if (count == nullptr) return E_POINTER;
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.connection == ConnectionState::Removed) return CAM_E_REMOVED;
  if (state.connection != ConnectionState::Attached) return CAM_E_NOT_CONNECTED;
  *count = state.presetCount;
  return S_OK;
}

HRESULT GetPresetState(CameraState& state, LONG* presetState) {
  if (presetState == nullptr) return E_POINTER;
  std::lock_guard<ObjectLock> hold(state.lock);
  if (state.connection == ConnectionState::Removed) return CAM_E_REMOVED;
  if (state.connection != ConnectionState::Attached || !state.commandChannel) return CAM_E_NOT_CONNECTED;
  // -1 and -2 hold for as long as the camera stays selected: nothing to ask.
  if (state.presetState == -1 || state.presetState == -2) {
    *presetState = state.presetState;
    return S_OK;
  }
  uint8_t flag = 0;
  const HRESULT hr = ReadBusyFlag(state, flag);
  if (hr == S_OK) {
    *presetState = flag != 0 ? 1 : 0;
    return S_OK;
  }
  if (hr != CAM_E_REMOVED) *presetState = -1;
  return hr;
}

HRESULT SelectPreset(CameraState& state, LONG slot) {
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Commands, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  return SendSlotCommand(state, kCodeSelectPreset, slot);
}

HRESULT RegisterPreset(CameraState& state, LONG slot, BSTR name) {
  std::string ansi;
  if (name != nullptr) {
    ansi = platform::ComToAnsi(NameText(name));
    if (ansi.size() > kPresetNameSize) return E_INVALIDARG;
  }
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Commands, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  // Without a name the slot keeps the one its file holds; reading it runs the
  // settle check again, and its result decides.
  hr = SettleCheck(state);
  if (name == nullptr) hr = ReadPresetNameBytes(state, slot, ansi);
  if (hr != S_OK) return hr;
  hr = CheckUnprotected(state, slot);
  if (hr != S_OK) return hr;

  // Operands: the slot, then the eight name bytes.
  uint8_t nameBytes[kPresetNameSize];
  PresetNameBytes(ansi, nameBytes);
  uint8_t bytes[1 + kPresetNameSize] = {SlotByte(slot)};
  std::copy(std::begin(nameBytes), std::end(nameBytes), bytes + 1);
  uint8_t* cells[1 + kPresetNameSize];
  for (size_t i = 0; i < std::size(cells); ++i) cells[i] = &bytes[i];
  hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodeRegisterPreset, Ctype::Control,
                                               OperandSpan(cells));
  if (hr == S_OK) ArmSettleTimer();
  return hr;
}

HRESULT ResetPreset(CameraState& state, LONG slot) {
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Commands, slot, Slots::FromZero);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  // Slot 0 has no permission of its own to read.
  if (slot != 0) {
    hr = CheckUnprotected(state, slot);
    if (hr != S_OK) return hr;
  }
  return SendSlotCommand(state, kCodeResetPreset, slot);
}

HRESULT GetAccessPermission(CameraState& state, LONG slot, LONG* permission) {
  if (permission == nullptr) return E_POINTER;
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Commands, slot, Slots::FromZero);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  uint8_t nn = SlotByte(slot);
  uint8_t value = 0xFF;  // filled by the camera
  hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodePermission, Ctype::Status, {&nn, &value});
  if (hr == S_OK) *permission = value;
  return hr;
}

HRESULT SetAccessPermission(CameraState& state, LONG slot, LONG permission) {
  if (permission != kPermissionUnlocked && permission != kPermissionLocked) return E_INVALIDARG;
  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Commands, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  uint8_t nn = SlotByte(slot);
  uint8_t pp = static_cast<uint8_t>(permission);
  hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodePermission, Ctype::Control, {&nn, &pp});
  if (hr != S_OK) return hr;
  Pause(kPermissionWritePause);
  ArmSettleTimer();
  return S_OK;
}

HRESULT GetPresetName(CameraState& state, LONG slot, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  std::string ansi;
  const HRESULT hr = ReadPresetNameBytes(state, slot, ansi);
  if (hr != S_OK) return hr;
  const platform::ComString text = platform::AnsiToCom(ansi);
  BSTR result = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (result == nullptr) return E_OUTOFMEMORY;
  *name = result;
  return S_OK;
}

HRESULT SetPresetName(CameraState& state, LONG slot, BSTR name) {
  const platform::ComStringView text = NameText(name);
  if (text.size() > kPresetNameSize) return E_INVALIDARG;
  // In a multi-byte code page eight characters may need more than eight
  // bytes; such a name is refused rather than cut inside a character.
  const std::string ansi = platform::ComToAnsi(text);
  if (ansi.size() > kPresetNameSize) return E_INVALIDARG;

  Prologue prologue(state);
  HRESULT hr = prologue.Enter(Needs::Storage, slot, Slots::FromOne);
  if (hr != S_OK) return hr;
  hr = SettleCheck(state);
  if (hr != S_OK) return hr;
  hr = CheckUnprotected(state, slot);
  if (hr != S_OK) return hr;

  const PresetFilePath path(slot);
  std::array<uint8_t, kPresetFileBufferSize> file{};
  uint32_t size = kPresetFileBufferSize;
  hr = state.storageChannel->ReadFile(path.view(), file.data(), size);
  if (hr != S_OK) return hr;
  // A file that fails its length checks would be written back with a name
  // no one can read (or, shorter than the name field, without it): refused.
  if (!PresetFileUsable(file.data(), size)) return CAM_E_BAD_PRESET_FILE;
  PutPresetFileName(file.data(), ansi);

  // The camera must have finished its preset operation before the file changes.
  for (int ask = 1;; ++ask) {
    LONG busy = 0;
    hr = GetPresetState(state, &busy);
    if (hr != S_OK) return hr;
    if (busy != 1) break;
    if (ask >= kNamePollLimit) return CAM_E_BUSY;
    Pause(kNamePollPause);
  }

  hr = state.storageChannel->WriteFile(path.view(), file.data(), size);
  if (hr == S_OK) ArmSettleTimer();
  return hr;
}

}  // namespace camctl
