// The virtual storage driver under Wine, on a camera of a temporary root that
// this program links to the running driver: both data-area forms carry the
// same bytes as the camera's files, bad exchanges get a clear answer, a
// removed or unplugged camera fails as on Linux. With --bench it prints the
// median of one storage exchange over 1,000 instead.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/storage_driver.h"
#include "storage/frames.h"
#include "storage/links.h"
#include "vcam/vcam.h"

namespace {

namespace fs = std::filesystem;
namespace sf = storage;

constexpr char kImage[] = "\\DCIM\\100KV7\\IMG_0001.JPG";

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::vector<uint8_t> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Memory below 4 GB, as a 32-bit sender's area would be.
class LowArea {
 public:
  explicit LowArea(size_t size) {
    for (uintptr_t at = 0x20000000; at < 0x70000000 && memory_ == nullptr; at += 0x01000000) {
      memory_ = static_cast<uint8_t*>(
          VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
  }
  ~LowArea() {
    if (memory_ != nullptr) VirtualFree(memory_, 0, MEM_RELEASE);
  }
  LowArea(const LowArea&) = delete;
  LowArea& operator=(const LowArea&) = delete;
  uint8_t* get() const { return memory_; }
  uint32_t address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory_)); }

 private:
  uint8_t* memory_ = nullptr;
};

class DriverCamera {
 public:
  DriverCamera() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = fs::path(temp) / (L"vcamstor-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64()));
    fs::create_directories(root_);
    camera_ = vcam::CreateCamera(root_, "cam", vcam::CameraOptions{});
    link_ = Widen(camera_->identity().devSymLink);
    linked_ = vcam::storage_driver::AddLink(link_, camera_->dir().wstring());
    identity_ = camera_->ReadState().media[0].identity;
  }
  ~DriverCamera() {
    (void)vcam::storage_driver::RemoveLink(link_);
    camera_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  DriverCamera(const DriverCamera&) = delete;
  DriverCamera& operator=(const DriverCamera&) = delete;

  HRESULT linked() const { return linked_; }
  vcam::Camera& camera() { return *camera_; }
  const std::wstring& link() const { return link_; }
  // The link as a program opens it: "\\?\..." for "\??\...".
  std::wstring OpenPath() const {
    std::wstring path = link_;
    path[1] = L'\\';
    return path;
  }
  sf::Address MediumZero() const { return sf::Address{0, 0, identity_}; }
  fs::path FileOnMedium(const char* path) const {
    std::string relative(path + 1);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return camera_->VolumeDir(0, 0) / relative;
  }
  bool RemoveLink() { return vcam::storage_driver::RemoveLink(link_) == S_OK; }
  // Deletes the camera's folder, as `vcam delete` does (this process's own
  // handle on it is closed first: Windows keeps an open folder).
  void DeleteFolder() {
    camera_.reset();
    vcam::DeleteCamera(root_, "cam");
  }

 private:
  fs::path root_;
  std::unique_ptr<vcam::Camera> camera_;
  std::wstring link_;
  HRESULT linked_ = E_FAIL;
  uint8_t identity_ = 0;
};

class RawHandle {
 public:
  explicit RawHandle(const std::wstring& path)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr)) {}
  ~RawHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  RawHandle(const RawHandle&) = delete;
  RawHandle& operator=(const RawHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

  // 0 or the Win32 error of one exchange under `code`.
  DWORD Exchange(void* in, DWORD inLength, void* out, DWORD outLength, DWORD code = sf::kStorageControlCode) {
    DWORD returned = 0;
    return DeviceIoControl(handle_, code, in, inLength, out, outLength, &returned, nullptr) ? 0 : GetLastError();
  }

 private:
  HANDLE handle_;
};

class StorageDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(camera_.linked(), S_OK) << "the virtual storage driver is not running"; }
  DriverCamera camera_;
};

