#include "test_support.h"

#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <fstream>
#include <iterator>
#include <random>

namespace vcam::testing {

#ifdef _WIN32
void RootFixture::SetUp() {
  // A new folder in the temporary folder; the creation itself fails on a name in use.
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 16 && root_.empty(); ++attempt) {
    const auto candidate = base / ("vcam-test-" + std::to_string(rd()) + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) root_ = candidate;
  }
  ASSERT_FALSE(root_.empty());
  ASSERT_EQ(::_wputenv_s(L"VCAM_HOME", root_.c_str()), 0);
}

void RootFixture::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
  ::_wputenv_s(L"VCAM_HOME", L"");
}
#else
void RootFixture::SetUp() {
  char templ[] = "/tmp/vcam-test-XXXXXX";
  ASSERT_NE(::mkdtemp(templ), nullptr);
  root_ = templ;
  ::setenv("VCAM_HOME", templ, 1);
}

void RootFixture::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
  ::unsetenv("VCAM_HOME");
}
#endif

std::unique_ptr<Camera> RootFixture::Create(const std::string& name, CameraOptions options) {
  return CreateCamera(root_, name, options);
}

void CameraFixture::SetUp() {
  RootFixture::SetUp();
  CameraOptions options;
  options.uniqueId = "0800460102ab0001";
  camera_ = Create("cam", options);
  // No busy window unless a test asks for one: exchanges stay independent.
  camera_->Modify([](State& s) { s.busyMs = 0; });
}

void CameraFixture::TearDown() {
  camera_.reset();
  RootFixture::TearDown();
}

AvcFrame::AvcFrame(std::initializer_list<uint8_t> init) {
  for (uint8_t b : init) bytes[length++] = b;
}

AvcFrame Vendor(uint8_t ctype, uint16_t set, uint8_t code, std::initializer_list<uint8_t> operands) {
  AvcFrame f{ctype, 0x20, 0x00, 0x00, 0x00, 0x85, static_cast<uint8_t>(set >> 8), static_cast<uint8_t>(set), code};
  for (uint8_t b : operands) f.bytes[f.length++] = b;
  return f;
}

uint8_t WriteThroughFrame(Camera& camera, storage::Address at, const std::string& path, std::vector<uint8_t> data,
                          std::string* stored) {
  uint8_t frame[storage::kWriteFileLength];
  storage::WriteRequest request;
  request.pathLength = static_cast<uint8_t>(path.size());
  request.firstLength = request.secondLength = static_cast<uint32_t>(data.size());
  request.firstFlag = 1;
  request.secondFlag = 0xFF;
  request.data = data.data();
  if (!storage::BuildWriteFile(frame, at, path, request)) return 0xFF;
  if (camera.StorageExchange(frame, sizeof frame, data.data(), static_cast<uint32_t>(data.size())) != 0) return 0xFF;
  if (stored != nullptr) *stored = reinterpret_cast<const char*>(frame + storage::write_file::kPath);
  return frame[1];
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s.push_back(' ');
    s.push_back(kHex[bytes[i] >> 4]);
    s.push_back(kHex[bytes[i] & 15]);
  }
  return s;
}

}  // namespace vcam::testing
