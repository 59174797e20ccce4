// Windows only: the DV camera driver's capture filter as a CaptureDevice.
#pragma once

#include <memory>

#include "platform/avc_transport.h"
#include "platform/com.h"

namespace platform::win32 {

// Wraps the external-device interface (IAMExtDevice) of a bound capture filter;
// takes its own reference.
std::unique_ptr<CaptureDevice> WrapExternalDevice(IUnknown* externalDevice);
// The external-device interface inside a device made by WrapExternalDevice;
// null for any other device. No reference is added.
IUnknown* ExternalDeviceOf(CaptureDevice& device);

}  // namespace platform::win32