enum class Form { Beside, Address };
struct AreaCase {
  const char* name;
  sf::Opcode opcode;
  Form form;
};

class AreaFormTest : public StorageDriverTest, public testing::WithParamInterface<AreaCase> {};

// The same exchange in either form reaches the same bytes: a read delivers
// the camera's file (or its thumbnail), a write stores the sender's bytes.
TEST_P(AreaFormTest, CarriesTheCamerasBytes) {
  const AreaCase& c = GetParam();
  const bool write = c.opcode == sf::Opcode::WriteFile;
  const fs::path file = camera_.FileOnMedium(write ? "\\DCIM\\MISC\\UPLOAD.BIN" : kImage);
  const fs::path expectedFile = c.opcode == sf::Opcode::ReadThumbnail ? fs::path(file).replace_extension(".THM") : file;
  std::vector<uint8_t> expected = write ? std::vector<uint8_t>(5000) : FileBytes(expectedFile);
  for (size_t i = 0; write && i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_FALSE(expected.empty());
  const uint32_t areaSize = c.opcode == sf::Opcode::ReadThumbnail ? sf::kTransferAreaSize
                                                                  : static_cast<uint32_t>(expected.size());

  LowArea low(areaSize);
  std::vector<uint8_t> high(areaSize, 0xEE);
  uint8_t* area = c.form == Form::Address ? low.get() : high.data();
  ASSERT_NE(area, nullptr) << "no memory below 4 GB";
  if (write) std::memcpy(area, expected.data(), expected.size());

  std::vector<uint8_t> frame(sf::kMaxFrameLength, 0);
  switch (c.opcode) {
    case sf::Opcode::ReadThumbnail:
      ASSERT_TRUE(sf::BuildReadThumbnail(frame, camera_.MediumZero(), kImage, area));
      break;
    case sf::Opcode::ReadFile:
      ASSERT_TRUE(sf::BuildReadFile(frame, camera_.MediumZero(), kImage, areaSize, areaSize, area));
      break;
    default: {
      sf::WriteRequest request;
      request.firstLength = areaSize;
      request.data = area;
      ASSERT_TRUE(sf::BuildWriteFile(frame, camera_.MediumZero(), "\\DCIM\\MISC\\UPLOAD.BIN", request));
    }
  }
  const uint32_t frameLength = sf::FrameLength(static_cast<uint8_t>(c.opcode));
  if (c.form == Form::Address) {
    // The 32-bit layout: the address in the frame, the area nowhere else.
    sf::PutBe32(frame.data() + sf::read_file::kAddress, low.address());
    RawHandle raw(camera_.OpenPath());
    ASSERT_NE(raw.get(), INVALID_HANDLE_VALUE);
    ASSERT_EQ(raw.Exchange(frame.data(), frameLength, frame.data(), frameLength), 0u);
  } else {
    // The library's own transport, which puts the area beside the frame.
    std::unique_ptr<platform::StorageDriverHandle> handle;
    ASSERT_EQ(platform::OpenStorageDriver(platform::ComString(camera_.OpenPath()), handle), 0);
    EXPECT_EQ(sf::GetBe32(frame.data() + sf::read_file::kAddress), 0u);
    ASSERT_EQ(handle->Exchange(frame.data(), frameLength, area, areaSize), 0);
  }
  ASSERT_EQ(frame[sf::kStatusOffset], sf::kStatusOk);
  if (write) {
    EXPECT_EQ(FileBytes(file), expected);
    return;
  }
  const size_t field = c.opcode == sf::Opcode::ReadThumbnail ? sf::read_file::kThumbnailLength : sf::read_file::kDelivered;
  ASSERT_EQ(sf::GetBe32(frame.data() + field), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), area));
  // Nothing past what was delivered was touched.
  if (expected.size() < areaSize) {
    EXPECT_EQ(area[expected.size()], c.form == Form::Address ? 0 : 0xEE);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothForms, AreaFormTest,
    testing::Values(AreaCase{"ReadFileBeside", sf::Opcode::ReadFile, Form::Beside},
                    AreaCase{"ReadFileAtAddress", sf::Opcode::ReadFile, Form::Address},
                    AreaCase{"ReadThumbnailBeside", sf::Opcode::ReadThumbnail, Form::Beside},
                    AreaCase{"ReadThumbnailAtAddress", sf::Opcode::ReadThumbnail, Form::Address},
                    AreaCase{"WriteFileBeside", sf::Opcode::WriteFile, Form::Beside},
                    AreaCase{"WriteFileAtAddress", sf::Opcode::WriteFile, Form::Address}),
    [](const testing::TestParamInfo<AreaCase>& param) { return std::string(param.param.name); });

