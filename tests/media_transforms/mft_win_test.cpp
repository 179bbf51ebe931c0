// The transform driver against the stand-in encoders (standins/h264encoder), registered in the test prefix
// by scripts/wine-run.sh: the synchronous one with caller-allocated buffers, the asynchronous one with
// events and samples of its own.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <chrono>

#include <gtest/gtest.h>

#include "h264testsupport.h"
#include "media_transforms/media_foundation/mft.h"
#include "testing/watchdog.h"

namespace VellRecorder::MediaFoundation {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

constexpr uint32_t kWidth = 160, kHeight = 96;

// The driver with the media types an encoder's owner would set; the stand-ins hold two access units back
// unless low latency is asked for.
class StandinMFT : public MFT {
 public:
  HRESULT Open(const CLSID& clsid) {
    HRESULT hr = CreateMFT(clsid);
    if (SUCCEEDED(hr)) hr = DetectAsyncMFT();
    ComPtr<IMFMediaType> out, in;
    if (SUCCEEDED(hr)) hr = MFCreateMediaType(out.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = out->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(hr)) hr = out->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    if (SUCCEEDED(hr)) hr = MFSetAttributeSize(out.Get(), MF_MT_FRAME_SIZE, kWidth, kHeight);
    if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(out.Get(), MF_MT_FRAME_RATE, 30, 1);
    if (SUCCEEDED(hr)) hr = transform_->SetOutputType(0, out.Get(), 0);
    if (SUCCEEDED(hr)) hr = MFCreateMediaType(in.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = out->CopyAllItems(in.Get());
    if (SUCCEEDED(hr)) hr = in->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    if (SUCCEEDED(hr)) hr = transform_->SetInputType(0, in.Get(), 0);
    if (SUCCEEDED(hr)) hr = NotifyStartOfStreeam();
    return hr;
  }
  size_t PendingInputs() const { return pending_inputs_.size(); }
};

TEST(MFTDriver, SyncTransformYieldsEverythingReadyAsOneSampleWithTheInputsTiming) {
  StandinMFT mft;
  ASSERT_EQ(mft.Open(kSyncStandin), S_OK);
  EXPECT_FALSE(mft.IsAsync());
  std::vector<ComPtr<IMFSample>> inputs;
  ComPtr<IMFSample> out;
  for (int i = 0; i < 3; ++i) {
    inputs.push_back(MovingNV12Sample(kWidth, kHeight, i, 1000 * (i + 1), 100 * (i + 1)));
    ASSERT_EQ(mft.ProcessInput(inputs.back().Get()), S_OK);
    // Only its timing is kept: the sample may be a pooled one its maker takes back once let go.
    EXPECT_EQ(RefCount(inputs.back().Get()), 1u) << "input " << i;
    if (i < 2) {
      EXPECT_EQ(mft.ProcessOutput(&out), MF_E_TRANSFORM_NEED_MORE_INPUT);
    }
  }
  // The third input released the first access unit; draining releases the other two.
  ASSERT_EQ(mft.Drain(), S_OK);
  ASSERT_EQ(mft.ProcessOutput(&out), S_OK);
  DWORD buffers = 0;
  out->GetBufferCount(&buffers);
  EXPECT_EQ(buffers, 1u);
  const std::vector<int> nals = NalTypes(ReadSample(out.Get()));
  EXPECT_EQ(CountSlices(nals), 3);
  ASSERT_FALSE(nals.empty());
  EXPECT_EQ(nals.front(), kNalSps);
  LONGLONG time = 0, duration = 0;
  out->GetSampleTime(&time);
  out->GetSampleDuration(&duration);
  EXPECT_EQ(time, 3000);
  EXPECT_EQ(duration, 600);
  EXPECT_EQ(mft.PendingInputs(), 0u);
  for (const auto& input : inputs) EXPECT_EQ(RefCount(input.Get()), 1u);
  EXPECT_EQ(mft.ProcessOutput(&out), MF_E_TRANSFORM_NEED_MORE_INPUT);
}

TEST(MFTDriver, SyncEncodeDropsARefusedSampleAndStillCollects) {
  StandinMFT mft;
  ASSERT_EQ(mft.Open(kSyncStandin), S_OK);
  ComPtr<IMFSample> out;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(mft.ProcessInput(MovingNV12Sample(kWidth, kHeight, i, i, 1).Get()), S_OK);
  }
  // An access unit waits: the transform refuses input until it is collected.
  ComPtr<IMFSample> refused = MovingNV12Sample(kWidth, kHeight, 3, 3, 1);
  ASSERT_EQ(mft.Encode(refused.Get(), &out), S_OK);
  EXPECT_EQ(CountSlices(NalTypes(ReadSample(out.Get()))), 1);
  EXPECT_EQ(RefCount(refused.Get()), 1u);
}

TEST(MFTDriver, SyncDrainCollectsWhatTheTransformHeldBack) {
  StandinMFT mft;
  ASSERT_EQ(mft.Open(kSyncStandin), S_OK);
  int slices = 0;
  ComPtr<IMFSample> out;
  for (int i = 0; i < 5; ++i) {
    const HRESULT hr = mft.Encode(MovingNV12Sample(kWidth, kHeight, i, i, 1).Get(), &out);
    ASSERT_EQ(hr, i < 2 ? MF_E_TRANSFORM_NEED_MORE_INPUT : S_OK) << "frame " << i;
    if (hr == S_OK) slices += CountSlices(NalTypes(ReadSample(out.Get())));
  }
  int delivered = 0;
  const auto collect = [&](IMFSample* sample) {
    ++delivered;
    slices += CountSlices(NalTypes(ReadSample(sample)));
  };
  WithinOrDie(10s, "synchronous drain", [&] { ASSERT_EQ(mft.DrainAndCollect(collect), S_OK); });
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(slices, 5);
}

// Runs an asynchronous transform through the driver's event loop, a frame at a time, then drains it. Returns
// the access units in order.
std::vector<std::vector<uint8_t>> RunEventLoop(StandinMFT* mft, int frames) {
  std::vector<std::vector<uint8_t>> units;
  const auto collect = [&](IMFSample* sample) { units.push_back(ReadSample(sample)); };
  WithinOrDie(20s, "event loop and drain", [&] {
    for (int fed = 0; fed < frames; ++fed) {
      ASSERT_EQ(mft->FeedWhenAsked(MovingNV12Sample(kWidth, kHeight, fed, fed * 333333LL, 333333).Get(), collect),
                S_OK);
    }
    ASSERT_EQ(mft->DrainAndCollect(collect), S_OK);
  });
  return units;
}

TEST(MFTDriver, AsyncTransformGivesOnePiecePerHaveOutputAndDrainReturnsTheRest) {
  StandinMFT mft;
  ASSERT_EQ(mft.Open(kAsyncStandin), S_OK);
  ASSERT_TRUE(mft.IsAsync());
  const auto units = RunEventLoop(&mft, 12);
  ASSERT_EQ(units.size(), 12u);
  for (size_t i = 0; i < units.size(); ++i) {
    const std::vector<int> nals = NalTypes(units[i]);
    EXPECT_EQ(CountSlices(nals), 1) << "access unit " << i;
    EXPECT_EQ(!nals.empty() && nals.front() == kNalSps, i == 0) << "access unit " << i;
  }
}

TEST(MFTDriver, AsyncTransformIsLockedUntilUnlockedAndWaitsNeedAStartedStream) {
  MFT mft;
  ASSERT_EQ(mft.CreateMFT(kAsyncStandin), S_OK);
  DWORD inputs = 0, outputs = 0;
  EXPECT_EQ(mft.GetTransform()->GetStreamCount(&inputs, &outputs), MF_E_TRANSFORM_ASYNC_LOCKED);
  MediaEventType type = MEUnknown;
  EXPECT_EQ(mft.WaitForEvent(&type), MF_E_NOT_INITIALIZED);
  ASSERT_EQ(mft.DetectAsyncMFT(), S_OK);
  EXPECT_EQ(mft.GetTransform()->GetStreamCount(&inputs, &outputs), S_OK);
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
