// The camera's answers to AV/C frames.
#include <cerrno>
#include <cstring>

#include "files.h"
#include "internal.h"
#include "vcam/vcam.h"
#include "posix.h"  // last: on Windows it renames POSIX names

namespace vcam {

namespace {

// AV/C ctype and response codes.
constexpr uint8_t kControl = 0x00;
constexpr uint8_t kStatus = 0x01;
constexpr uint8_t kSpecificInquiry = 0x02;
constexpr uint8_t kGeneralInquiry = 0x04;
constexpr uint8_t kNotImplementedResponse = 0x08;
constexpr uint8_t kAcceptedResponse = 0x09;
constexpr uint8_t kRejectedResponse = 0x0A;
constexpr uint8_t kStableResponse = 0x0C;  // STATUS answered; inquiry: implemented

constexpr uint8_t kTapeSubunit = 0x20;
constexpr uint8_t kCameraSubunit = 0x38;
constexpr uint8_t kUnit = 0xFF;
constexpr uint8_t kVendorDependent = 0x00;
constexpr uint8_t kConnectAv = 0x20;
constexpr uint8_t kOpcodeC8 = 0xC8;

constexpr int kNone = -1;

// Operand counts of a command: CONTROL and STATUS (kNone: that ctype is refused).
struct Shape {
  int control = kNone;
  int status = kNone;
  bool known = false;
};

Shape VendorShape(uint16_t set, uint8_t code) {
  if (set == 0x0010) {
    if (code == 0x09) return {kNone, 4, true};
    if (code == 0x13) return {kNone, 2, true};
    return {};
  }
  if (set != 0x0001) return {};
  switch (code) {
    case 0x26: case 0x22: case 0x19: case 0x23: case 0x1D: case 0x1C: case 0x13: case 0x14:
    case 0x40: case 0x41: case 0x44: case 0x45: case 0x46: case 0x47: case 0x48: case 0x49:
    case 0x4A: case 0x4B: case 0x4C: case 0x4D: case 0x4E: case 0x4F: case 0x50:
    case 0x12: case 0x16:
      return {1, 1, true};
    case 0x27: return {0, 1, true};
    case 0x29: return {1, 2, true};
    case 0x20: return {0, kNone, true};
    case 0x17: case 0x25: return {2, 2, true};
    case 0x24: return {kNone, 2, true};
    case 0x21: return {kNone, 4, true};
    case 0xF0: return {kNone, 1, true};
    case 0x70: case 0x72: return {1, kNone, true};
    case 0x71: return {9, kNone, true};
    case 0x73: case 0x75: return {kNone, 1, true};
    case 0x74: return {2, 2, true};
    default: return {};
  }
}

bool IsPictureCode(uint8_t code) { return code == 0x40 || code == 0x41 || (code >= 0x44 && code <= 0x50); }

// The KV7 keeps its working picture settings in preset 0: the library
// re-applies preset 0 before every picture write on that model, so a write
// that left preset 0 alone would be undone by the next one.
bool PresetZeroIsWorkingCopy(const std::string& model) {
  return model.size() == 3 && (model[0] == 'K' || model[0] == 'k') && (model[1] == 'V' || model[1] == 'v') &&
         model[2] == '7';
}

}  // namespace

struct AvcEngine {
  Camera& camera;
  State& s;
  uint8_t* f;
  uint32_t length;
  int64_t now;

  int32_t Answer(uint8_t response, int32_t result) {
    f[0] = response;
    return result;
  }
  int32_t NotImplemented() { return Answer(kNotImplementedResponse, kAvcNotImplemented); }
  int32_t Rejected() { return Answer(kRejectedResponse, kAvcRejected); }
  int32_t Accepted() { return Answer(kAcceptedResponse, kAvcOk); }
  int32_t Stable() { return Answer(kStableResponse, kAvcOk); }

  void StartBusy() { s.busyUntilMs = now + s.busyMs; }

  int32_t Run() {
    if (length < 3) return NotImplemented();
    const uint8_t ctype = f[0];
    if (f[1] == kTapeSubunit && f[2] == kVendorDependent) {
      if (length < 9 || f[3] != 0x00 || f[4] != 0x00 || f[5] != 0x85) return NotImplemented();
      const uint16_t set = static_cast<uint16_t>((f[6] << 8) | f[7]);
      return Vendor(ctype, set, f[8], length - 9);
    }
    return General(ctype, f[1], f[2], length - 3);
  }

  bool VendorImplemented(uint16_t set, uint8_t code) const {
    if (set == 0x0001) return s.Implemented(code);
    if (set == 0x0010) return (s.implementedOther >> (code == 0x09 ? 0 : 1)) & 1;
    return false;
  }

