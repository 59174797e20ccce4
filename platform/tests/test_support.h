// Shared fixture: every test gets its own temporary folder and registry file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace hostcom_test {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "hostcom-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    registry_ = dir_ / "registry.reg";
    ::setenv("HOSTCOM_REGISTRY", registry_.c_str(), 1);
    // Never the real machine file: a folder of the test's own, absent until a test makes it.
    machineDir_ = dir_ / "machine";
    machineRegistry_ = machineDir_ / "registry.reg";
    ::setenv("HOSTCOM_MACHINE_REGISTRY", machineRegistry_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("HOSTCOM_REGISTRY");
    ::unsetenv("HOSTCOM_MACHINE_REGISTRY");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
  }

  std::filesystem::path dir_;
  std::filesystem::path registry_;
  std::filesystem::path machineDir_;
  std::filesystem::path machineRegistry_;
};

}  // namespace hostcom_test
