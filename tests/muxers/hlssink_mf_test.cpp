// HLSSink::Mux with real Media Foundation samples and memory buffers.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>

#include <cstring>

#include <gtest/gtest.h>

#include "testing/logcapture.h"

#include "muxers/hlssink.h"
#include "muxers/test_util.h"
#include "utils/comptr.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

using namespace Testing;

ComPtr<IMFMediaBuffer> MakeBuffer(const Bytes& bytes) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), buffer.ReleaseAndGetAddressOf()), S_OK);
  BYTE* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
  std::memcpy(data, bytes.data(), bytes.size());
  EXPECT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(buffer->SetCurrentLength(static_cast<DWORD>(bytes.size())), S_OK);
  return buffer;
}

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

class HLSSinkMfTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK); }
  static void TearDownTestSuite() { MFShutdown(); }

  void SetUp() override {
    ASSERT_EQ(MFCreateSample(sample_.ReleaseAndGetAddressOf()), S_OK);
  }

  Bytes Expected(const Bytes& frame, uint32_t pts) {
    TsMuxer muxer;
    uint32_t length = 0;
    const uint8_t* block = muxer.MuxVideoFrame(frame.data(), static_cast<uint32_t>(frame.size()), pts, &length);
    return Bytes(block, block + length);
  }
  std::filesystem::path PartZero() const { return folder_.path() / "part-0.ts"; }

  TempFolder folder_;
  std::vector<std::wstring> reported_;
  HLSSink sink_{folder_.wide(), [this](std::wstring path) { reported_.push_back(std::move(path)); }};
  ComPtr<IMFSample> sample_;
  Testing::LogCapture log_;
};

TEST_F(HLSSinkMfTest, MuxesTheSampleBytesAtItsTime) {
  ComPtr<IMFMediaBuffer> buffer = MakeBuffer(kKeyframe);
  ASSERT_EQ(sample_->AddBuffer(buffer.Get()), S_OK);
  ASSERT_EQ(sample_->SetSampleTime(12345678), S_OK);  // 100-ns units: 1,234,567 us
  const ULONG references = RefCount(buffer.Get());
  EXPECT_EQ(sink_.Mux(sample_.Get(), StreamKind::kVideo), S_OK);
  EXPECT_EQ(RefCount(buffer.Get()), references);
  sink_.Finish();
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_EQ(reported_[0], folder_.wide() + L"\\part-0.ts");
  EXPECT_EQ(ReadFile(PartZero()), Expected(kKeyframe, 1234567u * 9 / 100));
  EXPECT_EQ(sink_.VideoFrameCount(), 1u);
}

TEST_F(HLSSinkMfTest, SeveralBuffersAreMuxedAsOneFrame) {
  const Bytes head(kKeyframe.begin(), kKeyframe.begin() + 6), tail(kKeyframe.begin() + 6, kKeyframe.end());
  ASSERT_EQ(sample_->AddBuffer(MakeBuffer(head).Get()), S_OK);
  ASSERT_EQ(sample_->AddBuffer(MakeBuffer(tail).Get()), S_OK);
  ASSERT_EQ(sample_->SetSampleTime(0), S_OK);
  EXPECT_EQ(sink_.Mux(sample_.Get(), StreamKind::kVideo), S_OK);
  sink_.Finish();
  EXPECT_EQ(ReadFile(PartZero()), Expected(kKeyframe, 0));
}

TEST_F(HLSSinkMfTest, SampleWithoutTimeIsDroppedAndItsBufferReleased) {
  ComPtr<IMFMediaBuffer> buffer = MakeBuffer(kKeyframe);
  ASSERT_EQ(sample_->AddBuffer(buffer.Get()), S_OK);
  const ULONG references = RefCount(buffer.Get());
  const HRESULT hr = sink_.Mux(sample_.Get(), StreamKind::kVideo);
  EXPECT_EQ(hr, MF_E_NO_SAMPLE_TIMESTAMP);
  EXPECT_EQ(RefCount(buffer.Get()), references);
  EXPECT_NE(log_.Text().find("[VellRecorder::HLSSink::Mux@"), std::string::npos) << log_.Text();
  EXPECT_NE(log_.Text().find("HRERROR: "), std::string::npos) << log_.Text();
  sink_.Finish();
  EXPECT_TRUE(reported_.empty());
  EXPECT_FALSE(std::filesystem::exists(PartZero()));
  EXPECT_EQ(sink_.VideoFrameCount(), 0u);
}

TEST_F(HLSSinkMfTest, SampleWithoutBuffersFails) {
  ASSERT_EQ(sample_->SetSampleTime(0), S_OK);
  EXPECT_TRUE(FAILED(sink_.Mux(sample_.Get(), StreamKind::kVideo)));
  sink_.Finish();
  EXPECT_TRUE(reported_.empty());
}

}  // namespace
}  // namespace VellRecorder
