// Windows only: an owning reference to a COM interface.
#pragma once

#include <utility>

#include "platform/com.h"

namespace platform::win32 {

template <class T>
class ComRef {
 public:
  ComRef() = default;
  // Takes over a reference the caller already holds.
  explicit ComRef(T* p) : p_(p) {}
  ~ComRef() { Reset(); }
  ComRef(const ComRef& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComRef& operator=(ComRef other) {
    std::swap(p_, other.p_);
    return *this;
  }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For an out-parameter: releases the current reference first.
  T** out() {
    Reset();
    return &p_;
  }
  void** out_void() { return reinterpret_cast<void**>(out()); }

 private:
  T* p_ = nullptr;
};

}  // namespace platform::win32
