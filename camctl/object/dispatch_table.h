// The late-bound calls of the five interfaces: for each method its name (from
// method_names.h), its parameter kinds and a call through the interface,
// derived from the method's own signature so the three cannot disagree.
// Windows dispatches through the registered type library and needs none.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "camctl/object/method_names.h"
#include "platform/type_library.h"

namespace camctl {

#ifndef _WIN32
namespace dispatch_detail {

using platform::DispatchArgument;
using platform::ParamType;

template <class T>
struct Param;
template <>
struct Param<LONG> {
  static constexpr ParamType kType = ParamType::Long;
  static LONG From(const DispatchArgument& a) { return a.number; }
};
template <>
struct Param<BSTR> {
  static constexpr ParamType kType = ParamType::String;
  static BSTR From(const DispatchArgument& a) { return a.text; }
};
template <>
struct Param<LONG*> {
  static constexpr ParamType kType = ParamType::LongOut;
  static LONG* From(const DispatchArgument& a) { return a.numberOut; }
};
template <>
struct Param<BSTR*> {
  static constexpr ParamType kType = ParamType::StringOut;
  static BSTR* From(const DispatchArgument& a) { return a.textOut; }
};
template <>
struct Param<SAFEARRAY**> {
  static constexpr ParamType kType = ParamType::StringArrayOut;
  static SAFEARRAY** From(const DispatchArgument& a) { return a.arrayOut; }
};

template <auto Method>
struct Thunk;
template <class Interface, class... Args, HRESULT (STDMETHODCALLTYPE Interface::*Method)(Args...)>
struct Thunk<Method> {
  static constexpr std::array<ParamType, sizeof...(Args)> kParams{Param<Args>::kType...};
  static HRESULT Call(void* instance, const DispatchArgument* args) {
    return CallWith(static_cast<Interface*>(instance), args, std::index_sequence_for<Args...>{});
  }
  template <size_t... N>
  static HRESULT CallWith(Interface* object, [[maybe_unused]] const DispatchArgument* args, std::index_sequence<N...>) {
    return (object->*Method)(Param<Args>::From(args[N])...);
  }
};

// The table of methods in vtable order, named from `names` in the same order.
template <auto... Methods>
std::array<platform::DispatchMethod, sizeof...(Methods)> Table(std::span<const std::string_view> names) {
  size_t i = 0;
  return {platform::DispatchMethod{names[i++], Thunk<Methods>::kParams, &Thunk<Methods>::Call}...};
}

}  // namespace dispatch_detail

template <class Interface>
std::span<const platform::DispatchMethod> DispatchMethodsOf();

#define VELQUIN_DISPATCH_TABLE(Interface, names, ...)                                      \
  template <>                                                                              \
  inline std::span<const platform::DispatchMethod> DispatchMethodsOf<Interface>() {         \
    static const auto table = dispatch_detail::Table<__VA_ARGS__>(names);                  \
    static_assert(std::tuple_size_v<decltype(table)> == std::size(names), "one name per method"); \
    return table;                                                                          \
  }

VELQUIN_DISPATCH_TABLE(ICDVEnumDevice, kEnumDeviceMethods, &ICDVEnumDevice::EnumerateDevice,
                       &ICDVEnumDevice::SelectDevice, &ICDVEnumDevice::RemoveDevice, &ICDVEnumDevice::GetDeviceInfo)
VELQUIN_DISPATCH_TABLE(ICDVPresetControl, kPresetControlMethods, &ICDVPresetControl::GetPresetCount,
                       &ICDVPresetControl::GetPresetState, &ICDVPresetControl::SelectPreset,
                       &ICDVPresetControl::RegisterPreset, &ICDVPresetControl::ResetPreset,
                       &ICDVPresetControl::GetAccessPermission, &ICDVPresetControl::SetAccessPermission,
                       &ICDVPresetControl::GetPresetName, &ICDVPresetControl::SetPresetName,
                       &ICDVPresetControl::ExportPreset, &ICDVPresetControl::ImportPreset)
VELQUIN_DISPATCH_TABLE(ICDVCameraControl, kCameraControlMethods, &ICDVCameraControl::GetCapability,
                       &ICDVCameraControl::SetStatus, &ICDVCameraControl::GetStatus, &ICDVCameraControl::GetRange)
VELQUIN_DISPATCH_TABLE(ICDVPreviewControl, kPreviewControlMethods, &ICDVPreviewControl::SetOwner,
                       &ICDVPreviewControl::StartPreview, &ICDVPreviewControl::StopPreview,
                       &ICDVPreviewControl::SetVisible, &ICDVPreviewControl::MoveWindow)
VELQUIN_DISPATCH_TABLE(ICDVDeviceControl, kDeviceControlMethods, &ICDVDeviceControl::SetCVMode,
                       &ICDVDeviceControl::GetCVMode, &ICDVDeviceControl::SetEvfDisplay,
                       &ICDVDeviceControl::GetEvfDisplay, &ICDVDeviceControl::SetColorBars,
                       &ICDVDeviceControl::GetColorBars)
#undef VELQUIN_DISPATCH_TABLE

#else

template <class Interface>
std::span<const platform::DispatchMethod> DispatchMethodsOf() {
  return {};
}

#endif

}  // namespace camctl
