// The virtual storage driver's camera links, as registration makes and
// removes them: one device per camera, behind the camera's "DevSymLink".
#pragma once

#include <windows.h>

#include <string>

namespace vcam::storage_driver {

// The driver's control device, or INVALID_HANDLE_VALUE (its error in
// GetLastError) when the driver is not running in this prefix.
HANDLE OpenControlDevice();

// Gives the camera in `folder` a device behind `link` ("\??\vcamstor#...").
// S_OK; S_FALSE when the driver is not running in this prefix (nothing to
// do); or the driver's refusal as an HRESULT.
HRESULT AddLink(const std::wstring& link, const std::wstring& folder);

// Removes that camera's link: S_OK, S_FALSE (no driver, or no such link).
HRESULT RemoveLink(const std::wstring& link);

}  // namespace vcam::storage_driver
