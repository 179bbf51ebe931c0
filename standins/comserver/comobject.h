// The IUnknown of every stand-in COM object: a reference count and QueryInterface over the interfaces listed.
// A class derives from ComObject<I1, I2, ...>, implements the interfaces' own methods and is created with new
// (the count starts at 1, so the creator owns the first reference).
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <tuple>

namespace VellStandin {

template <typename... Interfaces>
class ComObject : public Interfaces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = Find(riid);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  // Interfaces answered besides IUnknown and the listed ones, e.g. a listed interface's base (which cannot be
  // listed too without a second copy of it).
  virtual void* QueryOther(REFIID) { return nullptr; }

 private:
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

  void* Find(REFIID riid) {
    if (riid == IID_IUnknown) return static_cast<First*>(this);
    void* found = nullptr;
    ((found = found ? found : (riid == __uuidof(Interfaces) ? static_cast<Interfaces*>(this) : nullptr)), ...);
    return found ? found : QueryOther(riid);
  }

  LONG refs_ = 1;
};

}  // namespace VellStandin
