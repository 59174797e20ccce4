#include "vcam/driver_exchange.h"

#include "storage/frames.h"
#include "vcam/vcam.h"

namespace vcam {

namespace sf = storage;

int32_t SplitDriverExchange(const uint8_t* input, uint32_t inputLength, uint32_t outputLength, uint32_t maxArea,
                            DriverExchange& out) noexcept {
  out = DriverExchange{};
  if (input == nullptr || inputLength < 2) return kErrorInvalidParameter;
  const uint8_t opcode = input[sf::kOpcodeOffset];
  const uint32_t frameLength = sf::FrameLength(opcode);
  const bool write = opcode == static_cast<uint8_t>(sf::Opcode::WriteFile);
  const bool read = opcode == static_cast<uint8_t>(sf::Opcode::ReadFile) ||
                    opcode == static_cast<uint8_t>(sf::Opcode::ReadThumbnail);
  if ((!write && !read) || inputLength < frameLength) {
    if (inputLength > sf::kMaxFrameLength) return kErrorInvalidParameter;
    out.frameLength = inputLength;
    return 0;
  }
  out.frameLength = frameLength;
  out.areaIsOutput = read;
  // ReadThumbnail, ReadFile and WriteFile keep the address at the same place.
  out.address = sf::GetBe32(input + sf::read_file::kAddress);
  const uint32_t beside = write ? inputLength - frameLength : (outputLength > frameLength ? outputLength - frameLength : 0);
  if (beside > 0) {
    if (out.address != 0) return kErrorInvalidParameter;
    out.form = AreaForm::Beside;
    out.areaLength = beside;
  } else if (out.address != 0) {
    out.form = AreaForm::Address;
    out.areaLength = write ? sf::GetBe32(input + sf::write_file::kFirstLength) : sf::GetBe32(input + sf::read_file::kCapacity);
  }
  if (out.areaLength > maxArea) return kErrorInvalidParameter;
  return 0;
}

}  // namespace vcam
