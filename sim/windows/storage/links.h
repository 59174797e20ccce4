// The virtual storage driver's camera links, as registration makes and
// removes them: one device per camera, behind the camera's "DevSymLink".
#pragma once

#include <windows.h>

#include <string>

namespace vcam::storage_driver {

// Owns a kernel handle; null and INVALID_HANDLE_VALUE both mean none.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~UniqueHandle() {
    if (valid()) CloseHandle(handle_);
  }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle& operator=(UniqueHandle&&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The driver's control device; not valid (its error in GetLastError) when
// the driver is not running in this prefix.
UniqueHandle OpenControlDevice();

// Gives the camera in `folder` a device behind `link` ("\??\vcamstor#...").
// S_OK; S_FALSE when the driver is not running in this prefix (nothing to
// do); or the driver's refusal as an HRESULT.
HRESULT AddLink(const std::wstring& link, const std::wstring& folder);

// Removes that camera's link: S_OK, S_FALSE (no driver, or no such link).
HRESULT RemoveLink(const std::wstring& link);

}  // namespace vcam::storage_driver
