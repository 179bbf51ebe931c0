// The hardware encoder path over the registered stand-in encoders (run through scripts/wine-run.sh):
// milliseconds per 1920x1080 frame through the asynchronous stand-in, and how many captured frames reach
// the encoder when the event loop drops the frame of an iteration that collected output instead of
// keeping it for the next METransformNeedInput.   hwencoder_bench.exe [frames]
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media_transforms/media_foundation/h264encoder.h"

using namespace VellRecorder;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kWidth = 1920, kHeight = 1080;

ComPtr<IMFSample> Frame(int index) {
  const DWORD size = kWidth * kHeight * 3 / 2;
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  MFCreateMemoryBuffer(size, buffer.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  for (uint32_t y = 0; y < kHeight * 3 / 2; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint32_t tile = ((x + index * 8) / 16 + y / 16) % 7;
      data[size_t{y} * kWidth + x] = static_cast<BYTE>((x + 3 * y + 5 * index) / 4 + tile * 9);
    }
  }
  buffer->Unlock();
  buffer->SetCurrentLength(size);
  MFCreateSample(sample.ReleaseAndGetAddressOf());
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(index * 333333LL);
  sample->SetSampleDuration(333333);
  return sample;
}

struct Result {
  int captured = 0, fed = 0, encoded = 0;
  double ms = 0;
};

// keep_frames false: the frame of an iteration that met METransformHaveOutput is dropped.
Result Run(const std::vector<ComPtr<IMFSample>>& frames, bool keep_frames) {
  MediaFoundation::EncoderSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  MediaFoundation::H264Encoder encoder(settings);
  Result result;
  if (FAILED(encoder.Initialize()) || !encoder.IsAsync()) {
    std::printf("no asynchronous encoder (is the stand-in built and registered?)\n");
    std::exit(1);
  }
  const auto start = Clock::now();
  ComPtr<IMFSample> out;
  size_t next = 0;
  while (next < frames.size()) {
    MediaEventType type = MEUnknown;
    if (FAILED(encoder.WaitForEvent(&type))) break;
    if (type == METransformNeedInput) {
      if (FAILED(encoder.ProcessInput(frames[next++].Get()))) break;
      ++result.fed;
    } else if (type == METransformHaveOutput) {
      if (SUCCEEDED(encoder.ProcessOutput(&out))) ++result.encoded;
      if (!keep_frames) ++next;
    }
  }
  encoder.DrainAndCollect([&](IMFSample*) { ++result.encoded; });
  result.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  result.captured = static_cast<int>(frames.size());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 120;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  {
    std::vector<ComPtr<IMFSample>> frames;
    for (int i = 0; i < count; ++i) frames.push_back(Frame(i));
    for (const bool keep : {false, true}) {
      const Result r = Run(frames, keep);
      std::printf("%-34s captured %4d  fed %4d  encoded %4d  (%.0f%% of captured)  %.2f ms per encoded frame\n",
                  keep ? "frame kept for the next need-input:" : "frame dropped on have-output:", r.captured,
                  r.fed, r.encoded, 100.0 * r.encoded / r.captured, r.encoded ? r.ms / r.encoded : 0.0);
    }
  }
  MFShutdown();
  CoUninitialize();
  return 0;
}