struct BadCase {
  const char* name;
  uint8_t opcode;
  DWORD inLength;
  DWORD outLength;
  uint32_t address;       // written at bytes 272-275 when the frame is that long
  uint32_t writeLength;   // WriteFile's length field
  DWORD code;
  DWORD error;            // the exchange's Win32 error, or 0
  uint8_t status;         // the frame's status byte when error is 0
};

constexpr uint8_t kListDirectory = static_cast<uint8_t>(sf::Opcode::ListDirectory);
constexpr uint8_t kWriteFile = static_cast<uint8_t>(sf::Opcode::WriteFile);
constexpr uint8_t kReadFile = static_cast<uint8_t>(sf::Opcode::ReadFile);

class BadExchangeTest : public StorageDriverTest, public testing::WithParamInterface<BadCase> {};

// Each malformed exchange ends with a clear error or status; the driver and
// its service go on answering the next one.
TEST_P(BadExchangeTest, GetsAClearAnswer) {
  const BadCase& c = GetParam();
  RawHandle raw(camera_.OpenPath());
  ASSERT_NE(raw.get(), INVALID_HANDLE_VALUE);
  std::vector<uint8_t> buffer(4096, 0);
  buffer[0] = c.opcode;
  if (c.opcode == kWriteFile) {
    sf::WriteRequest request;
    request.firstLength = c.writeLength;
    ASSERT_TRUE(sf::BuildWriteFile(buffer, camera_.MediumZero(), "\\DCIM\\MISC\\LIAR.BIN", request));
  } else if (c.opcode == kReadFile) {
    ASSERT_TRUE(sf::BuildReadFile(buffer, camera_.MediumZero(), kImage, 64, 64, nullptr));
  }
  sf::PutBe32(buffer.data() + sf::read_file::kAddress, c.address);
  EXPECT_EQ(raw.Exchange(buffer.data(), c.inLength, buffer.data(), c.outLength, c.code), c.error);
  if (c.error == 0) {
    EXPECT_EQ(buffer[sf::kStatusOffset], c.status);
  }
  EXPECT_FALSE(fs::exists(camera_.FileOnMedium("\\DCIM\\MISC\\LIAR.BIN")));

  uint8_t query[sf::kQueryModeLength] = {};
  ASSERT_TRUE(sf::BuildQueryMode(query));
  EXPECT_EQ(raw.Exchange(query, sizeof query, query, sizeof query), 0u);
  EXPECT_EQ(query[sf::query_mode::kMode], sf::query_mode::kModeStorage);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadExchangeTest,
    testing::Values(
        BadCase{"ZeroLength", kListDirectory, 0, 100, 0, 0, sf::kStorageControlCode, ERROR_INVALID_PARAMETER, 0},
        BadCase{"NoRoomForTheAnswer", kListDirectory, 100, 0, 0, 0, sf::kStorageControlCode, ERROR_INVALID_PARAMETER, 0},
        BadCase{"OneByte", kListDirectory, 1, 1, 0, 0, sf::kStorageControlCode, ERROR_INVALID_PARAMETER, 0},
        BadCase{"ShorterThanItsKind", kListDirectory, 100, 100, 0, 0, sf::kStorageControlCode, 0,
                sf::kStatusInvalidParameter},
        BadCase{"LongerThanAnyFrame", kListDirectory, sf::kMaxFrameLength + 1, sf::kMaxFrameLength + 1, 0, 0,
                sf::kStorageControlCode, ERROR_INVALID_PARAMETER, 0},
        BadCase{"UnknownKind", 0x7E, 40, 40, 0, 0, sf::kStorageControlCode, 0, sf::kStatusInvalidParameter},
        BadCase{"WriteLengthLongerThanItsArea", kWriteFile, sf::kWriteFileLength + 10, sf::kWriteFileLength, 0, 1000,
                sf::kStorageControlCode, 0, sf::kStatusInvalidParameter},
        BadCase{"AddressAndAreaBeside", kReadFile, sf::kReadFileLength, sf::kReadFileLength + 64, 0x20000000, 0,
                sf::kStorageControlCode, ERROR_INVALID_PARAMETER, 0},
        BadCase{"AddressOfNothing", kWriteFile, sf::kWriteFileLength, sf::kWriteFileLength, 0x00001000, 64,
                sf::kStorageControlCode, ERROR_NOACCESS, 0},
        BadCase{"OtherControlCode", kListDirectory, 100, 100, 0, 0, 0x222407, ERROR_INVALID_FUNCTION, 0}),
    [](const testing::TestParamInfo<BadCase>& param) { return std::string(param.param.name); });