  int32_t Vendor(uint8_t ctype, uint16_t set, uint8_t code, uint32_t operands) {
    const Shape shape = VendorShape(set, code);
    if (!shape.known || !VendorImplemented(set, code)) return NotImplemented();
    if (ctype == kSpecificInquiry || ctype == kGeneralInquiry) return Stable();
    uint8_t* op = f + 9;
    if (ctype == kControl) {
      if (shape.control == kNone || operands != static_cast<uint32_t>(shape.control)) return Rejected();
      if (s.emergency != 0) return Rejected();
      return VendorControl(code, op);
    }
    if (ctype == kStatus) {
      if (shape.status == kNone || operands != static_cast<uint32_t>(shape.status)) return Rejected();
      if (set == 0x0010) {
        if (code == 0x09) {
          op[0] = s.mode;
          op[1] = 0x00;
          op[2] = 0x00;
          op[3] = s.emergency;
        } else {
          op[0] = 0x01;
          op[1] = s.supported ? 0x01 : 0x02;
        }
        return Stable();
      }
      return VendorStatus(code, op);
    }
    return NotImplemented();
  }

  // A value the camera cannot take: picture settings answer "not
  // implemented" (the library reports it as out of range), others refuse.
  int32_t BadValue(uint8_t code) { return IsPictureCode(code) || s.HasRange(code) ? NotImplemented() : Rejected(); }

  bool InRange(uint8_t code, uint8_t v) const { return v >= s.minimum[code] && v <= s.maximum[code]; }

  int32_t VendorControl(uint8_t code, uint8_t* op) {
    const bool vcr = s.mode != kModeCamera;
    switch (code) {
      case 0x20: case 0x27:
        return Accepted();  // actions without a stored value
      case 0x19:
        if (op[0] > 7 || op[0] == 3 || op[0] == 4) return BadValue(code);
        break;
      case 0x14:
        if (op[0] != 2 && op[0] != 4 && op[0] != 16 && op[0] != 17 && op[0] != 19 && op[0] != 21) return BadValue(code);
        break;
      case 0x1D: case 0x1C:
        break;  // sign-magnitude bytes are stored as sent
      case 0x17: case 0x25: {
        if (op[0] > 1) return Rejected();
        if (op[1] != 0xFF && !InRange(code, op[1])) return BadValue(code);
        s.value[code][0] = op[0];
        if (op[1] != 0xFF) s.value[code][1] = op[1];
        return Accepted();
      }
      case 0x16:
        if (vcr) return Rejected();
        if (!InRange(code, op[0])) return BadValue(code);
        break;
      case 0x70: return SelectSlot(op[0]);
      case 0x71: return RegisterSlot(op[0], op + 1);
      case 0x72: return ResetSlot(op[0]);
      case 0x74:
        if (op[0] > s.slotCount) return Rejected();
        s.permission[op[0]] = op[1];
        StartBusy();
        return Accepted();
      default:
        if (IsPictureCode(code) && vcr) return Rejected();
        if (!InRange(code, op[0])) return BadValue(code);
        if (IsPictureCode(code)) {
          const uint8_t old = s.value[code][0];
          // Preset 0 already holds a value the register keeps (the re-apply's
          // fifteen frames mostly are such): no file access for those.
          if (old == op[0]) return Accepted();
          s.value[code][0] = op[0];
          if (MirrorIntoPresetZero()) return Accepted();
          s.value[code][0] = old;  // refused: nothing changed
          return Rejected();
        }
        break;
    }
    s.value[code][0] = op[0];
    return Accepted();
  }

