// vcamstor_service.exe: answers the virtual storage driver's exchanges with
// the virtual camcorder, so a camera's storage under Wine is the same state
// folder, trace and scripted faults as on Linux. Each worker keeps one
// request pending on the driver's control device (its own handle: one
// exchange may wait for a transfer control frame that another worker
// answers), answers it and asks for the next. Runs until the driver goes.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "links.h"
#include "protocol.h"
#include "storage/frames.h"
#include "vcam/driver_exchange.h"
#include "vcam/vcam.h"

namespace {

namespace sf = storage;
using vcam::storage_driver::UniqueHandle;

constexpr int kWorkers = 4;
constexpr uint32_t kMaxArea = VCAMSTOR_MAX_EXCHANGE - sf::kMaxFrameLength;
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusDeviceBusy = static_cast<int32_t>(0x80000011u);
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001u);
constexpr int32_t kStatusAccessViolation = static_cast<int32_t>(0xC0000005u);
constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000Du);
constexpr int32_t kStatusDeviceRemoved = static_cast<int32_t>(0xC00002B6u);

// The camera's Win32 result as the driver's NTSTATUS (Windows maps it back).
int32_t ToStatus(int32_t result) {
  switch (result) {
    case 0: return kStatusSuccess;
    case vcam::kErrorBusy: return kStatusDeviceBusy;
    case vcam::kDeviceRemoved: return kStatusDeviceRemoved;
    case vcam::kErrorInvalidParameter: return kStatusInvalidParameter;
    default: return kStatusUnsuccessful;
  }
}

class Worker {
 public:
  explicit Worker(HANDLE control) : control_(control) {
    request_.resize(sizeof(vcamstor_request) + 64 * 1024);
  }

  // Serves until the driver ends the control handle.
  void Run() {
    for (;;) {
      DWORD got = 0;
      if (!DeviceIoControl(control_, VCAMSTOR_NEXT_REQUEST, nullptr, 0, request_.data(),
                           static_cast<DWORD>(request_.size()), &got, nullptr) ||
          got < sizeof(vcamstor_request))
        return;
      vcamstor_request header;
      std::memcpy(&header, request_.data(), sizeof header);
      int32_t status = kStatusUnsuccessful;
      uint32_t length = 0;
      if (Input(header, got)) status = Answer(header, length);
      SendAnswer(header.id, status, length);
    }
  }

 private:
  // The request's input bytes, from the request itself or fetched whole.
  bool Input(const vcamstor_request& header, DWORD got) {
    if (header.copied == header.inputLength && got >= sizeof header + header.copied) {
      input_ = request_.data() + sizeof header;
      return true;
    }
    fetched_.resize(header.inputLength);
    DWORD fetchedLength = 0;
    if (!DeviceIoControl(control_, VCAMSTOR_FETCH, const_cast<unsigned*>(&header.id), sizeof header.id,
                         fetched_.data(), static_cast<DWORD>(fetched_.size()), &fetchedLength, nullptr) ||
        fetchedLength != header.inputLength)
      return false;
    input_ = fetched_.data();
    return true;
  }

