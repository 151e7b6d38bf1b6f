// Reference-counted implementation of IUnknown for classes that implement one
// or more automation interfaces.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include "ole/comptr.h"

namespace ole {

template <class I, class = void>
struct InterfaceBase {
  using type = void;
};
template <class I>
struct InterfaceBase<I, std::void_t<typename I::Base>> {
  using type = typename I::Base;
};

// Answers QueryInterface for each interface of the list and its declared
// bases (an interface may name its base as `using Base = IDispatch;`), and for
// IUnknown. The count starts at one; MakeObject adopts that reference.
template <class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(static_cast<First*>(this));
    } else if (!(Find<First>(riid, out) || (Find<Rest>(riid, out) || ...))) {
      *out = QueryExtra(riid);
    }
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  // Further interface ids the object answers (a dispinterface served through
  // IDispatch, say); returns the interface pointer without adding a reference.
  virtual void* QueryExtra(REFIID) { return nullptr; }

 private:
  template <class I>
  bool Find(REFIID riid, void** out) {
    return FindIn<I, I>(riid, out);
  }
  template <class Iface, class Via>
  bool FindIn(REFIID riid, void** out) {
    if (riid == IidOf<Iface>()) {
      *out = static_cast<Iface*>(static_cast<Via*>(this));
      return true;
    }
    using B = typename InterfaceBase<Iface>::type;
    if constexpr (!std::is_void_v<B> && !std::is_same_v<B, IUnknown>) {
      return FindIn<B, Via>(riid, out);
    } else {
      return false;
    }
  }

  std::atomic<ULONG> refs_{1};
};

// Creates an object whose single reference the result owns.
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}

}  // namespace ole
