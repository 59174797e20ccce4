// Identity of the test server's one class and its interface.
#pragma once

#include "platform/com.h"

// {5B0E6F52-1C7D-4C43-9A57-2E1E3B7C9D01}
inline constexpr CLSID CLSID_TestValue = {0x5B0E6F52, 0x1C7D, 0x4C43, {0x9A, 0x57, 0x2E, 0x1E, 0x3B, 0x7C, 0x9D, 0x01}};
// {5B0E6F53-1C7D-4C43-9A57-2E1E3B7C9D01}
inline constexpr IID IID_ITestValue = {0x5B0E6F53, 0x1C7D, 0x4C43, {0x9A, 0x57, 0x2E, 0x1E, 0x3B, 0x7C, 0x9D, 0x01}};
inline constexpr const char16_t* kTestProgId = u"HostCom.TestValue";
inline constexpr LONG kTestValue = 4242;

struct ITestValue : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetValue(LONG* value) = 0;
};
