// An owning reference to a COM interface, and an owning COM string.
#pragma once

#include <utility>

#include "platform/com.h"

namespace presets {

template <class I>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  void Reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  // For an out-parameter; releases what was held.
  I** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  I* Get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  I* p_ = nullptr;
};

class ComBstr {
 public:
  ComBstr() = default;
  explicit ComBstr(platform::ComStringView text)
      : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~ComBstr() { ::SysFreeString(value_); }
  ComBstr(const ComBstr&) = delete;
  ComBstr& operator=(const ComBstr&) = delete;
  BSTR Get() const { return value_; }
  BSTR* Out() {
    ::SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  platform::ComString Text() const {
    return value_ ? platform::ComString(value_, ::SysStringLen(value_)) : platform::ComString();
  }

 private:
  BSTR value_ = nullptr;
};

}  // namespace presets
