// The IUnknown shape every platform interface derives from, a reference
// counting helper for implementations, and an owning smart pointer.
#pragma once

#include <atomic>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define STDMETHOD_(type, name) virtual type STDMETHODCALLTYPE name

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects are destroyed through Release, never through delete.
  virtual ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

namespace vantrel {

// RefCounted<Impl, Interfaces...>: implements AddRef and Release with an
// atomic count that starts at 1 (the creator's reference), and a
// QueryInterface that answers IID_IUnknown and each listed interface whose
// type carries a static `kIID` member, and the interfaces those derive from
// (their `BaseInterface`). Impl may override QueryInterface to
// add more.
template <typename... Interfaces>
class RefCounted : public Interfaces... {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      (TryInterface<Interfaces>(riid, ppv) || ...);
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG RefCount() const { return refs_.load(); }

 protected:
  RefCounted() = default;
  ~RefCounted() override = default;

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
  template <typename I>
  bool TryInterface(REFIID riid, void** ppv) {
    return TryInterfaceOf<I>(static_cast<I*>(this), riid, ppv);
  }
  // An object of an interface is also one of the interface it derives
  // from (an IMessage is an IMAPIProp), as COM requires.
  template <typename I>
  static bool TryInterfaceOf(I* self, REFIID riid, void** ppv) {
    if constexpr (requires { I::kIID; }) {
      if (riid == I::kIID) {
        *ppv = self;
        return true;
      }
    }
    if constexpr (requires { typename I::BaseInterface; }) {
      return TryInterfaceOf<typename I::BaseInterface>(static_cast<typename I::BaseInterface*>(self), riid, ppv);
    }
    return false;
  }
  std::atomic<ULONG> refs_{1};
};

// ComPtr<T>: holds one reference. Attach adopts a reference the caller
// already owns; construction from a raw pointer adds one.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // For out-parameters: releases what is held and returns the slot.
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace vantrel
