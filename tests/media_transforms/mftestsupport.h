// Helpers for tests that run real Media Foundation buffers and samples (under Wine). Including this header
// starts COM and Media Foundation around the test program.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder::Testing {

class MediaFoundationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  }
  void TearDown() override {
    MFShutdown();
    CoUninitialize();
  }
};
// One registration per program, however many files include this.
inline ::testing::Environment* const kMediaFoundationEnvironment =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

// A memory buffer holding `bytes` (current length = their size).
inline ComPtr<IMFMediaBuffer> MakeBuffer(const std::vector<uint8_t>& bytes) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.ReleaseAndGetAddressOf()), S_OK);
  BYTE* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  return buffer;
}

// A sample with one such buffer and the given timing in 100-ns units.
inline ComPtr<IMFSample> MakeSample(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration) {
  ComPtr<IMFSample> sample;
  EXPECT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(sample->AddBuffer(MakeBuffer(bytes).Get()), S_OK);
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}

// The bytes of a buffer's current length.
inline std::vector<uint8_t> ReadBuffer(IMFMediaBuffer* buffer) {
  BYTE* data = nullptr;
  DWORD length = 0;
  EXPECT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
  std::vector<uint8_t> bytes(data, data + length);
  buffer->Unlock();
  return bytes;
}

// The bytes of a sample (all buffers, in order).
inline std::vector<uint8_t> ReadSample(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(sample->ConvertToContiguousBuffer(buffer.ReleaseAndGetAddressOf()), S_OK);
  return buffer ? ReadBuffer(buffer.Get()) : std::vector<uint8_t>{};
}

// A media buffer that counts locks and can refuse them, to see what a caller does with either.
// Lives on the test's stack; reference counting is tracked but never deletes.
class FakeBuffer : public IMFMediaBuffer {
 public:
  FakeBuffer(DWORD max_length, DWORD current_length) : bytes_(max_length), current_length_(current_length) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    const bool known = riid == IID_IUnknown || riid == IID_IMFMediaBuffer;
    *object = known ? static_cast<IMFMediaBuffer*>(this) : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override {
    if (refuse_lock) return E_ACCESSDENIED;
    ++locks;
    *data = bytes_.data();
    if (max_length) *max_length = static_cast<DWORD>(bytes_.size());
    if (current_length) *current_length = current_length_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unlock() override { return ++unlocks, S_OK; }
  HRESULT STDMETHODCALLTYPE GetCurrentLength(DWORD* length) override { return *length = current_length_, S_OK; }
  HRESULT STDMETHODCALLTYPE SetCurrentLength(DWORD length) override { return current_length_ = length, S_OK; }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* length) override {
    return *length = static_cast<DWORD>(bytes_.size()), S_OK;
  }

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
