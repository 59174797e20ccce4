// The virtual DV camera's DirectShow capture filter: the class, its creation,
// the module's object count and the registration of the virtual camcorder's
// cameras in the video input category.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace vcam::dshow {

// {8639C7AC-14E0-4859-B8DC-645EDD2DFA3E}
inline constexpr CLSID kClsidVirtualDvCamera = {
    0x8639C7AC, 0x14E0, 0x4859, {0xB8, 0xDC, 0x64, 0x5E, 0xDD, 0x2D, 0xFA, 0x3E}};
inline constexpr wchar_t kClsidText[] = L"{8639C7AC-14E0-4859-B8DC-645EDD2DFA3E}";

// The property bag value naming the camera's state directory.
inline constexpr wchar_t kFolderValue[] = L"VcamFolder";

// Creates a filter (not yet bound to a camera: IPersistPropertyBag::Load does
// that) and queries it for riid.
HRESULT CreateFilter(IUnknown* outer, REFIID riid, void** ppv);

// UTF-8 (the camera's identity file) to UTF-16; empty when not valid UTF-8.
std::wstring Widen(const std::string& text);

// Live objects and server locks: the module may unload when this is zero.
void LockModule() noexcept;
void UnlockModule() noexcept;
long ModuleLocks() noexcept;

// Registers the class and one video input device per camera of the virtual
// camcorder's root (replacing what an earlier registration wrote).
HRESULT RegisterServer(HMODULE module);
// Removes the class and every device this server registered.
HRESULT UnregisterServer();

}  // namespace vcam::dshow