// An unplugged camera's exchanges fail with "device removed" until it is
// plugged in again; a camera whose link was removed fails the same way on a
// handle still open, and cannot be opened again.
TEST_F(StorageDriverTest, UnpluggedOrRemovedCamerasFailAsOnLinux) {
  std::unique_ptr<platform::StorageDriverHandle> handle;
  ASSERT_EQ(platform::OpenStorageDriver(platform::ComString(camera_.OpenPath()), handle), 0);
  uint8_t query[sf::kQueryModeLength] = {};
  auto exchange = [&] {
    sf::BuildQueryMode(query);
    return handle->Exchange(query, sizeof query, nullptr, 0);
  };
  EXPECT_EQ(exchange(), 0);
  camera_.camera().SetPlugged(false);
  EXPECT_EQ(exchange(), ERROR_DEVICE_REMOVED);
  camera_.camera().SetPlugged(true);
  EXPECT_EQ(exchange(), 0);
  ASSERT_TRUE(camera_.RemoveLink());
  EXPECT_EQ(exchange(), ERROR_DEVICE_REMOVED);
  std::unique_ptr<platform::StorageDriverHandle> again;
  EXPECT_EQ(platform::OpenStorageDriver(platform::ComString(camera_.OpenPath()), again), ERROR_FILE_NOT_FOUND);
}

