// Cost of the software screen session on whatever moves on the screen (scripts/bench-swsession.sh puts a
// test picture there and reads the parts afterwards):
//   swsession_bench.exe OUTPUT_FOLDER [seconds] [stage frames] [output width] [output height]
// 1. Records the whole screen through the session into OUTPUT_FOLDER for `seconds` and prints the frames the
//    sink received, this process's CPU time and its minor page faults per frame.
// 2. Runs the same stages (GDI capture, BGRA to I420, scaling when asked, OpenH264) one after another on one
//    thread for `stage frames` frames of the same screen, and prints their CPU time per frame alone.
#include <windows.h>
#include <mfapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "media_sources/video/gdisource.h"
#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/h264encoder.h"
#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "media_transforms/openh264/libyuvresizer.h"
#include "cputime.h"
#include "muxers/hlssink.h"
#include "sessions/swscreenrecordingsession.h"
#include "utils/clock.h"
#include "utils/textconv.h"

using namespace VellRecorder;
using VellRecorder::Bench::ThreadCpuSeconds;

namespace {

// This process's CPU time in seconds: kernel, user.
struct CpuTime {
  double kernel = 0, user = 0;
  double Total() const { return kernel + user; }
  CpuTime operator-(const CpuTime& o) const { return {kernel - o.kernel, user - o.user}; }
};

CpuTime ProcessCpu() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](FILETIME t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return {seconds(kernel), seconds(user)};
}

// What the kernel counted for this process so far: minor page faults and CPU seconds (user + system), or -1
// where they cannot be read. Under Wine the process is a Linux process, and the benchmark script passes its
// process id in VELL_BENCH_UNIX_PID; its /proc/PID/stat is visible through the Z: drive ("self" would not do:
// Wine's server opens the files, so "self" is the server). Fields 10, 14 and 15, counted from the command name.
struct KernelCounts {
  long long minor_faults = -1;
  double cpu_seconds = -1;
};

KernelCounts ReadKernelCounts() {
  const char* pid = std::getenv("VELL_BENCH_UNIX_PID");
  if (pid == nullptr) return {};
  const std::string path = std::string("Z:\\proc\\") + pid + "\\stat";
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  char text[1024] = {};
  const size_t length = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  const char* after_name = std::strrchr(text, ')');
  if (length == 0 || after_name == nullptr) return {};
  // Fields from the state (field 3) on, separated by single spaces.
  std::vector<long long> fields;
  for (const char* p = std::strchr(after_name, ' '); p != nullptr && fields.size() < 14; p = std::strchr(p + 1, ' ')) {
    fields.push_back(std::atoll(p + 1));
  }
  if (fields.size() < 14) return {};
  constexpr double kTicksPerSecond = 100;  // USER_HZ on Linux
  return {fields[10 - 3], static_cast<double>(fields[14 - 3] + fields[15 - 3]) / kTicksPerSecond};
}

double PerFrame(long long count, uint64_t frames) {
  return count >= 0 && frames > 0 ? static_cast<double>(count) / static_cast<double>(frames) : -1.0;
}

double SecondsSince(int64_t start_ns) { return static_cast<double>(MonotonicNowNs() - start_ns) / 1e9; }

void RecordSession(const std::wstring& folder, int seconds, SIZE output) {
  int parts = 0;
  HLSSink sink(folder, [&parts](std::wstring) { ++parts; });
  SWScreenRecordingSession session(VideoRecordingSettings(L"", RECT{}, output), &sink);
  if (FAILED(session.Initialize())) {
    std::printf("session: Initialize failed\n");
    return;
  }
  const CpuTime cpu0 = ProcessCpu();
  const KernelCounts kernel0 = ReadKernelCounts();
  const int64_t start = MonotonicNowNs();
  session.Start(start);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  session.Stop();
  const double wall = SecondsSince(start);
  const CpuTime used = ProcessCpu() - cpu0;
  const KernelCounts kernel1 = ReadKernelCounts();
  const long long faults = kernel0.minor_faults < 0 ? -1 : kernel1.minor_faults - kernel0.minor_faults;
  const double cpu = used.Total();
  sink.Finish();
  const uint64_t frames = sink.VideoFrameCount();
  std::printf("session: %llu frames into the sink in %.2f s (%.1f per second), %d part(s)\n",
              static_cast<unsigned long long>(frames), wall, frames / wall, parts);
  std::printf("session: %.2f CPU s (%.2f kernel), %.2f of a core, %.2f CPU ms per delivered frame\n", cpu,
              used.kernel, cpu / wall, frames ? cpu * 1000 / frames : 0.0);
  std::printf("session: %lld minor page faults, %.0f per second, %.0f per delivered frame\n", faults,
              faults / wall, PerFrame(faults, frames));
  if (kernel0.cpu_seconds >= 0) {
    std::printf("session: the kernel counted %.2f CPU s for the process\n", kernel1.cpu_seconds - kernel0.cpu_seconds);
  }
}

// The session's stages on one thread, one frame after another.
class StagesAlone {
 public:
  explicit StagesAlone(SIZE output_size)
      : source_(VideoRecordingSettings(L"", RECT{}, output_size)),
        width_(static_cast<uint32_t>(source_.Settings().CaptureWidth())),
        height_(static_cast<uint32_t>(source_.Settings().CaptureHeight())),
        out_w_(static_cast<uint32_t>(source_.Settings().OutputSize().cx)),
        out_h_(static_cast<uint32_t>(source_.Settings().OutputSize().cy)),
        converter_(width_, height_, 4),
        encoder_({out_w_, out_h_, 30, 30}) {
    MFCreateMemoryBuffer(width_ * height_ * 4, bgra_.ReleaseAndGetAddressOf());
    bgra_->SetCurrentLength(width_ * height_ * 4);
    MFCreateMemoryBuffer(static_cast<DWORD>(Libyuv::I420PlanarSize(out_w_, out_h_)),
                         scaled_.ReleaseAndGetAddressOf());
    scaled_->SetCurrentLength(static_cast<DWORD>(Libyuv::I420PlanarSize(out_w_, out_h_)));
  }