  // The camera is opened for each exchange and closed after it: Windows
  // keeps an open file's folder from being removed, and a camera deleted or
  // replaced between two exchanges must not answer from what was open.
  static std::unique_ptr<vcam::Camera> OpenCamera(const vcamstor_request& header) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(header.folder);
    try {
      return vcam::Camera::Open(std::filesystem::path(std::wstring(text, wcsnlen(text, VCAMSTOR_FOLDER_CHARS))));
    } catch (const std::exception&) {
      return nullptr;  // the camera is gone: its device answers as removed
    }
  }

  // Runs the exchange; the output (the frame, and what a read delivered into
  // its area beside it) is left in answer_ after the header, `length` bytes.
  // Only delivered bytes go back, so the rest of the sender's area keeps its
  // own bytes, as when the camera writes into it directly.
  int32_t Answer(const vcamstor_request& header, uint32_t& length) {
    vcam::DriverExchange split;
    if (vcam::SplitDriverExchange(input_, header.inputLength, header.outputLength, kMaxArea, split) != 0)
      return kStatusInvalidParameter;
    const std::unique_ptr<vcam::Camera> camera = OpenCamera(header);
    if (camera == nullptr) return kStatusDeviceRemoved;
    const bool beside = split.form == vcam::AreaForm::Beside;
    const uint32_t outputArea = beside && split.areaIsOutput ? split.areaLength : 0;
    answer_.resize(sizeof(vcamstor_answer) + split.frameLength + outputArea);
    uint8_t* frame = answer_.data() + sizeof(vcamstor_answer);
    std::memcpy(frame, input_, split.frameLength);
    uint8_t* area = nullptr;
    if (beside) {
      area = split.areaIsOutput ? frame + split.frameLength : const_cast<uint8_t*>(input_) + split.frameLength;
    } else if (split.form == vcam::AreaForm::Address) {
      remote_.assign(split.areaLength, 0);
      area = remote_.data();
      if (!ReadSender(header.process, split, area)) return kStatusAccessViolation;
    }
    const int32_t result = camera->StorageExchange(frame, split.frameLength, area, split.areaLength);
    if (result == 0 && split.form == vcam::AreaForm::Address && split.areaIsOutput &&
        !WriteSender(header.process, split, frame, area))
      return kStatusAccessViolation;
    length = split.frameLength + (result == 0 && outputArea > 0 ? Delivered(frame, outputArea) : 0);
    return ToStatus(result);
  }

  // A 32-bit sender's area: WriteFile's data is read from its memory.
  static bool ReadSender(uint32_t process, const vcam::DriverExchange& split, uint8_t* area) {
    if (split.areaIsOutput || split.areaLength == 0) return true;
    const UniqueHandle sender(OpenProcess(PROCESS_VM_READ, FALSE, process));
    SIZE_T done = 0;
    return sender.valid() &&
           ReadProcessMemory(sender.get(), reinterpret_cast<const void*>(static_cast<uintptr_t>(split.address)), area,
                             split.areaLength, &done) &&
           done == split.areaLength;
  }

  // What a read delivered, never more than its area (a camera may claim more).
  static uint32_t Delivered(const uint8_t* frame, uint32_t areaLength) {
    const size_t field = frame[sf::kOpcodeOffset] == static_cast<uint8_t>(sf::Opcode::ReadThumbnail)
                             ? sf::read_file::kThumbnailLength
                             : sf::read_file::kDelivered;
    return std::min(sf::GetBe32(frame + field), areaLength);
  }

  // A read's delivered bytes go back into the 32-bit sender's memory.
  static bool WriteSender(uint32_t process, const vcam::DriverExchange& split, const uint8_t* frame,
                          const uint8_t* area) {
    const uint32_t delivered = Delivered(frame, split.areaLength);
    if (delivered == 0) return true;
    const UniqueHandle sender(OpenProcess(PROCESS_VM_WRITE | PROCESS_VM_OPERATION, FALSE, process));
    SIZE_T done = 0;
    return sender.valid() &&
           WriteProcessMemory(sender.get(), reinterpret_cast<void*>(static_cast<uintptr_t>(split.address)), area,
                              delivered, &done) &&
           done == delivered;
  }

  void SendAnswer(uint32_t id, int32_t status, uint32_t length) {
    if (status != kStatusSuccess) length = 0;
    answer_.resize(sizeof(vcamstor_answer) + length);
    const vcamstor_answer head{id, status, length, 0};
    std::memcpy(answer_.data(), &head, sizeof head);
    DWORD returned = 0;
    // A sender that closed its handle meanwhile is gone: nothing to do.
    (void)DeviceIoControl(control_, VCAMSTOR_ANSWER, answer_.data(), static_cast<DWORD>(answer_.size()), nullptr, 0,
                          &returned, nullptr);
  }

  HANDLE control_;
  std::vector<uint8_t> request_;
  std::vector<uint8_t> fetched_;
  std::vector<uint8_t> answer_;
  std::vector<uint8_t> remote_;
  const uint8_t* input_ = nullptr;
};

class ServiceManagerHandle {
 public:
  explicit ServiceManagerHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceManagerHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceManagerHandle(const ServiceManagerHandle&) = delete;
  ServiceManagerHandle& operator=(const ServiceManagerHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

// Starts the driver's kernel service "vcamstor" unless it runs. Wine ends a
// driver soon after the last process of the prefix, so the service, which
// lives as long as it is needed, starts it rather than the script.
void StartDriver() {
  const ServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return;
  const ServiceManagerHandle driver(OpenServiceW(manager.get(), L"vcamstor", SERVICE_START));
  if (driver.get() != nullptr) (void)StartServiceW(driver.get(), 0, nullptr);
}

}  // namespace

int wmain() {
  StartDriver();
  // The driver's control device appears once its host has loaded it.
  for (int i = 0; i < 100; ++i) {
    if (vcam::storage_driver::OpenControlDevice().valid()) break;
    Sleep(100);
  }
  std::vector<UniqueHandle> controls;
  for (int i = 0; i < kWorkers; ++i) {
    UniqueHandle control = vcam::storage_driver::OpenControlDevice();
    DWORD returned = 0;
    if (!control.valid() ||
        !DeviceIoControl(control.get(), VCAMSTOR_ATTACH, nullptr, 0, nullptr, 0, &returned, nullptr)) {
      std::fprintf(stderr, "vcamstor_service: the virtual storage driver is not running (error %lu)\n",
                   static_cast<unsigned long>(GetLastError()));
      return 1;
    }
    controls.push_back(std::move(control));
  }
  std::printf("vcamstor_service: serving\n");
  std::fflush(stdout);
  std::vector<std::thread> workers;
  for (const auto& control : controls) {
    workers.emplace_back([handle = control.get()] { Worker(handle).Run(); });
  }
  for (std::thread& worker : workers) worker.join();
  return 0;
}