// A camera whose folder is deleted while its device is open answers as an
// unplugged one.
TEST_F(StorageDriverTest, ACameraDeletedWhileOpenAnswersAsRemoved) {
  RawHandle raw(camera_.OpenPath());
  ASSERT_NE(raw.get(), INVALID_HANDLE_VALUE);
  uint8_t query[sf::kQueryModeLength] = {};
  ASSERT_TRUE(sf::BuildQueryMode(query));
  ASSERT_EQ(raw.Exchange(query, sizeof query, query, sizeof query), 0u);
  camera_.DeleteFolder();
  EXPECT_EQ(raw.Exchange(query, sizeof query, query, sizeof query), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
}

// A handle closed while its exchange waits in the camera (a long read that
// waits for a transfer control frame that never comes) ends that exchange
// within the camera's wait, and the driver goes on answering other handles.
TEST_F(StorageDriverTest, AHandleClosedWithAnExchangePendingEndsIt) {
  camera_.camera().Modify([](vcam::State& s) {
    s.chunkSize = 4096;
    s.chunkWait = 1;
    s.chunkWaitMs = 3000;
  });
  RawHandle raw(camera_.OpenPath());
  ASSERT_NE(raw.get(), INVALID_HANDLE_VALUE);
  const HANDLE handle = raw.get();
  LowArea area(65536);
  ASSERT_NE(area.get(), nullptr);
  std::vector<uint8_t> frame(sf::kReadFileLength, 0);
  ASSERT_TRUE(sf::BuildReadFile(frame, camera_.MediumZero(), kImage, 65536, 65536, nullptr));
  sf::PutBe32(frame.data() + sf::read_file::kAddress, area.address());
  DWORD error = 0xFFFFFFFFu;
  const ULONGLONG started = GetTickCount64();
  std::thread reader([&] {
    DWORD returned = 0;
    error = DeviceIoControl(handle, sf::kStorageControlCode, frame.data(), sf::kReadFileLength, frame.data(),
                            sf::kReadFileLength, &returned, nullptr)
                ? 0
                : GetLastError();
  });
  Sleep(500);
  CloseHandle(raw.release());
  reader.join();
  EXPECT_LT(GetTickCount64() - started, 10000u);
  EXPECT_TRUE(error == ERROR_OPERATION_ABORTED || error == ERROR_DEVICE_REMOVED || error == ERROR_INVALID_HANDLE)
      << error;
  camera_.camera().Modify([](vcam::State& s) { s.chunkWait = 0; });
  RawHandle again(camera_.OpenPath());
  uint8_t query[sf::kQueryModeLength] = {};
  ASSERT_TRUE(sf::BuildQueryMode(query));
  EXPECT_EQ(again.Exchange(query, sizeof query, query, sizeof query), 0u);
}

// The median of `rounds` exchanges of one frame, in microseconds.
template <class Exchange>
double MedianMicroseconds(int rounds, Exchange exchange) {
  std::vector<double> times;
  times.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!exchange()) return -1;
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

int Bench() {
  DriverCamera camera;
  if (camera.linked() != S_OK) {
    std::fprintf(stderr, "the virtual storage driver is not running\n");
    return 1;
  }
  std::unique_ptr<platform::StorageDriverHandle> handle;
  if (platform::OpenStorageDriver(platform::ComString(camera.OpenPath()), handle) != 0) return 1;
  std::vector<uint8_t> area(sf::kTransferAreaSize);
  const double query = MedianMicroseconds(1000, [&] {
    uint8_t frame[sf::kQueryModeLength] = {};
    sf::BuildQueryMode(frame);
    return handle->Exchange(frame, sizeof frame, nullptr, 0) == 0;
  });
  const double read = MedianMicroseconds(1000, [&] {
    uint8_t frame[sf::kReadFileLength] = {};
    sf::BuildReadFile(frame, camera.MediumZero(), kImage, sf::kTransferAreaSize, sf::kTransferAreaSize, area.data());
    return handle->Exchange(frame, sizeof frame, area.data(), sf::kTransferAreaSize) == 0 &&
           frame[sf::kStatusOffset] == sf::kStatusOk;
  });
  // The same frame answered by the camcorder in this process: what the
  // camera's files cost under Wine, without the driver and its service.
  const double direct = MedianMicroseconds(1000, [&] {
    uint8_t frame[sf::kQueryModeLength] = {};
    sf::BuildQueryMode(frame);
    return camera.camera().StorageExchange(frame, sizeof frame, nullptr, 0) == 0;
  });
  std::printf("storage exchange through the virtual storage driver, median of 1000:\n");
  std::printf("  QueryMode (2 bytes)         %8.1f us\n", query);
  std::printf("  ReadFile of 32 KiB          %8.1f us\n", read);
  std::printf("the camcorder alone in this process:\n");
  std::printf("  QueryMode (2 bytes)         %8.1f us\n", direct);
  return query < 0 || read < 0 || direct < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--bench") == 0) return Bench();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