  void Run(int frames) {
    const int64_t begin = MonotonicNowNs();
    const CpuTime cpu0 = ProcessCpu();
    const KernelCounts kernel0 = ReadKernelCounts();
    for (int i = 0; i < frames; ++i) Frame(begin);
    const CpuTime used = ProcessCpu() - cpu0;
    const KernelCounts kernel1 = ReadKernelCounts();
    const long long faults = kernel0.minor_faults < 0 ? -1 : kernel1.minor_faults - kernel0.minor_faults;
    const double cpu = used.Total();
    auto ms = [frames](int64_t ns) { return static_cast<double>(ns) / 1e6 / frames; };
    std::printf("stages alone (%ux%u -> %ux%u, one thread, %d frames, %d not skipped by the encoder): GDI capture "
                "%.2f ms, BGRA->I420 %.2f ms, scale %.2f ms, OpenH264 %.2f ms per frame (wall)\n",
                width_, height_, out_w_, out_h_, frames, delivered_, ms(ns_[0]), ms(ns_[1]), ms(ns_[2]), ms(ns_[3]));
    std::printf("stages alone: %.2f CPU ms per frame (%.2f kernel), %.2f CPU ms per frame not skipped\n",
                cpu * 1000 / frames, used.kernel * 1000 / frames, delivered_ ? cpu * 1000 / delivered_ : 0.0);
    std::printf("stages alone: %.0f minor page faults per frame\n", PerFrame(faults, static_cast<uint64_t>(frames)));
    std::printf("stages alone: CPU ms per frame (the thread's): GDI capture %.2f, BGRA->I420 %.2f, scale %.2f, "
                "OpenH264 %.2f\n", cpu_s_[0] * 1000 / frames, cpu_s_[1] * 1000 / frames, cpu_s_[2] * 1000 / frames,
                cpu_s_[3] * 1000 / frames);
  }

 private:
  void Frame(int64_t begin) {
    const int64_t t0 = MonotonicNowNs();
    const double c0 = ThreadCpuSeconds();
    {
      BufferLoader loader(bgra_.Get());
      uint8_t* destination = loader.LoadMaxLength()->data;
      source_.CaptureToSystemMemory(&destination);
    }
    const int64_t t1 = MonotonicNowNs();
    const double c1 = ThreadCpuSeconds();
    ComPtr<IMFMediaBuffer> i420;
    converter_.Process(bgra_.Get(), &i420);
    const int64_t t2 = MonotonicNowNs();
    const double c2 = ThreadCpuSeconds();
    IMFMediaBuffer* frame = i420.Get();
    if (out_w_ != width_ || out_h_ != height_) {
      Scale(i420.Get());
      frame = scaled_.Get();
    }
    const int64_t t3 = MonotonicNowNs();
    const double c3 = ThreadCpuSeconds();
    ComPtr<IMFSample> in;
    MFCreateSample(in.ReleaseAndGetAddressOf());
    in->AddBuffer(frame);
    in->SetSampleTime((t0 - begin) / 100);  // the real capture times, as in the session
    in->SetSampleDuration(333333);
    const ComPtr<IMFSample> out = encoder_.Encode(in.Get());
    const int64_t t4 = MonotonicNowNs();
    const double c4 = ThreadCpuSeconds();
    DWORD length = 0;
    if (out) out->GetTotalLength(&length);
    delivered_ += length > 0;
    const int64_t spent[] = {t1 - t0, t2 - t1, t3 - t2, t4 - t3};
    const double used[] = {c1 - c0, c2 - c1, c3 - c2, c4 - c3};
    for (int stage = 0; stage < 4; ++stage) {
      ns_[stage] += spent[stage];
      cpu_s_[stage] += used[stage];
    }
  }

  void Scale(IMFMediaBuffer* i420) {
    BufferLoader src(i420), dst(scaled_.Get());
    const BYTE* s = src.LoadMaxLength()->data;
    BYTE* d = dst.LoadMaxLength()->data;
    Libyuv::Resizer::ScaleFrame(s, width_, height_, d, out_w_, out_h_);
  }

  GDISource source_;
  uint32_t width_, height_, out_w_, out_h_;
  Libyuv::ColorConverter converter_;
  OpenH264::H264Encoder encoder_;
  ComPtr<IMFMediaBuffer> bgra_, scaled_;
  int64_t ns_[4] = {};  // wall time of capture, conversion, scaling, encoding, summed
  double cpu_s_[4] = {};  // the thread's CPU time in each, summed
  int delivered_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: swsession_bench OUTPUT_FOLDER [seconds] [stage frames] [output width] [output height]\n");
    return 2;
  }
  const std::wstring folder = ToWide(argv[1]);
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
  const int stage_frames = argc > 3 ? std::atoi(argv[3]) : 200;
  const SIZE output{argc > 4 ? std::atol(argv[4]) : 1920, argc > 5 ? std::atol(argv[5]) : 1080};
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  std::printf("hardware threads: %u\n", std::thread::hardware_concurrency());
  RecordSession(folder, seconds, output);
  if (stage_frames > 0) {
    // Made here and run on a thread of its own, as the session's stages are: where a thread allocates decides
    // how the C library reuses memory, and GDI's own buffers then fault in pages on one thread but not another.
    StagesAlone stages(output);
    std::thread([&stages, stage_frames] { stages.Run(stage_frames); }).join();
  }
  MFShutdown();
  CoUninitialize();
  return 0;
}
