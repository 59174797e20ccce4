// Shared test fixtures: a private camera root per test, and raw frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace vcam::testing {

// A fresh root in a temporary folder, exported as VCAM_HOME for the test.
class RootFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::unique_ptr<Camera> Create(const std::string& name, CameraOptions options = {});
  std::filesystem::path root_;
};

// A fixture with one camera "cam" (3 slots, one medium with sample content).
class CameraFixture : public RootFixture {
 protected:
  void SetUp() override;
  std::unique_ptr<Camera> camera_;
};

// A 512-byte AV/C frame buffer holding the given bytes.
struct AvcFrame {
  uint8_t bytes[kAvcFrameSize] = {};
  uint32_t length = 0;
  AvcFrame(std::initializer_list<uint8_t> init);
  std::vector<uint8_t> Response() const { return {bytes, bytes + length}; }
};

// A vendor-dependent frame: ctype, 20 00 00 00 85, command set, code, operands.
AvcFrame Vendor(uint8_t ctype, uint16_t set, uint8_t code, std::initializer_list<uint8_t> operands);

std::vector<uint8_t> ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace vcam::testing
