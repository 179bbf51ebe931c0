// Pooled media buffers in real Media Foundation samples: the memory of a frame that a sample still holds is
// never handed out again, and comes back once the sample lets go.
#include "media_transforms/mediabufferpool.h"

#include <gtest/gtest.h>

#include <cstring>

#include "media_transforms/bufferloader.h"
#include "media_transforms/mftestsupport.h"

namespace VellRecorder {
namespace {

BYTE* Bytes(IMFMediaBuffer* buffer) {
  BYTE* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
  buffer->Unlock();
  return data;
}

TEST(MediaBufferPoolTest, BehavesAsAMemoryBufferInsideASample) {
  MediaBufferPool pool(1000, 2);
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(pool.Create(&buffer), S_OK);
  DWORD max = 0, current = 7;
  BYTE* data = nullptr;
  ASSERT_EQ(buffer->Lock(&data, &max, &current), S_OK);
  EXPECT_EQ(max, 1000u);
  EXPECT_EQ(current, 0u);
  std::memset(data, 0x5A, 1000);
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->SetCurrentLength(1001), E_INVALIDARG);
  EXPECT_EQ(buffer->SetCurrentLength(600), S_OK);
  ComPtr<IMFSample> other_interface;
  EXPECT_EQ(buffer.As(&other_interface), E_NOINTERFACE);

  // A sample of one pooled buffer gives that buffer back as its contiguous buffer, bytes and length intact.
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(sample->AddBuffer(buffer.Get()), S_OK);
  BufferLoader loader(sample.Get());
  const auto bytes = loader.LoadCurrentLength();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->data, data);
  EXPECT_EQ(bytes->length, 600u);
  DWORD total = 0;
  EXPECT_EQ(sample->GetTotalLength(&total), S_OK);
  EXPECT_EQ(total, 600u);
}

TEST(MediaBufferPoolTest, MemoryHeldBySampleIsNotReusedUntilTheSampleGoes) {
  MediaBufferPool pool(1 << 20, 2);
  ComPtr<IMFMediaBuffer> frame;
  ASSERT_EQ(pool.Create(&frame), S_OK);
  BYTE* const memory = Bytes(frame.Get());
  std::memset(memory, 0x11, 1 << 20);
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(sample->AddBuffer(frame.Get()), S_OK);
  frame.Reset();  // the stage let go; the sample (a reader further down) still holds the frame

  for (int i = 0; i < 4; ++i) {
    ComPtr<IMFMediaBuffer> next;
    ASSERT_EQ(pool.Create(&next), S_OK);
    ASSERT_NE(Bytes(next.Get()), memory) << "a held frame's memory was lent again";
    std::memset(Bytes(next.Get()), 0x22, 1 << 20);
  }
  for (int i = 0; i < (1 << 20); i += 4096) ASSERT_EQ(memory[i], 0x11) << "byte " << i << " was overwritten";

  sample.Reset();
  ComPtr<IMFMediaBuffer> again;
  ASSERT_EQ(pool.Create(&again), S_OK);
  ComPtr<IMFMediaBuffer> another;
  ASSERT_EQ(pool.Create(&another), S_OK);
  const BYTE* reused[] = {Bytes(again.Get()), Bytes(another.Get())};
  EXPECT_TRUE(reused[0] == memory || reused[1] == memory) << "the released frame's memory was not reused";
  EXPECT_EQ(pool.Pool().Allocated(), 2u);
}

}  // namespace
}  // namespace VellRecorder
