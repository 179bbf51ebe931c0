// IEnumPins and IEnumMediaTypes over a fixed number of items, each made when handed out.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <functional>
#include <new>

#include "comserver/comobject.h"

namespace VellStandin {

template <typename Interface, typename Item>
class IndexEnumerator : public ComObject<Interface> {
 public:
  using Make = std::function<Item(ULONG index)>;  // a new reference or allocation per call

  static Interface* Create(ULONG count, Make make, IUnknown* owner, ULONG position = 0) {
    return new (std::nothrow) IndexEnumerator(count, std::move(make), owner, position);
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, Item* items, ULONG* fetched) override {
    if (!items || (wanted > 1 && !fetched)) return E_POINTER;
    ULONG done = 0;
    while (done < wanted && position_ < count_) {
      items[done] = make_(position_);
      if (!items[done]) break;
      ++done;
      ++position_;
    }
    if (fetched) *fetched = done;
    return done == wanted ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG skipped) override {
    position_ = skipped > count_ - position_ ? count_ : position_ + skipped;
    return position_ < count_ ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** copy) override {
    if (!copy) return E_POINTER;
    *copy = Create(count_, make_, owner_, position_);
    return *copy ? S_OK : E_OUTOFMEMORY;
  }

 private:
  IndexEnumerator(ULONG count, Make make, IUnknown* owner, ULONG position)
      : count_(count), make_(std::move(make)), owner_(owner), position_(position) {
    owner_->AddRef();
  }
  ~IndexEnumerator() override { owner_->Release(); }

  const ULONG count_;
  const Make make_;
  IUnknown* const owner_;  // counted: keeps what make_ refers to alive
  ULONG position_;         // one caller at a time, as enumerators are used
};

}  // namespace VellStandin
