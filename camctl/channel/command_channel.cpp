#include "camctl/channel/command_channel.h"

#include <cstring>
#include <utility>

#include "camctl/common/results.h"

namespace camctl {
HRESULT MapTransportResult(int32_t transportResult) {
  switch (transportResult) {
    case 0:
      return S_OK;
    case kWin32NotSupported:
      return CAM_E_NOT_SUPPORTED;
    case kWin32ReqNotAccepted:
      return CAM_E_REJECTED;
    case kWin32RequestAborted:
      return E_ABORT;
    case kWin32Timeout:
      return CAM_E_TIMEOUT;
    case kWin32DeviceRemoved:
      return CAM_E_REMOVED;
    default:
      // Any other system error is a failure too: as a bare positive number it
      // would read as success to every caller that tests the sign.
      return HResultFromWin32(transportResult);
  }
}

CommandChannel::CommandChannel(std::shared_ptr<platform::AvcTransport> transport)
    : transport_(std::move(transport)), mutex_(platform::OpenNamedMutex(kCameraMutexName)) {}

CommandChannel::~CommandChannel() {
  // An exchange of another thread on this channel finishes before the
  // transport goes away.
  platform::NamedMutexHold hold(mutex_.get(), platform::kWaitForever);
  transport_.reset();
}

HRESULT CommandChannel::SendVendorCommand(uint16_t commandSet, uint8_t code, Ctype ctype,
                                          OperandSpan cells) {
  if (ctype != Ctype::Control && ctype != Ctype::Status) return E_FAIL;
  if (commandSet != kCommandSetCamera && commandSet != kCommandSetDevice) return E_FAIL;
  if (cells.size() > kMaxVendorOperands) return E_INVALIDARG;

  // The buffer is shared by every command of this channel: hold the camera
  // mutex from building the frame to reading the answer back, so no other
  // thread's frame can replace it in between. TransmitFrame takes it again.
  platform::NamedMutexHold hold(mutex_.get(), kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;

  std::memset(frame_, 0, sizeof(frame_));
  frame_[0] = static_cast<uint8_t>(CtypeByte(ctype));
  frame_[1] = 0x20;  // tape recorder/player subunit, id 0
  frame_[2] = 0x00;  // VENDOR-DEPENDENT
  frame_[3] = 0x00;  // company id 00 00 85
  frame_[4] = 0x00;
  frame_[5] = 0x85;
  frame_[6] = static_cast<uint8_t>(commandSet >> 8);
  frame_[7] = static_cast<uint8_t>(commandSet & 0xFF);
  frame_[8] = code;
  return Send(kVendorHeaderLength, ctype, cells);
}

HRESULT CommandChannel::SendAvcCommand(uint8_t address, uint8_t opcode, Ctype ctype, OperandSpan cells) {
  const int ctypeByte = CtypeByte(ctype);
  if (ctypeByte < 0) return E_FAIL;
  if (cells.size() > kMaxGeneralOperands) return E_INVALIDARG;

  platform::NamedMutexHold hold(mutex_.get(), kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;

  std::memset(frame_, 0, sizeof(frame_));
  frame_[0] = static_cast<uint8_t>(ctypeByte);
  frame_[1] = address;
  frame_[2] = opcode;
  return Send(kGeneralHeaderLength, ctype, cells);
}

HRESULT CommandChannel::Send(uint32_t header, Ctype ctype, OperandSpan cells) {
  uint8_t* operands = frame_ + header;
  for (size_t i = 0; i < cells.size(); ++i) operands[i] = cells[i] != nullptr ? *cells[i] : 0xFF;

  const HRESULT hr = TransmitFrame(header + static_cast<uint32_t>(cells.size()));
  // Only an answered STATUS carries values; a failed exchange leaves the
  // caller's cells as they were.
  if (hr == S_OK && ctype == Ctype::Status) {
    for (size_t i = 0; i < cells.size() && cells[i] != nullptr; ++i) *cells[i] = operands[i];
  }
  return hr;
}

HRESULT CommandChannel::TransmitFrame(uint32_t length) {
  if (length > sizeof(frame_)) return E_INVALIDARG;

  platform::NamedMutexHold hold(mutex_.get(), kCameraMutexWaitMs);
  if (!hold.held()) return CAM_E_LOCK_TIMEOUT;
  if (!transport_) return E_FAIL;

  // A call that timed out may have left part of an answer in the buffer; each
  // retry sends the command again, not that leftover.
  uint8_t command[platform::kAvcFrameBufferSize];
  std::memcpy(command, frame_, length);

  int32_t result = transport_->Exchange(frame_, length);
  for (int call = 1; result == kWin32Timeout && call < kMaxTransportCalls; ++call) {
    std::memcpy(frame_, command, length);
    result = transport_->Exchange(frame_, length);
  }
  return MapTransportResult(result);
}

}  // namespace camctl
