// The interface header and the IDL the type library is built from must agree
// on method order: the IDL's n-th method of an interface sits in vtable slot
// 7 + n of the header's interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "camctl/object/interfaces.h"
#include "camctl/object/method_names.h"

namespace {

// Itanium C++ ABI: a pointer to a virtual member function holds 1 + the byte
// offset of its vtable slot.
template <class Pmf>
ptrdiff_t SlotOf(Pmf pmf) {
  struct Repr {
    ptrdiff_t ptr;
    ptrdiff_t adj;
  } repr;
  static_assert(sizeof(Pmf) == sizeof(Repr));
  std::memcpy(&repr, &pmf, sizeof repr);
  return (repr.ptr - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

using SlotMap = std::map<std::string, ptrdiff_t>;

std::map<std::string, SlotMap> HeaderSlots() {
  return {
      {"ICDVEnumDevice",
       {{"QueryInterface", SlotOf(&ICDVEnumDevice::QueryInterface)},
        {"Invoke", SlotOf(&ICDVEnumDevice::Invoke)},
        {"EnumerateDevice", SlotOf(&ICDVEnumDevice::EnumerateDevice)},
        {"SelectDevice", SlotOf(&ICDVEnumDevice::SelectDevice)},
        {"RemoveDevice", SlotOf(&ICDVEnumDevice::RemoveDevice)},
        {"GetDeviceInfo", SlotOf(&ICDVEnumDevice::GetDeviceInfo)}}},
      {"ICDVPresetControl",
       {{"QueryInterface", SlotOf(&ICDVPresetControl::QueryInterface)},
        {"Invoke", SlotOf(&ICDVPresetControl::Invoke)},
        {"GetPresetCount", SlotOf(&ICDVPresetControl::GetPresetCount)},
        {"GetPresetState", SlotOf(&ICDVPresetControl::GetPresetState)},
        {"SelectPreset", SlotOf(&ICDVPresetControl::SelectPreset)},
        {"RegisterPreset", SlotOf(&ICDVPresetControl::RegisterPreset)},
        {"ResetPreset", SlotOf(&ICDVPresetControl::ResetPreset)},
        {"GetAccessPermission", SlotOf(&ICDVPresetControl::GetAccessPermission)},
        {"SetAccessPermission", SlotOf(&ICDVPresetControl::SetAccessPermission)},
        {"GetPresetName", SlotOf(&ICDVPresetControl::GetPresetName)},
        {"SetPresetName", SlotOf(&ICDVPresetControl::SetPresetName)},
        {"ExportPreset", SlotOf(&ICDVPresetControl::ExportPreset)},
        {"ImportPreset", SlotOf(&ICDVPresetControl::ImportPreset)}}},
      {"ICDVCameraControl",
       {{"QueryInterface", SlotOf(&ICDVCameraControl::QueryInterface)},
        {"Invoke", SlotOf(&ICDVCameraControl::Invoke)},
        {"GetCapability", SlotOf(&ICDVCameraControl::GetCapability)},
        {"SetStatus", SlotOf(&ICDVCameraControl::SetStatus)},
        {"GetStatus", SlotOf(&ICDVCameraControl::GetStatus)},
        {"GetRange", SlotOf(&ICDVCameraControl::GetRange)}}},
      {"ICDVPreviewControl",
       {{"QueryInterface", SlotOf(&ICDVPreviewControl::QueryInterface)},
        {"Invoke", SlotOf(&ICDVPreviewControl::Invoke)},
        {"SetOwner", SlotOf(&ICDVPreviewControl::SetOwner)},
        {"StartPreview", SlotOf(&ICDVPreviewControl::StartPreview)},
        {"StopPreview", SlotOf(&ICDVPreviewControl::StopPreview)},
        {"SetVisible", SlotOf(&ICDVPreviewControl::SetVisible)},
        {"MoveWindow", SlotOf(&ICDVPreviewControl::MoveWindow)}}},
      {"ICDVDeviceControl",
       {{"QueryInterface", SlotOf(&ICDVDeviceControl::QueryInterface)},
        {"Invoke", SlotOf(&ICDVDeviceControl::Invoke)},
        {"SetCVMode", SlotOf(&ICDVDeviceControl::SetCVMode)},
        {"GetCVMode", SlotOf(&ICDVDeviceControl::GetCVMode)},
        {"SetEvfDisplay", SlotOf(&ICDVDeviceControl::SetEvfDisplay)},
        {"GetEvfDisplay", SlotOf(&ICDVDeviceControl::GetEvfDisplay)},
        {"SetColorBars", SlotOf(&ICDVDeviceControl::SetColorBars)},
        {"GetColorBars", SlotOf(&ICDVDeviceControl::GetColorBars)}}},
  };
}

struct IdlMethod {
  int dispid;
  std::string name;
  int parameterCount;
};

// Interface name -> methods in IDL order, read from the IDL text.
std::map<std::string, std::vector<IdlMethod>> ReadIdl() {
  std::ifstream in(VELQUIN_IDL_PATH);
  std::stringstream text;
  text << in.rdbuf();
  const std::string idl = text.str();
  std::map<std::string, std::vector<IdlMethod>> result;
  const std::regex interfaceRe(R"(interface\s+(\w+)\s*:\s*IDispatch\s*\{([^}]*)\})");
  // Parameters end at ");" since a type may hold parentheses: SAFEARRAY(BSTR)*.
  const std::regex methodRe(R"(\[id\((\d+)\)[^\]]*\]\s*HRESULT\s+(\w+)\s*\((.*?)\)\s*;)");
  for (std::sregex_iterator it(idl.begin(), idl.end(), interfaceRe), end; it != end; ++it) {
    const std::string body = (*it)[2];
    auto& methods = result[(*it)[1]];
    for (std::sregex_iterator m(body.begin(), body.end(), methodRe); m != end; ++m) {
      const std::string params = (*m)[3];
      int count = 0;
      if (params.find_first_not_of(" \t") != std::string::npos)
        count = 1 + static_cast<int>(std::count(params.begin(), params.end(), ','));
      methods.push_back({std::stoi((*m)[1]), (*m)[2], count});
    }
  }
  return result;
}

TEST(InterfaceLayout, IdlMethodsSitInTheHeaderSlotsOfTheirPosition) {
  const auto idl = ReadIdl();
  const auto header = HeaderSlots();
  ASSERT_EQ(idl.size(), 5u) << "the IDL declares five interfaces";
  for (const auto& [name, slots] : header) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(idl.count(name));
    const auto& methods = idl.at(name);
    EXPECT_EQ(slots.at("QueryInterface"), 0);
    EXPECT_EQ(slots.at("Invoke"), 6);
    ASSERT_EQ(methods.size() + 2, slots.size()) << "same number of methods";
    for (size_t i = 0; i < methods.size(); ++i) {
      SCOPED_TRACE(methods[i].name);
      EXPECT_EQ(methods[i].dispid, static_cast<int>(i + 1)) << "DISPID is the position";
      ASSERT_TRUE(slots.count(methods[i].name)) << "the header has the IDL's method";
      EXPECT_EQ(slots.at(methods[i].name), static_cast<ptrdiff_t>(7 + i));
    }
  }
}

TEST(InterfaceLayout, NameTableFollowsTheIdl) {
  const auto idl = ReadIdl();
  for (const auto& entry : camctl::AllInterfaceMethods()) {
    SCOPED_TRACE(std::string(entry.interfaceName));
    const auto& methods = idl.at(std::string(entry.interfaceName));
    ASSERT_EQ(methods.size(), entry.methods.size());
    for (size_t i = 0; i < methods.size(); ++i) EXPECT_EQ(methods[i].name, entry.methods[i]);
  }
}

TEST(InterfaceLayout, ParameterCountsMatchTheBinaryInterface) {
  const auto idl = ReadIdl();
  const std::map<std::string, int> expected = {
      {"EnumerateDevice", 2}, {"SelectDevice", 1},     {"RemoveDevice", 0},
      {"GetDeviceInfo", 4},   {"GetPresetCount", 1},   {"GetPresetState", 1},
      {"SelectPreset", 1},    {"RegisterPreset", 2},   {"ResetPreset", 1},
      {"GetAccessPermission", 2}, {"SetAccessPermission", 2}, {"GetPresetName", 2},
      {"SetPresetName", 2},   {"ExportPreset", 3},     {"ImportPreset", 2},
      {"GetCapability", 1},   {"SetStatus", 2},        {"GetStatus", 2},
      {"GetRange", 4},        {"SetOwner", 1},         {"StartPreview", 0},
      {"StopPreview", 0},     {"SetVisible", 1},       {"MoveWindow", 4},
      {"SetCVMode", 1},       {"GetCVMode", 2},        {"SetEvfDisplay", 1},
      {"GetEvfDisplay", 1},   {"SetColorBars", 1},     {"GetColorBars", 1}};
  size_t seen = 0;
  for (const auto& [iface, methods] : idl)
    for (const auto& m : methods) {
      SCOPED_TRACE(m.name);
      ASSERT_TRUE(expected.count(m.name));
      EXPECT_EQ(m.parameterCount, expected.at(m.name));
      ++seen;
    }
  EXPECT_EQ(seen, expected.size());
}

}  // namespace
