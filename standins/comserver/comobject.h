// IUnknown for the stand-ins' COM objects, written once: a class lists the interfaces it answers and gets
// QueryInterface, and either a reference count of its own (ComObject) or its owner's (ComPart, for an object
// that lives inside another, as a filter's pin does). Counts are atomic: callers such as media sessions take
// and drop references on threads of their own.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace VellStandin {

template <typename First, typename... Rest>
class ComInterfaces : public First, public Rest... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = Find(riid);
    if (!*object) return E_NOINTERFACE;
    static_cast<First*>(this)->AddRef();  // any base reaches the one count
    return S_OK;
  }

 protected:
  ComInterfaces() = default;
  virtual ~ComInterfaces() = default;

  // The pointer that answers `riid` (IUnknown: the first interface listed), or null. A class overrides it to
  // answer for an ancestor of a listed interface or to refuse one it lacks in some variant, and asks this one
  // for the rest.
  virtual void* Find(REFIID riid) {
    if (riid == IID_IUnknown) return static_cast<First*>(this);
    return FindListed<First, Rest...>(riid);
  }

 private:
  template <typename Interface, typename... Others>
  void* FindListed(REFIID riid) {
    if (riid == __uuidof(Interface)) return static_cast<Interface*>(this);
    if constexpr (sizeof...(Others) > 0) {
      return FindListed<Others...>(riid);
    } else {
      return nullptr;
    }
  }
};

// An object that is deleted when its last reference goes.
template <typename... Interfaces>
class ComObject : public ComInterfaces<Interfaces...> {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// An object inside `owner` that shares the owner's count: a reference to it keeps the owner alive.
template <typename... Interfaces>
class ComPart : public ComInterfaces<Interfaces...> {
 public:
  explicit ComPart(IUnknown* owner) : owner_(owner) {}
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

 private:
  IUnknown* const owner_;  // not counted: the owner holds this object
};

// The end of a stand-in's Create: the new object (null when allocation failed) is handed out as `riid` when
// its set-up (`ready`) succeeded; the creator's own reference is dropped either way.
template <typename Object>
HRESULT HandOut(Object* created, HRESULT ready, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!created) return E_OUTOFMEMORY;
  if (SUCCEEDED(ready)) ready = created->QueryInterface(riid, object);
  created->Release();
  return ready;
}

}  // namespace VellStandin
