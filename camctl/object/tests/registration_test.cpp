// Registration writes exactly the class keys and unregistration removes them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "camctl/object/registration.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
using platform::registry::Root;

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velquin-registration-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("HOSTCOM_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static platform::ComString Get(const char16_t* key, const char16_t* value = u"") {
    platform::ComString text;
    EXPECT_EQ(platform::registry::GetString(Root::ClassesRoot, key, value, text), S_OK)
        << platform::ComToUtf8(key);
    return text;
  }
  static bool Exists(const char16_t* key) {
    return platform::registry::KeyExists(Root::ClassesRoot, key);
  }

  fs::path dir_;
};

#define CLASS_KEY u"CLSID\\{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}"

TEST_F(RegistrationTest, WritesTheClassAndProgIdKeys) {
  ASSERT_EQ(camctl::WriteRegistration(u"/opt/velquin/VELQUIN.so"), S_OK);
  EXPECT_EQ(Get(CLASS_KEY), u"CameraControl Class");
  EXPECT_EQ(Get(CLASS_KEY u"\\InprocServer32"), u"/opt/velquin/VELQUIN.so");
  EXPECT_EQ(Get(CLASS_KEY u"\\InprocServer32", u"ThreadingModel"), u"Apartment");
  EXPECT_EQ(Get(CLASS_KEY u"\\ProgID"), u"VELQUIN.CameraControl.1");
  EXPECT_EQ(Get(CLASS_KEY u"\\VersionIndependentProgID"), u"VELQUIN.CameraControl");
  EXPECT_EQ(Get(CLASS_KEY u"\\TypeLib"), u"{47AA0C35-5634-46F1-8709-8F8F8CD36739}");
  EXPECT_TRUE(Exists(CLASS_KEY u"\\Programmable"));
  EXPECT_EQ(Get(u"VELQUIN.CameraControl.1"), u"CameraControl Class");
  EXPECT_EQ(Get(u"VELQUIN.CameraControl.1\\CLSID"), u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}");
  EXPECT_EQ(Get(u"VELQUIN.CameraControl"), u"CameraControl Class");
  EXPECT_EQ(Get(u"VELQUIN.CameraControl\\CLSID"), u"{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}");
  EXPECT_EQ(Get(u"VELQUIN.CameraControl\\CurVer"), u"VELQUIN.CameraControl.1");
}

TEST_F(RegistrationTest, RegistrationReplacesTheClassKeyWhole) {
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, CLASS_KEY u"\\Stale", u"", u"old"), S_OK);
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, CLASS_KEY u"\\Programmable\\Old", u"", u"x"), S_OK);
  ASSERT_EQ(camctl::WriteRegistration(u"/first/VELQUIN.so"), S_OK);
  ASSERT_EQ(camctl::WriteRegistration(u"/second/VELQUIN.so"), S_OK);
  EXPECT_FALSE(Exists(CLASS_KEY u"\\Stale"));
  EXPECT_FALSE(Exists(CLASS_KEY u"\\Programmable\\Old"));
  EXPECT_TRUE(Exists(CLASS_KEY u"\\Programmable"));
  EXPECT_EQ(Get(CLASS_KEY u"\\InprocServer32"), u"/second/VELQUIN.so");
}

TEST_F(RegistrationTest, UnregistrationRemovesTheClassButKeepsTheClsidKey) {
  ASSERT_EQ(platform::registry::SetString(Root::ClassesRoot, u"CLSID\\{00000000-1111-2222-3333-444444444444}",
                                          u"", u"another server"),
            S_OK);
  ASSERT_EQ(camctl::WriteRegistration(u"/opt/velquin/VELQUIN.so"), S_OK);
  EXPECT_EQ(camctl::RemoveRegistration(), S_OK);
  EXPECT_FALSE(Exists(CLASS_KEY));
  EXPECT_FALSE(Exists(u"VELQUIN.CameraControl"));
  EXPECT_FALSE(Exists(u"VELQUIN.CameraControl.1"));
  EXPECT_TRUE(Exists(u"CLSID"));
  EXPECT_EQ(Get(u"CLSID\\{00000000-1111-2222-3333-444444444444}"), u"another server");
  // Unregistering twice is harmless.
  EXPECT_EQ(camctl::RemoveRegistration(), S_OK);
  EXPECT_TRUE(Exists(u"CLSID"));
}

}  // namespace
