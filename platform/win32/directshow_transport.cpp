// Raw AV/C pass-through of the DV camera driver: IAMExtTransport's
// GetTransportBasicParameters with ED_RAW_EXT_DEV_CMD sends the frame held in
// the buffer and leaves the response in it. The driver's return value is the
// transport result (0, 50, 71, 1235, 1460, 1617 ...) and is passed on as it is.
#include "directshow_transport.h"

#include <strmif.h>

namespace platform::win32 {
namespace {

constexpr long kRawExtDevCmd = 5016;  // ED_RAW_EXT_DEV_CMD
constexpr IID kIidExtTransport = {  // IAMExtTransport
    0xA03CD5F0, 0x3045, 0x11CF, {0x8C, 0x44, 0x00, 0xAA, 0x00, 0x6B, 0x68, 0x14}};

class ExtTransport final : public AvcTransport {
 public:
  explicit ExtTransport(IAMExtTransport* transport) : transport_(transport) {}
  ~ExtTransport() override { transport_->Release(); }
  ExtTransport(const ExtTransport&) = delete;
  ExtTransport& operator=(const ExtTransport&) = delete;

  int32_t Exchange(uint8_t (&frame)[kAvcFrameBufferSize], uint32_t length) noexcept override {
    long frameLength = static_cast<long>(length);
    // The driver takes the buffer's own address in place of a string pointer.
    auto* data = reinterpret_cast<LPOLESTR*>(frame);
    return static_cast<int32_t>(
        transport_->GetTransportBasicParameters(kRawExtDevCmd, &frameLength, data));
  }

 private:
  IAMExtTransport* transport_;
};

class ExtDevice final : public CaptureDevice {
 public:
  explicit ExtDevice(IUnknown* device) : device_(device) { device_->AddRef(); }
  ~ExtDevice() override { device_->Release(); }
  ExtDevice(const ExtDevice&) = delete;
  ExtDevice& operator=(const ExtDevice&) = delete;

  IUnknown* device() const { return device_; }

  std::shared_ptr<AvcTransport> QueryTransport() override {
    IAMExtTransport* transport = nullptr;
    if (FAILED(device_->QueryInterface(kIidExtTransport, reinterpret_cast<void**>(&transport))) ||
        !transport)
      return nullptr;
    return std::make_shared<ExtTransport>(transport);
  }

 private:
  IUnknown* device_;
};

}  // namespace

std::unique_ptr<CaptureDevice> WrapExternalDevice(IUnknown* externalDevice) {
  if (!externalDevice) return nullptr;
  return std::make_unique<ExtDevice>(externalDevice);
}

IUnknown* ExternalDeviceOf(CaptureDevice& device) {
  const auto* wrapped = dynamic_cast<const ExtDevice*>(&device);
  return wrapped ? wrapped->device() : nullptr;
}

}  // namespace platform::win32
