// Cost of the hardware screen session over the stand-ins (duplication installed in this process, encoder
// registered in the prefix by scripts/wine-run.sh), on whatever moves on the screen:
//   hwsession_bench.exe OUTPUT_FOLDER [seconds] [stage frames]
// 1. Records the whole 1920x1080 screen through the session for `seconds` and prints the delivered frames per
//    second, the frames captured but not delivered, and this process's CPU time per delivered frame.
// 2. Runs the same stages (duplication copy, video processor, asynchronous encoder) one after another on one
//    thread for `stage frames` frames and prints their CPU time per frame alone, then the ratio.
#include <windows.h>
#include <mfapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "duplicationstandin.h"
#include "media_transforms/media_foundation/h264encoder.h"
#include "media_transforms/media_foundation/videoprocessor.h"
#include "cputime.h"
#include "muxers/hlssink.h"
#include "sessions/hwscreenrecordingsession.h"
#include "utils/clock.h"

using namespace VellRecorder;
using VellRecorder::Bench::ProcessCpuSeconds;

namespace {

constexpr SIZE kScreen{1920, 1080};

// CPU ms per delivered frame.
double RecordSession(const std::wstring& folder, int seconds) {
  HLSSink sink(folder, [](std::wstring) {});
  HWScreenRecordingSession session(VideoRecordingSettings(L"", RECT{}, kScreen), &sink);
  if (FAILED(session.Initialize())) {
    std::printf("session: Initialize failed\n");
    return 0;
  }
  const long images0 = StandIn::GetCounts().images;
  const double cpu0 = ProcessCpuSeconds();
  const int64_t start = MonotonicNowNs();
  session.Start(start);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  session.Stop();
  const double wall = static_cast<double>(MonotonicNowNs() - start) / 1e9;
  const double cpu = ProcessCpuSeconds() - cpu0;
  sink.Finish();
  const auto delivered = static_cast<double>(sink.VideoFrameCount());
  const long captured = StandIn::GetCounts().images - images0;
  std::printf("session: %.0f frames delivered in %.1f s = %.1f fps (one loop per 28 ms: %.1f); %ld captured, "
              "%.0f not delivered\n", delivered, wall, delivered / wall, 1000.0 / 28, captured, captured - delivered);
  const double per_frame = delivered > 0 ? cpu * 1000 / delivered : 0;
  std::printf("session: CPU %.2f ms per delivered frame (%.0f%% of one core)\n", per_frame, cpu / wall * 100);
  return per_frame;
}

// CPU ms per frame of the stages alone, one after another on this thread (process CPU: the encoder may use
// threads of its own).
double RunStages(int frames) {
  const VideoRecordingSettings settings(L"", RECT{}, kScreen);
  D3D11Frame frame;
  DDASource source(settings);
  MediaFoundation::VideoProcessor processor;
  MediaFoundation::EncoderSettings encoder_settings;
  encoder_settings.width = kScreen.cx;
  encoder_settings.height = kScreen.cy;
  encoder_settings.device_manager = nullptr;
  if (FAILED(frame.Initialize(L"", kScreen)) || FAILED(source.Initialize(&frame)) ||
      FAILED(processor.Initialize(MediaFoundation::VideoProcessorFormat::ForFrame(frame, settings.OutputSize()),
                                  reinterpret_cast<ULONG_PTR>(frame.GetDeviceManager()), MIRROR_NONE))) {
    std::printf("stages: setup failed\n");
    return 0;
  }
  encoder_settings.device_manager = frame.GetDeviceManager();
  MediaFoundation::H264Encoder encoder(encoder_settings);
  if (FAILED(encoder.Initialize()) || !encoder.IsAsync()) {
    std::printf("stages: no asynchronous encoder\n");
    return 0;
  }
  double capture = 0, process = 0, encode = 0;
  int encoded = 0;
  for (int i = 0; i < frames; ++i) {
    double t = ProcessCpuSeconds();
    source.CaptureToD3DFrame();
    ComPtr<IMFSample> sample;
    MFCreateSample(sample.ReleaseAndGetAddressOf());
    sample->AddBuffer(frame.GetMFBuffer());
    sample->SetSampleTime(i * 333330LL);
    sample->SetSampleDuration(333330);
    capture += ProcessCpuSeconds() - t;
    t = ProcessCpuSeconds();
    ComPtr<IMFSample> processed;
    if (processor.Encode(sample.Get(), &processed) != S_OK) continue;
    process += ProcessCpuSeconds() - t;
    t = ProcessCpuSeconds();
    for (MediaEventType type = MEUnknown; type != METransformNeedInput;) {
      if (FAILED(encoder.WaitForEvent(&type))) return 0;
      ComPtr<IMFSample> out;
      if (type == METransformHaveOutput && encoder.ProcessOutput(&out) == S_OK) ++encoded;
    }
    encoder.ProcessInput(processed.Get());
    encode += ProcessCpuSeconds() - t;
  }
  const double n = frames;
  std::printf("stages alone (%d frames, %d encoded): duplication copy %.2f ms, video processor %.2f ms, "
              "encoder %.2f ms, together %.2f ms CPU per frame\n", frames, encoded, capture * 1000 / n,
              process * 1000 / n, encode * 1000 / n, (capture + process + encode) * 1000 / n);
  return (capture + process + encode) * 1000 / n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: hwsession_bench OUTPUT_FOLDER [seconds] [stage frames]\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  if (FAILED(StandIn::InstallDuplication())) {
    std::printf("the duplication stand-in could not be installed\n");
    return 1;
  }
  const std::string folder = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
  const double session = RecordSession(std::wstring(folder.begin(), folder.end()), seconds);
  const double stages = RunStages(argc > 3 ? std::atoi(argv[3]) : 100);
  if (session > 0 && stages > 0) std::printf("session / stages alone: %.2f\n", session / stages);
  MFShutdown();
  CoUninitialize();
  return 0;
}
