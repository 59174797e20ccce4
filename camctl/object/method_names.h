// Method names of the five interfaces in vtable order (DISPID = position + 1).
// Serves name lookup where no type library is available and lets the tests
// check that the interface header and the IDL agree.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "camctl/object/interfaces.h"

namespace camctl {

struct InterfaceMethods {
  std::string_view interfaceName;
  const IID* iid;
  std::span<const std::string_view> methods;
};

inline constexpr std::string_view kEnumDeviceMethods[] = {"EnumerateDevice", "SelectDevice",
                                                          "RemoveDevice", "GetDeviceInfo"};
inline constexpr std::string_view kPresetControlMethods[] = {
    "GetPresetCount",      "GetPresetState", "SelectPreset",  "RegisterPreset",
    "ResetPreset",         "GetAccessPermission", "SetAccessPermission", "GetPresetName",
    "SetPresetName",       "ExportPreset",   "ImportPreset"};
inline constexpr std::string_view kCameraControlMethods[] = {"GetCapability", "SetStatus",
                                                             "GetStatus", "GetRange"};
inline constexpr std::string_view kPreviewControlMethods[] = {
    "SetOwner", "StartPreview", "StopPreview", "SetVisible", "MoveWindow"};
inline constexpr std::string_view kDeviceControlMethods[] = {
    "SetCVMode", "GetCVMode", "SetEvfDisplay", "GetEvfDisplay", "SetColorBars", "GetColorBars"};

inline const std::array<InterfaceMethods, 5>& AllInterfaceMethods() {
  static const std::array<InterfaceMethods, 5> table = {{
      {"ICDVEnumDevice", &IID_ICDVEnumDevice, kEnumDeviceMethods},
      {"ICDVPresetControl", &IID_ICDVPresetControl, kPresetControlMethods},
      {"ICDVCameraControl", &IID_ICDVCameraControl, kCameraControlMethods},
      {"ICDVPreviewControl", &IID_ICDVPreviewControl, kPreviewControlMethods},
      {"ICDVDeviceControl", &IID_ICDVDeviceControl, kDeviceControlMethods},
  }};
  return table;
}

inline const InterfaceMethods* FindInterfaceMethods(REFIID iid) {
  for (const auto& entry : AllInterfaceMethods())
    if (IsEqualGUID(*entry.iid, iid)) return &entry;
  return nullptr;
}

}  // namespace camctl
