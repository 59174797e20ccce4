// The imaging-service device list through the library's Windows seam, across
// processes: CoCreateInstance of the device manager as a local server, the
// device list and each device's type and id. The device manager is the double
// scripts/wine-test.sh registers in its Wine prefix, which lists the image
// class instances with a storage link; the script sets VELQUIN_IMAGING_DOUBLE.
// Elsewhere the machine's own service answers and the case does not apply.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/imaging_devices.h"
#include "platform/registry.h"

namespace {

using platform::ComToUtf8;
using platform::Utf8ToCom;
namespace registry = platform::registry;

const std::string kClass = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
const std::string kOurs = kClass + "\\90";  // the instances this test makes: 9001, 9002, 9003

class ImagingDevices : public testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("VELQUIN_IMAGING_DOUBLE") == nullptr)
      GTEST_SKIP() << "needs the imaging device manager double of scripts/wine-test.sh";
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    initialised_ = true;
  }
  void TearDown() override {
    for (const char* instance : {"9001", "9002", "9003"}) registry::DeleteTree(registry::Root::LocalMachine, Key(instance));
    if (initialised_) CoUninitialize();
  }

  static platform::ComString Key(const std::string& instance) {
    return platform::DeviceClassKey(Utf8ToCom(kClass + "\\" + instance));
  }
  static void AddInstance(const std::string& instance, const char* valueName, const char* value) {
    ASSERT_EQ(registry::SetString(registry::Root::LocalMachine, Key(instance), Utf8ToCom(valueName), Utf8ToCom(value)),
              S_OK);
  }

  // This test's devices in the list, in order, as "id type".
  static std::vector<std::string> ListOurs() {
    std::vector<platform::ImagingDevice> devices;
    EXPECT_EQ(platform::ListImagingDevices(devices), S_OK);
    std::vector<std::string> ours;
    for (const platform::ImagingDevice& device : devices) {
      const std::string id = ComToUtf8(device.deviceId);
      char type[16];
      std::snprintf(type, sizeof type, " %08X", static_cast<unsigned>(device.type));
      if (id.rfind(kOurs, 0) == 0) ours.push_back(id + type);
    }
    return ours;
  }

 private:
  bool initialised_ = false;
};

TEST_F(ImagingDevices, ListsTheImageClassInstancesWithAStorageLinkAsCameras) {
  AddInstance("9002", "DevSymLink", "\\??\\VelquinTestLinkB");
  AddInstance("9001", "DevSymLink", "\\??\\VelquinTestLinkA");
  AddInstance("9003", "DriverDesc", "an image device without a storage driver");
  const std::vector<std::string> both = {kClass + "\\9001 00020000", kClass + "\\9002 00020000"};
  EXPECT_EQ(ListOurs(), both);

  // Each listing asks the service anew.
  ASSERT_EQ(registry::DeleteTree(registry::Root::LocalMachine, Key("9001")), S_OK);
  const std::vector<std::string> one = {kClass + "\\9002 00020000"};
  EXPECT_EQ(ListOurs(), one);
}

}  // namespace
