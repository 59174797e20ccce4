// Windows only: the DV camera driver's capture filter as a CaptureDevice.
#pragma once

#include <memory>

#include "platform/avc_transport.h"
#include "platform/com.h"

namespace platform::win32 {

// Wraps the external-device interface (IAMExtDevice) of a bound capture filter;
// takes its own reference.
std::unique_ptr<CaptureDevice> WrapExternalDevice(IUnknown* externalDevice);

}  // namespace platform::win32
