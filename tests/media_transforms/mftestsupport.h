// Helpers for tests that run real Media Foundation buffers and samples (under Wine).
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>

#include <cstdint>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder::Testing {

// A memory buffer holding `bytes` (current length = their size).
ComPtr<IMFMediaBuffer> MakeBuffer(const std::vector<uint8_t>& bytes);
// A sample with one such buffer and the given timing in 100-ns units.
ComPtr<IMFSample> MakeSample(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration);
// The bytes of a buffer's current length.
std::vector<uint8_t> ReadBuffer(IMFMediaBuffer* buffer);
// The bytes of a sample (all buffers, in order); empty for a sample without buffers.
std::vector<uint8_t> ReadSample(IMFSample* sample);

// A media buffer that counts locks and can refuse them, to see what a caller does with either.
// Lives on the test's stack; reference counting is tracked but never deletes.
class FakeBuffer : public IMFMediaBuffer {
 public:
  explicit FakeBuffer(DWORD max_length, DWORD current_length);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override;
  HRESULT STDMETHODCALLTYPE Unlock() override;
  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* length) override;
  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD length) override;
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override;

  bool refuse_lock = false;
  int locks = 0;
  int unlocks = 0;
  ULONG refs() const { return refs_; }

 private:
  std::vector<BYTE> bytes_;
  DWORD current_length_;
  ULONG refs_ = 1;
};

}  // namespace VellRecorder::Testing
