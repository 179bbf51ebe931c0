#include "mftestsupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace VellRecorder::Testing {
namespace {

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

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

}  // namespace

ComPtr<IMFMediaBuffer> MakeBuffer(const std::vector<uint8_t>& bytes) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.ReleaseAndGetAddressOf()), S_OK);
  BYTE* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  return buffer;
}

ComPtr<IMFSample> MakeSample(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration) {
  ComPtr<IMFSample> sample;
  EXPECT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(sample->AddBuffer(MakeBuffer(bytes).Get()), S_OK);
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}

std::vector<uint8_t> ReadBuffer(IMFMediaBuffer* buffer) {
  BYTE* data = nullptr;
  DWORD length = 0;
  EXPECT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
  std::vector<uint8_t> bytes(data, data + length);
  buffer->Unlock();
  return bytes;
}

std::vector<uint8_t> ReadSample(IMFSample* sample) {
  std::vector<uint8_t> bytes;
  DWORD count = 0;
  sample->GetBufferCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(sample->GetBufferByIndex(i, buffer.ReleaseAndGetAddressOf()), S_OK);
    const auto part = ReadBuffer(buffer.Get());
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  return bytes;
}

FakeBuffer::FakeBuffer(DWORD max_length, DWORD current_length)
    : bytes_(max_length, 0), current_length_(current_length) {}

HRESULT FakeBuffer::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == IID_IMFMediaBuffer) {
    *object = static_cast<IMFMediaBuffer*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT FakeBuffer::Lock(BYTE** data, DWORD* max_length, DWORD* current_length) {
  if (refuse_lock) return E_ACCESSDENIED;
  ++locks;
  *data = bytes_.data();
  if (max_length) *max_length = static_cast<DWORD>(bytes_.size());
  if (current_length) *current_length = current_length_;
  return S_OK;
}

HRESULT FakeBuffer::Unlock() {
  ++unlocks;
  return S_OK;
}

HRESULT FakeBuffer::GetCurrentLength(DWORD* length) {
  *length = current_length_;
  return S_OK;
}

HRESULT FakeBuffer::SetCurrentLength(DWORD length) {
  current_length_ = length;
  return S_OK;
}

HRESULT FakeBuffer::GetMaxLength(DWORD* length) {
  *length = static_cast<DWORD>(bytes_.size());
  return S_OK;
}

}  // namespace VellRecorder::Testing
