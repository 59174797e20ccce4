// Stand-ins for the outside drivers whose every answer comes from the fuzz
// input: the DV camera driver's AV/C pass-through, the storage driver, and a
// camera-mutex handle. The current input is process-wide (one target runs
// one input at a time on one thread).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "platform/avc_transport.h"
#include "platform/named_mutex.h"
#include "platform/storage_driver.h"
#include "storage/frames.h"

namespace fuzz {

inline Input*& CurrentInput() {
  static Input* input = nullptr;
  return input;
}

// Makes `input` the source of every answer for one scope.
class UseInput {
 public:
  explicit UseInput(Input& input) { CurrentInput() = &input; }
  ~UseInput() { CurrentInput() = nullptr; }
  UseInput(const UseInput&) = delete;
  UseInput& operator=(const UseInput&) = delete;
};

inline Input& In() {
  static Input none(nullptr, 0);
  return CurrentInput() != nullptr ? *CurrentInput() : none;
}

// One AV/C answer per exchange: a byte whose low three bits choose the
// transport result (0-2 accepted, 3 refused, 4 not implemented, 5 time-out,
// 6 device gone, 7 aborted or any 32-bit value) and whose high four bits are
// the count of answer bytes that follow; they land at the operand position.
class FuzzTransport final : public platform::AvcTransport {
 public:
  int32_t Exchange(uint8_t (&frame)[platform::kAvcFrameBufferSize], uint32_t length) noexcept override {
    FUZZ_CHECK(length <= platform::kAvcFrameBufferSize);
    ++exchanges;
    Input& in = In();
    const uint8_t how = in.Byte();
    int32_t result = 0;
    switch (how & 7) {
      case 3: result = 71; break;
      case 4: result = 50; break;
      case 5: result = 1460; break;
      case 6: result = 1617; break;
      case 7: result = (how & 8) != 0 ? 1235 : static_cast<int32_t>(in.Be32()); break;
      default: break;
    }
    const bool vendor = length >= 9 && frame[2] == 0x00;
    const size_t offset = vendor ? 9 : 3;
    const size_t count = how >> 4;
    for (size_t i = 0; i < count && offset + i < platform::kAvcFrameBufferSize; ++i) frame[offset + i] = in.Byte();
    return result;
  }
  uint64_t exchanges = 0;
};

class FuzzCaptureDevice final : public platform::CaptureDevice {
 public:
  explicit FuzzCaptureDevice(std::shared_ptr<platform::AvcTransport> transport) : transport_(std::move(transport)) {}
  std::shared_ptr<platform::AvcTransport> QueryTransport() override { return transport_; }

 private:
  std::shared_ptr<platform::AvcTransport> transport_;
};

// One storage answer per exchange: a byte whose low two bits choose the
// transport outcome (0-1 answered, 2 one of the errors 87/170/1617/31,
// 3 any 32-bit value); bit 2 makes a ReadFile report a 32-bit delivered count
// instead of a 16-bit one; bits 3-5 count stray bytes written anywhere in the
// frame. An answered frame then takes its status byte, its count (CountEntries)
// or delivered count and data (ReadFile), and the stray bytes.
class FuzzStorageDriver final : public platform::StorageDriverHandle {
 public:
  int32_t Exchange(uint8_t* frame, uint32_t frameLength, uint8_t* data, uint32_t dataLength) noexcept override {
    ++exchanges;
    FUZZ_CHECK(frame != nullptr && frameLength >= 2 && frameLength <= storage::kMaxFrameLength);
    FUZZ_CHECK(dataLength == 0 || data != nullptr);
    // The opcode byte as it arrives: a stray byte of an earlier answer may have changed it.
    const uint8_t opcode = frame[storage::kOpcodeOffset];
    // Touch every byte of the area the sender vouched for, as a driver may.
    if (opcode == static_cast<uint8_t>(storage::Opcode::WriteFile)) {
      uint32_t sum = 0;
      for (uint32_t i = 0; i < dataLength; ++i) sum += data[i];
      lastWriteSum = sum;
    } else if (dataLength != 0) {
      std::memset(data, 0xA5, dataLength);
    }

    Input& in = In();
    const uint8_t how = in.Byte();
    static constexpr int32_t kErrors[] = {87, 170, 1617, 31};
    switch (how & 3) {
      case 2: return kErrors[in.Byte() & 3];
      case 3: return static_cast<int32_t>(in.Be32());
      default: break;
    }
    frame[storage::kStatusOffset] = in.Byte();
    if (opcode == static_cast<uint8_t>(storage::Opcode::CountEntries) && frameLength >= storage::kCountEntriesLength) {
      storage::PutBe16(frame + storage::count_entries::kCount, in.Be16());
    } else if (opcode == static_cast<uint8_t>(storage::Opcode::ReadFile) && frameLength >= storage::kReadFileLength) {
      const uint32_t delivered = (how & 4) != 0 ? in.Be32() : in.Be16();
      storage::PutBe32(frame + storage::read_file::kDelivered, delivered);
      const uint16_t wanted = in.Be16();
      const auto bytes = in.Bytes(std::min<uint32_t>(wanted, dataLength));
      if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    }
    const int strays = (how >> 3) & 7;
    for (int i = 0; i < strays; ++i) {
      const uint16_t at = in.Be16();
      frame[at % frameLength] = in.Byte();
    }
    return 0;
  }
  int32_t Close() noexcept override { return 0; }

  uint64_t exchanges = 0;
  uint32_t lastWriteSum = 0;
};

// A camera-mutex handle that is always free, unless told to time out
// bounded waits (waits without limit always succeed).
class FuzzMutex final : public platform::NamedMutex {
 public:
  platform::LockResult Lock(uint32_t timeoutMs) noexcept override {
    if (Refusing() && timeoutMs != platform::kWaitForever) return platform::LockResult::TimedOut;
    return platform::LockResult::Acquired;
  }
  void Unlock() noexcept override {}
  static bool& Refusing() {
    static bool refusing = false;
    return refusing;
  }
};

}  // namespace fuzz
