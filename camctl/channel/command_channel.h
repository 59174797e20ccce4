// The AV/C command channel of one attached camera: frame builders, the single
// exchange under the camera mutex with time-out retries and result mapping.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include "platform/avc_transport.h"
#include "platform/com.h"
#include "platform/named_mutex.h"

namespace camctl {

// The camera mutex every channel, object and storage channel of every process shares.
inline constexpr char kCameraMutexName[] = "08D77B9B-8328-4afe-8D64-4B69E5FFFA17";
inline constexpr uint32_t kCameraMutexWaitMs = 300;

enum class Ctype : uint8_t {
  Control = 0,          // ctype 0x00
  Status = 1,           // ctype 0x01
  SpecificInquiry = 2,  // ctype 0x02, general frames only
  GeneralInquiry = 3,   // ctype 0x04, general frames only
};

// One-byte operand cells: a cell's byte is sent; a null cell is absent and
// sends 0xFF. After a successful STATUS exchange the response bytes at the
// operand positions are written back into the cells, up to the first absent one.
using OperandCells = std::initializer_list<uint8_t*>;
// The same cells as a run built by the caller (for example a slot and eight name bytes).
using OperandSpan = std::span<uint8_t* const>;

inline constexpr uint16_t kCommandSetCamera = 0x0001;
inline constexpr uint16_t kCommandSetDevice = 0x0010;
inline constexpr uint32_t kVendorHeaderLength = 9;   // operands start at byte 9
inline constexpr uint32_t kGeneralHeaderLength = 3;  // operands start at byte 3
inline constexpr uint32_t kMaxVendorOperands = platform::kAvcFrameBufferSize - kVendorHeaderLength;    // 503
inline constexpr uint32_t kMaxGeneralOperands = platform::kAvcFrameBufferSize - kGeneralHeaderLength;  // 509
// The transport is asked at most this often while it answers ERROR_TIMEOUT.
inline constexpr int kMaxTransportCalls = 4;

// The ctype byte of a selector, or -1 for a selector outside the table.
constexpr int CtypeByte(Ctype ctype) {
  switch (ctype) {
    case Ctype::Control: return 0x00;
    case Ctype::Status: return 0x01;
    case Ctype::SpecificInquiry: return 0x02;
    case Ctype::GeneralInquiry: return 0x04;
  }
  return -1;
}

class CommandChannel {
 public:
  // Takes a reference to the transport and opens this channel's own handle on
  // the camera mutex. No camera traffic.
  explicit CommandChannel(std::shared_ptr<platform::AvcTransport> transport);
  // Waits for the camera mutex without limit so no exchange is cut short.
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Vendor-dependent frame (company 00 00 85). E_FAIL without sending unless the
  // selector is Control or Status and the command set is 0x0001 or 0x0010;
  // E_INVALIDARG without sending for more than 503 cells.
  HRESULT SendVendorCommand(uint16_t commandSet, uint8_t code, Ctype ctype, OperandCells cells) {
    return SendVendorCommand(commandSet, code, ctype, OperandSpan(cells.begin(), cells.size()));
  }
  HRESULT SendVendorCommand(uint16_t commandSet, uint8_t code, Ctype ctype, OperandSpan cells);
  // General frame with a caller-given address byte and opcode. E_FAIL without
  // sending for a selector outside the table; E_INVALIDARG for more than 509 cells.
  HRESULT SendAvcCommand(uint8_t address, uint8_t opcode, Ctype ctype, OperandCells cells) {
    return SendAvcCommand(address, opcode, ctype, OperandSpan(cells.begin(), cells.size()));
  }
  HRESULT SendAvcCommand(uint8_t address, uint8_t opcode, Ctype ctype, OperandSpan cells);
  // One exchange of the first `length` bytes of Buffer(): camera mutex
  // (300 ms), up to four calls while the transport times out, transport result
  // mapped to a library result. E_INVALIDARG for a length beyond the buffer.
  HRESULT TransmitFrame(uint32_t length);

  uint8_t* Buffer() { return frame_; }
  bool HasMutex() const { return mutex_ != nullptr; }

 private:
  HRESULT Send(uint32_t header, Ctype ctype, OperandSpan cells);

  std::shared_ptr<platform::AvcTransport> transport_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  alignas(8) uint8_t frame_[platform::kAvcFrameBufferSize] = {};
};

// Maps a transport return value to a library result: 0 success; 50, 71, 1235,
// 1460 and 1617 to their codes; another positive system error e to
// 0x80070000 | e, so it cannot read as success; a negative value unchanged.
HRESULT MapTransportResult(int32_t transportResult);

}  // namespace camctl