  // On a KV7, preset 0's picture bytes follow the registers. Only a whole
  // preset 0 file is kept in step, and it is changed in place (no temporary
  // and rename, which would cost more than the write itself; a register
  // write changes one byte) and only when a byte differs.
  bool MirrorIntoPresetZero() {
    if (!PresetZeroIsWorkingCopy(camera.identity_.model)) return true;
    const detail::UniqueFd fd = detail::OpenFileAt(camera.dirFd_, detail::PresetFileRelative(0), O_RDWR);
    if (!fd.valid()) return true;  // no preset 0 to keep in step
    uint8_t file[kPresetFileSize + 1];
    size_t n = 0;
    while (n < sizeof file) {
      const ssize_t got = ::pread(fd.get(), file + n, sizeof file - n, static_cast<off_t>(n));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      n += static_cast<size_t>(got);
    }
    if (n != kPresetFileSize || file[0] != kPresetFileSize) return true;
    bool changed = false;
    for (size_t i = 0; i < 15; ++i) {
      const uint8_t value = s.value[kPresetFileCodes[i]][0];
      changed = changed || file[10 + i] != value;
      file[10 + i] = value;
    }
    if (!changed) return true;
    // At explicit offsets: the descriptor's position is not relied on.
    for (size_t done = 0; done < kPresetFileSize;) {
      const ssize_t put = ::pwrite(fd.get(), file + done, kPresetFileSize - done, static_cast<off_t>(done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += static_cast<size_t>(put);
    }
    return true;
  }

  int32_t VendorStatus(uint8_t code, uint8_t* op) {
    switch (code) {
      case 0x21: {
        const uint8_t asked = op[0];
        if (!s.Implemented(asked) || !s.HasRange(asked)) return Rejected();
        op[1] = s.minimum[asked];
        op[2] = s.maximum[asked];
        op[3] = s.fallback[asked];
        return Stable();
      }
      case 0xF0:
        // The capability inquiry: accepted for the codes the camera implements.
        return s.Implemented(op[0]) && VendorShape(0x0001, op[0]).known ? Stable() : NotImplemented();
      case 0x73: op[0] = s.presetAvailable; return Stable();
      case 0x75: op[0] = detail::IsBusy(s, now) ? 1 : 0; return Stable();
      case 0x74:
        if (op[0] > s.slotCount) return Rejected();
        op[1] = s.permission[op[0]];
        return Stable();
      case 0x29: case 0x17: case 0x25: case 0x24:
        op[0] = s.value[code][0];
        op[1] = s.value[code][1];
        return Stable();
      default:
        op[0] = s.value[code][0];
        return Stable();
    }
  }

  int32_t SelectSlot(uint8_t slot) {
    if (s.mode != kModeCamera || slot > s.slotCount) return Rejected();
    uint8_t file[256];
    const long n = detail::ReadSmallFileAt(camera.dirFd_, detail::PresetFileRelative(slot), file, sizeof file);
    // Only a whole preset file can be loaded into the registers.
    if (n < static_cast<long>(kPresetFileSize) || file[0] != n) return Rejected();
    uint8_t old[15];
    for (size_t i = 0; i < 15; ++i) {
      old[i] = s.value[kPresetFileCodes[i]][0];
      s.value[kPresetFileCodes[i]][0] = file[10 + i];
    }
    if (!MirrorIntoPresetZero()) {
      for (size_t i = 0; i < 15; ++i) s.value[kPresetFileCodes[i]][0] = old[i];
      return Rejected();
    }
    s.activeSlot = slot;
    StartBusy();
    return Accepted();
  }

  bool WritePreset(uint8_t slot, const uint8_t name[8], uint8_t flag, bool defaults) {
    uint8_t file[kPresetFileSize] = {};
    file[0] = kPresetFileSize;
    file[1] = flag;
    std::memcpy(file + 2, name, 8);
    for (size_t i = 0; i < 15; ++i) {
      const uint8_t code = kPresetFileCodes[i];
      file[10 + i] = defaults ? s.fallback[code] : s.value[code][0];
    }
    return detail::WriteFileAtomicAt(camera.dirFd_, detail::PresetFileRelative(slot), file, sizeof file);
  }

  int32_t RegisterSlot(uint8_t slot, const uint8_t* name) {
    if (s.mode != kModeCamera || slot > s.slotCount || s.permission[slot] == 1) return Rejected();
    if (!WritePreset(slot, name, 0x01, false)) return Rejected();
    StartBusy();
    return Accepted();
  }

  int32_t ResetSlot(uint8_t slot) {
    if (s.mode != kModeCamera || slot > s.slotCount || s.permission[slot] == 1) return Rejected();
    const uint8_t noName[8] = {};
    if (!WritePreset(slot, noName, 0x00, true)) return Rejected();
    StartBusy();
    return Accepted();
  }

  int32_t General(uint8_t ctype, uint8_t address, uint8_t opcode, uint32_t operands) {
    uint8_t* op = f + 3;
    if (address == kUnit && opcode == kConnectAv) {
      if (!((s.implementedOther >> 2) & 1)) return NotImplemented();
      if (ctype == kSpecificInquiry || ctype == kGeneralInquiry) return Stable();
      if (operands != 5) return Rejected();
      static constexpr uint8_t kCamera[5] = {0x00, 0x38, 0x38, 0x20, 0x20};
      static constexpr uint8_t kVcr[5] = {0xA0, 0x00, 0x00, 0x20, 0x20};
      if (ctype == kStatus) {
        std::memcpy(op, s.mode == kModeCamera ? kCamera : kVcr, 5);
        return Stable();
      }
      if (ctype != kControl) return NotImplemented();
      if (std::memcmp(op, kCamera, 5) == 0) {
        s.mode = kModeCamera;
        return Accepted();
      }
      if (std::memcmp(op, kVcr, 5) == 0) {
        if (s.value[0x16][0] != 0) return Rejected();  // colour bars keep the camera in camera mode
        s.mode = kModeVcr;
        return Accepted();
      }
      return Rejected();
    }
    if (address == kCameraSubunit && opcode == kOpcodeC8) {
      if (!((s.implementedOther >> 3) & 1)) return NotImplemented();
      if (ctype == kSpecificInquiry || ctype == kGeneralInquiry) return Stable();
      if (operands != 1) return Rejected();
      if (ctype == kStatus) {
        op[0] = s.subunitC8;
        return Stable();
      }
      if (ctype != kControl) return NotImplemented();
      if (op[0] > 1) return Rejected();
      s.subunitC8 = op[0];
      return Accepted();
    }
    return NotImplemented();
  }
};

namespace {

// The first fault that matches this AV/C exchange; null when none.
Fault* MatchAvcFault(State& s, const uint8_t* f, uint32_t length) {
  const bool vendor = length >= 9 && f[1] == 0x20 && f[2] == 0x00;
  for (Fault& fault : s.faults) {
    if (fault.kind == FaultKind::TransportBusy && (fault.channel == 0 || fault.channel == 1)) return &fault;
    if (fault.kind != FaultKind::AvcResult) continue;
    if (fault.ctype != kAny && (length < 1 || f[0] != fault.ctype)) continue;
    if (fault.avcFrame == 1) {
      if (!vendor) continue;
      if (fault.key != kAny && ((f[6] << 8) | f[7]) != fault.key) continue;
      if (fault.code != kAny && f[8] != fault.code) continue;
    } else if (fault.avcFrame == 2) {
      if (vendor || length < 3) continue;
      if (fault.key != kAny && f[1] != fault.key) continue;
      if (fault.code != kAny && f[2] != fault.code) continue;
    } else if (fault.code != kAny) {
      const uint8_t code = vendor ? f[8] : (length >= 3 ? f[2] : 0);
      if (code != fault.code) continue;
    }
    return &fault;
  }
  return nullptr;
}

}  // namespace

void ConsumeFault(Fault& fault) {
  if (fault.times != kForever && --fault.times == 0) fault = Fault{};
}

// Counts an exchange against an "unplug after n exchanges" fault.
void CountUnplugFault(State& s) {
  for (Fault& fault : s.faults) {
    if (fault.kind != FaultKind::UnplugAfter) continue;
    if (fault.times == kForever || --fault.times == 0) {
      s.plugged = 0;
      fault = Fault{};
    }
    return;
  }
}

int32_t Camera::AvcExchange(uint8_t (&frame)[kAvcFrameSize], uint32_t length) noexcept {
  uint8_t command[kAvcFrameSize];
  const uint32_t shown = length <= kAvcFrameSize ? length : 0;
  std::memcpy(command, frame, shown);
  LockedState locked(*this, std::nothrow);
  if (!locked.ok()) return kErrorGenFailure;
  State& s = locked.state;
  int32_t result;
  bool answered = false;
  if (length < 3 || length > kAvcFrameSize) {
    result = kErrorInvalidParameter;
  } else if (!s.plugged) {
    result = kDeviceRemoved;
  } else if (Fault* fault = MatchAvcFault(s, frame, length)) {
    result = fault->kind == FaultKind::TransportBusy ? kErrorBusy : fault->value;
    ConsumeFault(*fault);
    if (result == kAvcRejected) frame[0] = 0x0A, answered = true;
    if (result == kAvcNotImplemented) frame[0] = 0x08, answered = true;
    if (result == kAvcOk) {
      AvcEngine engine{*this, s, frame, length, detail::NowMs()};
      result = engine.Run();
      answered = true;
    }
    CountUnplugFault(s);
  } else {
    AvcEngine engine{*this, s, frame, length, detail::NowMs()};
    result = engine.Run();
    answered = true;
    CountUnplugFault(s);
  }
  const uint32_t traceMax = s.traceMaxBytes;
  if (!locked.Commit()) result = kErrorGenFailure;
  Trace("avc", command, shown, answered ? frame : nullptr, answered ? length : 0, result, traceMax);
  return result;
}

}  // namespace vcam
