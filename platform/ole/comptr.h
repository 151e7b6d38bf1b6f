// ComPtr: owns one reference to an interface, in the manner of WRL's ComPtr.
#pragma once

#include <cassert>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "ole/interfaces.h"

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Adds a reference to p.
  ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(const ComPtr<U>& o) : ComPtr(o.Get()) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference that the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }

  T* Get() const { return p_; }
  T* operator->() const {
    assert(p_);
    return p_;
  }
  explicit operator bool() const { return p_ != nullptr; }

  // The slot for an out parameter; releases what was held.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  T** GetAddressOf() {
    assert(!p_ && "GetAddressOf on a ComPtr that holds a reference would leak it");
    return &p_;
  }
  void** PpvOut() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  // Hands out a new reference.
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(IidOf<U>(), out->PpvOut());
  }
  template <class U>
  ComPtr<U> As() const {
    ComPtr<U> r;
    if (p_) p_->QueryInterface(IidOf<U>(), r.PpvOut());
    return r;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// The current reference count of an object (AddRef then Release), for tests.
inline ULONG RefCountOf(IUnknown* p) {
  p->AddRef();
  return p->Release();
}
