#include "links.h"

#include <cwchar>

#include "protocol.h"

namespace vcam::storage_driver {

UniqueHandle OpenControlDevice() {
  return UniqueHandle(CreateFileW(VCAMSTOR_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

namespace {

bool Fill(unsigned short* field, size_t capacity, const std::wstring& text) {
  if (text.size() >= capacity) return false;
  std::wmemcpy(reinterpret_cast<wchar_t*>(field), text.c_str(), text.size() + 1);
  return true;
}

HRESULT Send(DWORD code, const std::wstring& link, const std::wstring& folder) {
  const UniqueHandle control = OpenControlDevice();
  if (!control.valid()) return S_FALSE;
  vcamstor_camera camera{};
  if (!Fill(camera.link, VCAMSTOR_LINK_CHARS, link) || !Fill(camera.folder, VCAMSTOR_FOLDER_CHARS, folder))
    return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  ULONG index = 0;
  DWORD returned = 0;
  if (DeviceIoControl(control.get(), code, &camera, sizeof camera, &index, sizeof index, &returned, nullptr)) return S_OK;
  const DWORD error = GetLastError();
  if (code == VCAMSTOR_REMOVE_CAMERA && error == ERROR_FILE_NOT_FOUND) return S_FALSE;
  return HRESULT_FROM_WIN32(error);
}

}  // namespace

HRESULT AddLink(const std::wstring& link, const std::wstring& folder) {
  return Send(VCAMSTOR_ADD_CAMERA, link, folder);
}

HRESULT RemoveLink(const std::wstring& link) { return Send(VCAMSTOR_REMOVE_CAMERA, link, L"-"); }

}  // namespace vcam::storage_driver
