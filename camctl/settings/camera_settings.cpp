#include "camctl/settings/camera_settings.h"

#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <span>
#include <thread>

#include "camctl/channel/attachment.h"
#include "camctl/common/results.h"
#include "camctl/settings/device_modes.h"
#include "camctl/settings/preset_zero.h"
#include "platform/named_mutex.h"

namespace camctl::settings {
namespace {

using ObjectLockGuard = std::lock_guard<ObjectLock>;

// Function 15 is a general frame to the camera subunit.
constexpr uint8_t kAddressCameraSubunit = 0x38;
constexpr uint8_t kOpcodeFunction15 = 0xC8;

enum class Path : uint8_t { None, Plain, Verified, Picture };

// How a written value becomes operands.
enum class WriteForm : uint8_t {
  NotWritable,
  NoOperand,        // the value is ignored
  Byte,             // [v]
  SwitchOnly,       // [v, 0xFF]: the level is left as it is
  Level,            // [1, v]: switch on with level v
  SignMagnitude4,   // [0x0F | n | 8+n]
  SignMagnitude16,  // [0x3F | n | 16+n]
};

// How answered operands become the value.
enum class ReadForm : uint8_t {
  NotReadable,
  Byte,             // [b] -> b
  TensUnits,        // [a, b] -> a*10 + b; 0 when both are 0xFF
  First,            // [a, b] -> a
  Second,           // [a, b] -> b
  SecondOrNone,     // [a, b] -> b; -1 when b is 0xFF
  Word,             // [a, b] -> a*256 + b; -1 when both are 0xFF
  SignMagnitude4,   // [b] decoded
  SignMagnitude16,  // [b] decoded
};

// The values a write accepts: min..max, and when `members` is not 0 only those
// values v of that range whose bit v is set.
struct ValueSet {
  int32_t min;
  int32_t max;
  uint32_t members;
};

constexpr ValueSet Range(int32_t min, int32_t max) { return {min, max, 0}; }
constexpr ValueSet AnyValue() {
  return {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 0};
}
template <class... V>
constexpr ValueSet OneOf(V... values) {
  uint32_t members = 0;
  int32_t max = 0;
  ((members |= 1u << values, max = values > max ? values : max), ...);
  return {0, max, members};
}

constexpr bool Accepts(const ValueSet& set, int32_t value) {
  if (value < set.min || value > set.max) return false;
  return set.members == 0 || (set.members >> value & 1u) != 0;
}

// Which capability bits turn a "not implemented" answer to a write into
// CAM_E_OUT_OF_RANGE: none, one bit, or any bit of the mask.
constexpr int8_t kRefusalKept = -1;
constexpr int8_t kRefusalAnyBit = 32;

struct SettingFunction {
  Path path = Path::None;
  uint8_t code = 0;
  bool general = false;  // general frame instead of a vendor-dependent one
  WriteForm write = WriteForm::NotWritable;
  ValueSet accepted = Range(0, -1);
  HRESULT badValue = E_INVALIDARG;
  ReadForm read = ReadForm::NotReadable;
  uint8_t rangeCode = 0;  // 0: no range query
  int8_t refusalBit = kRefusalKept;
};

constexpr SettingFunction Plain(uint8_t code, WriteForm write, ValueSet accepted, ReadForm read,
                                uint8_t rangeCode = 0) {
  return {Path::Plain, code, false, write, accepted, E_INVALIDARG, read, rangeCode, kRefusalKept};
}

constexpr SettingFunction Picture(uint8_t code, ValueSet accepted, HRESULT badValue, uint8_t rangeCode,
                                  int8_t refusalBit) {
  return {Path::Picture, code, false, WriteForm::Byte, accepted, badValue, ReadForm::Byte, rangeCode,
          refusalBit};
}

constexpr std::array<SettingFunction, kLastFunction + 1> MakeFunctionTable() {
  std::array<SettingFunction, kLastFunction + 1> t{};
  t[1] = Plain(0x26, WriteForm::Byte, Range(0, 6), ReadForm::Byte);
  t[2] = Plain(0x22, WriteForm::Byte, OneOf(1, 2), ReadForm::Byte, 0x22);
  t[3] = Plain(0x27, WriteForm::NoOperand, AnyValue(), ReadForm::Byte);
  t[4] = Plain(0x29, WriteForm::Byte, OneOf(1, 2), ReadForm::TensUnits);
  t[5] = Plain(0x19, WriteForm::Byte, OneOf(0, 1, 2, 5, 6, 7), ReadForm::Byte);
  t[5].path = Path::Verified;
  t[6] = Plain(0x20, WriteForm::NoOperand, AnyValue(), ReadForm::NotReadable);
  t[7] = Plain(0x17, WriteForm::SwitchOnly, OneOf(0, 1), ReadForm::First);
  t[8] = Plain(0x17, WriteForm::Level, Range(0, 100), ReadForm::Second);
  // 9 and 10 stay unhandled.
  t[11] = Plain(0x25, WriteForm::SwitchOnly, OneOf(0, 1), ReadForm::First);
  t[12] = Plain(0x25, WriteForm::Level, Range(0, 254), ReadForm::SecondOrNone, 0x25);
  t[12].badValue = CAM_E_OUT_OF_RANGE;
  t[12].refusalBit = 9;
  t[13] = Plain(0x23, WriteForm::Byte, OneOf(1, 2), ReadForm::Byte, 0x23);
  t[14] = Plain(0x24, WriteForm::NotWritable, Range(0, -1), ReadForm::Word);
  t[15] = Plain(0, WriteForm::Byte, OneOf(0, 1), ReadForm::Byte);
  t[15].general = true;
  t[16] = Plain(0x1D, WriteForm::SignMagnitude4, Range(-4, 4), ReadForm::SignMagnitude4);
  t[17] = Plain(0x1C, WriteForm::SignMagnitude16, Range(-16, 16), ReadForm::SignMagnitude16);
  t[18] = Plain(0x13, WriteForm::Byte, OneOf(0, 1), ReadForm::Byte);
  t[19] = Plain(0x14, WriteForm::Byte, OneOf(2, 4, 16, 17, 19, 21), ReadForm::Byte);

  const ValueSet level = Range(0, 127);
  t[kFunctionColorGain] = Picture(0x41, level, CAM_E_OUT_OF_RANGE, 0x41, 15);
  t[kFunctionColorPhase] = Picture(0x40, level, CAM_E_OUT_OF_RANGE, 0x40, 16);
  t[kFunctionSharpness] = Picture(0x47, level, CAM_E_OUT_OF_RANGE, 0x47, 17);
  t[kFunctionSetupLevel] = Picture(0x48, level, CAM_E_OUT_OF_RANGE, 0x48, 18);
  // Red, green and blue share the red gain's capability bit.
  t[kFunctionRed] = Picture(0x4B, level, CAM_E_OUT_OF_RANGE, 0x4B, 19);
  t[kFunctionGreen] = Picture(0x4C, level, CAM_E_OUT_OF_RANGE, 0x4C, 19);
  t[kFunctionBlue] = Picture(0x4D, level, CAM_E_OUT_OF_RANGE, 0x4D, 19);
  t[kFunctionCoring] = Picture(0x4F, level, CAM_E_OUT_OF_RANGE, 0x4F, kRefusalAnyBit);
  t[kFunctionMasterPed] = Picture(0x50, level, CAM_E_OUT_OF_RANGE, 0x50, kRefusalAnyBit);
  t[kFunctionVDetail] = Picture(0x44, Range(0, 1), E_INVALIDARG, 0, kRefusalKept);
  t[kFunctionColorMatrix] = Picture(0x49, Range(0, 1), E_INVALIDARG, 0x49, 23);
  t[kFunctionGamma] = Picture(0x46, Range(0, 1), E_INVALIDARG, 0, kRefusalKept);
  t[kFunctionKnee] = Picture(0x45, Range(0, 2), E_INVALIDARG, 0, kRefusalKept);
  t[kFunctionBlack] = Picture(0x4A, Range(0, 2), E_INVALIDARG, 0, kRefusalKept);
  t[kFunctionNR] = Picture(0x4E, Range(0, 3), E_INVALIDARG, 0x4E, kRefusalKept);
  return t;
}

constexpr auto kFunctions = MakeFunctionTable();

const SettingFunction* FindFunction(int32_t function) {
  if (function < kFirstFunction || function > kLastFunction) return nullptr;
  const SettingFunction& f = kFunctions[static_cast<size_t>(function)];
  return f.path == Path::None ? nullptr : &f;
}

// The capability inquiry, in the order it is asked: code and its mask bit.
struct Probe {
  uint8_t code;
  uint8_t bit;
};
constexpr Probe kProbes[] = {
    {0x26, 0},  {0x22, 1},  {0x27, 2},  {0x29, 3},  {0x19, 4},  {0x17, 5},  {0x25, 9},
    {0x23, 10}, {0x1D, 11}, {0x1C, 12}, {0x13, 13}, {0x14, 14}, {0x41, 15}, {0x40, 16},
    {0x47, 17}, {0x48, 18}, {0x4B, 19}, {0x4F, 20}, {0x50, 21}, {0x44, 22}, {0x49, 23},
    {0x46, 24}, {0x45, 25}, {0x4A, 26}, {0x4E, 27},
};

// ---- Encodings ----------------------------------------------------------

uint8_t EncodeSignMagnitude(int32_t value, uint8_t zero, uint8_t negativeBase) {
  if (value == 0) return zero;
  if (value > 0) return static_cast<uint8_t>(value);
  return static_cast<uint8_t>(negativeBase - value);
}

// The camera's byte is taken as a signed byte: the zero code, then the
// negative codes above `negativeBase`, then the positive ones; anything else
// (0 and the bytes with the top bit set) reads as 0.
int32_t DecodeSignMagnitude(uint8_t byte, uint8_t zero, int32_t negativeBase) {
  if (byte == zero) return 0;
  const int32_t s = static_cast<int8_t>(byte);
  if (s > negativeBase) return negativeBase - s;
  if (s >= 1) return s;
  return 0;
}

// ---- Read-back timing ------------------------------------------------------

std::atomic<void (*)(uint32_t)> g_sleep{nullptr};
std::atomic<uint64_t (*)()> g_tickMs{nullptr};

void Pause(uint32_t milliseconds) {
  const auto sleep = g_sleep.load(std::memory_order_acquire);
  if (sleep != nullptr) {
    sleep(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t TickMs() {
  const auto tick = g_tickMs.load(std::memory_order_acquire);
  if (tick != nullptr) return tick();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// ---- Paths -----------------------------------------------------------------

// Sends the function's frame with `count` of the given cells.
HRESULT SendFunction(CommandChannel& channel, const SettingFunction& f, Ctype ctype, uint8_t (&cells)[2],
                     size_t count) {
  uint8_t* const pointers[2] = {&cells[0], &cells[1]};
  const OperandSpan operands(pointers, count);
  if (f.general) return channel.SendAvcCommand(kAddressCameraSubunit, kOpcodeFunction15, ctype, operands);
  return channel.SendVendorCommand(kCommandSetCamera, f.code, ctype, operands);
}

// The operands of a write; returns how many there are.
size_t WriteOperands(const SettingFunction& f, int32_t value, uint8_t (&cells)[2]) {
  const auto byte = static_cast<uint8_t>(value);
  switch (f.write) {
    case WriteForm::NotWritable:
    case WriteForm::NoOperand:
      return 0;
    case WriteForm::Byte:
      cells[0] = byte;
      return 1;
    case WriteForm::SwitchOnly:
      cells[0] = byte;
      cells[1] = 0xFF;
      return 2;
    case WriteForm::Level:
      cells[0] = 1;
      cells[1] = byte;
      return 2;
    case WriteForm::SignMagnitude4:
      cells[0] = EncodeSignMagnitude(value, 0x0F, 8);
      return 1;
    case WriteForm::SignMagnitude16:
      cells[0] = EncodeSignMagnitude(value, 0x3F, 16);
      return 1;
  }
  return 0;
}

size_t ReadOperandCount(ReadForm form) {
  switch (form) {
    case ReadForm::NotReadable:
      return 0;
    case ReadForm::Byte:
    case ReadForm::SignMagnitude4:
    case ReadForm::SignMagnitude16:
      return 1;
    case ReadForm::TensUnits:
    case ReadForm::First:
    case ReadForm::Second:
    case ReadForm::SecondOrNone:
    case ReadForm::Word:
      return 2;
  }
  return 0;
}

int32_t DecodeRead(ReadForm form, const uint8_t (&cells)[2]) {
  const uint8_t a = cells[0];
  const uint8_t b = cells[1];
  switch (form) {
    case ReadForm::NotReadable:
      return 0;
    case ReadForm::Byte:
    case ReadForm::First:
      return a;
    case ReadForm::Second:
      return b;
    case ReadForm::TensUnits:
      return a == 0xFF && b == 0xFF ? 0 : a * 10 + b;
    case ReadForm::SecondOrNone:
      return b == 0xFF ? -1 : b;
    case ReadForm::Word:
      return a == 0xFF && b == 0xFF ? -1 : a * 256 + b;
    case ReadForm::SignMagnitude4:
      return DecodeSignMagnitude(a, 0x0F, 8);
    case ReadForm::SignMagnitude16:
      return DecodeSignMagnitude(a, 0x3F, 16);
  }
  return 0;
}

// A write the camera does not implement is reported as a value it cannot take
// when its capability bit says the command itself exists.
HRESULT ConvertRefusal(const SettingFunction& f, uint32_t mask, HRESULT hr) {
  if (hr != CAM_E_NOT_SUPPORTED || f.refusalBit == kRefusalKept) return hr;
  const bool holds = f.refusalBit == kRefusalAnyBit ? mask != 0 : (mask >> f.refusalBit & 1u) != 0;
  return holds ? CAM_E_OUT_OF_RANGE : hr;
}

// Functions 1 to 19: the object's state decides first, then one command (the
// verified function writes through WriteVerified).
HRESULT RunPlain(CameraState& state, const SettingFunction& f, bool write, int32_t value, LONG* out) {
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;

  uint8_t cells[2] = {0xFF, 0xFF};
  if (f.path == Path::Verified) {
    if (write) cells[0] = static_cast<uint8_t>(value);
    hr = WriteVerified(state, f.code, cells[0], write ? Ctype::Control : Ctype::Status);
  } else if (write) {
    const size_t count = WriteOperands(f, value, cells);
    hr = SendFunction(*state.commandChannel, f, Ctype::Control, cells, count);
  } else {
    hr = SendFunction(*state.commandChannel, f, Ctype::Status, cells, ReadOperandCount(f.read));
  }

  if (write) return ConvertRefusal(f, state.capabilityMask, hr);
  if (hr == S_OK) *out = DecodeRead(f.read, cells);
  return hr;
}

// Functions 20 to 34: the camera mutex is held across the settle check, the
// write and its read-back, so no other process's command falls in between.
// The connection state is not consulted; without a channel the exchange
// itself answers CAM_E_NOT_CONNECTED.
HRESULT RunPicture(CameraState& state, const SettingFunction& f, bool write, int32_t value, LONG* out) {
  ObjectLockGuard hold(state.lock);
  platform::NamedMutexHold camera(state.cameraMutex.get(), kCameraMutexWaitMs);
  if (!camera.held()) return CAM_E_LOCK_TIMEOUT;

  HRESULT hr = SettleCheck(state);
  if (FAILED(hr)) return hr;

  uint8_t cell = write ? static_cast<uint8_t>(value) : 0xFF;
  hr = WriteVerified(state, f.code, cell, write ? Ctype::Control : Ctype::Status);
  if (write) return ConvertRefusal(f, state.capabilityMask, hr);
  if (hr == S_OK) *out = cell;
  return hr;
}

HRESULT Run(CameraState& state, const SettingFunction& f, bool write, int32_t value, LONG* out) {
  return f.path == Path::Picture ? RunPicture(state, f, write, value, out)
                                 : RunPlain(state, f, write, value, out);
}

}  // namespace

void SetReadBackTiming(const ReadBackTiming& timing) noexcept {
  g_sleep.store(timing.sleep, std::memory_order_release);
  g_tickMs.store(timing.tickMs, std::memory_order_release);
}

HRESULT CheckConnection(const CameraState& state) noexcept {
  if (state.connection == ConnectionState::Removed) return CAM_E_REMOVED;
  if (state.connection == ConnectionState::NoCamera || !state.commandChannel) return CAM_E_NOT_CONNECTED;
  return S_OK;
}

HRESULT WriteVerified(CameraState& state, uint8_t code, uint8_t& cell, Ctype ctype) {
  ObjectLockGuard hold(state.lock);
  if (!state.commandChannel) return CAM_E_NOT_CONNECTED;
  const uint8_t written = cell;
  HRESULT hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, code, ctype, {&cell});
  if (hr != S_OK || ctype != Ctype::Control) return hr;

  // Give the camera time to take the value, then watch for it; a value that
  // never shows up does not undo the accepted write.
  Pause(kReadBackPauseMs);
  const uint64_t start = TickMs();
  for (;;) {
    if (!state.commandChannel) return CAM_E_NOT_CONNECTED;
    uint8_t back = 0xFF;
    const HRESULT read = state.commandChannel->SendVendorCommand(kCommandSetCamera, code, Ctype::Status, {&back});
    if (read == S_OK && back == written) break;
    if (TickMs() - start >= kReadBackWindowMs) break;
  }
  return hr;
}

HRESULT SetStatus(CameraState& state, int32_t function, int32_t value) {
  RunPresetZeroStep(state, function);
  const SettingFunction* f = FindFunction(function);
  if (f == nullptr || f->write == WriteForm::NotWritable) return CAM_E_NOT_SUPPORTED;
  if (!Accepts(f->accepted, value)) return f->badValue;
  return Run(state, *f, true, value, nullptr);
}

HRESULT GetStatus(CameraState& state, int32_t function, LONG* value) {
  if (value == nullptr) return E_POINTER;
  const SettingFunction* f = FindFunction(function);
  if (f == nullptr || f->read == ReadForm::NotReadable) return CAM_E_NOT_SUPPORTED;
  return Run(state, *f, false, 0, value);
}

HRESULT GetRange(CameraState& state, int32_t function, LONG* minValue, LONG* maxValue, LONG* defValue) {
  if (minValue == nullptr || maxValue == nullptr || defValue == nullptr) return E_POINTER;
  const SettingFunction* f = FindFunction(function);
  if (f == nullptr || f->rangeCode == 0) return CAM_E_NOT_SUPPORTED;

  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  uint8_t cells[4] = {f->rangeCode, 0xFF, 0xFF, 0xFF};
  hr = state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodeRangeQuery, Ctype::Status,
                                               {&cells[0], &cells[1], &cells[2], &cells[3]});
  if (hr != S_OK) return hr;
  *minValue = cells[1];
  *maxValue = cells[2];
  *defValue = cells[3];
  return S_OK;
}

HRESULT GetCapability(CameraState& state, LONG* capability) {
  if (capability == nullptr) return E_POINTER;
  ObjectLockGuard hold(state.lock);
  HRESULT hr = CheckConnection(state);
  if (FAILED(hr)) return hr;
  LONG mode = 0;
  LONG emergency = 0;
  hr = GetCVMode(state, &mode, &emergency);
  if (hr != S_OK) return hr;
  if (mode != kCameraMode) return CAM_E_REJECTED;
  *capability = static_cast<LONG>(state.capabilityMask);
  return S_OK;
}

void ProbeCapabilities(CameraState& state) {
  ObjectLockGuard hold(state.lock);
  if (!state.commandChannel) return;
  state.capabilityMask = 0;
  for (const Probe& probe : kProbes) {
    if (!state.commandChannel) break;
    // Only whether the camera answers counts, not what it answers.
    uint8_t cell = probe.code;
    const HRESULT hr =
        state.commandChannel->SendVendorCommand(kCommandSetCamera, kCodeCapabilityInquiry, Ctype::Status, {&cell});
    if (hr == S_OK) state.capabilityMask |= 1u << probe.bit;
  }
}

}  // namespace camctl::settings
