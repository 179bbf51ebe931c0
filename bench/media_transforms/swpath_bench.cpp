// Milliseconds per frame for each stage of the software screen pipeline, on a moving desktop-like
// picture:  swpath_bench.exe [frames]
#include <windows.h>
#include <mfapi.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/h264encoder.h"
#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "media_transforms/openh264/libyuvresizer.h"

using namespace VellRecorder;
using Clock = std::chrono::steady_clock;

namespace {

void Paint(BYTE* bgra, uint32_t width, uint32_t height, int index) {
  const uint32_t box_x = static_cast<uint32_t>(index * 13) % (width - 300);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      BYTE* p = bgra + (size_t{y} * width + x) * 4;
      const bool box = x >= box_x && x < box_x + 300 && y >= 200 && y < 400;
      const bool text = x > 80 && x < width / 2 && ((y + index) / 7) % 3 == 0 && ((x * 7 + y / 21 * 13) / 5) % 4;
      p[0] = box ? 40 : text ? 20 : static_cast<BYTE>(200 + 40 * std::sin(x / 90.0));
      p[1] = box ? 160 : text ? 20 : static_cast<BYTE>(y * 200 / height);
      p[2] = box ? 230 : text ? 20 : 210;
      p[3] = 255;
    }
  }
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Run(uint32_t width, uint32_t height, uint32_t out_width, uint32_t out_height, int frames) {
  ComPtr<IMFMediaBuffer> capture;
  MFCreateMemoryBuffer(width * height * 4, capture.ReleaseAndGetAddressOf());
  capture->SetCurrentLength(width * height * 4);
  ComPtr<IMFMediaBuffer> scaled;
  MFCreateMemoryBuffer(static_cast<DWORD>(Libyuv::I420PlanarSize(out_width, out_height)),
                       scaled.ReleaseAndGetAddressOf());
  scaled->SetCurrentLength(static_cast<DWORD>(Libyuv::I420PlanarSize(out_width, out_height)));
  Libyuv::ColorConverter converter(width, height, 4);
  OpenH264::H264Encoder encoder({out_width, out_height, 30, 30});
  Clock::duration convert{}, scale{}, encode{};
  size_t bytes = 0;
  int skipped = 0;
  for (int i = 0; i < frames; ++i) {
    {
      BufferLoader loader(capture.Get());
      Paint(loader.LoadMaxLength()->data, width, height, i);
    }
    ComPtr<IMFMediaBuffer> i420;
    auto t0 = Clock::now();
    converter.Process(capture.Get(), &i420);
    auto t1 = Clock::now();
    IMFMediaBuffer* frame = i420.Get();
    if (out_width != width || out_height != height) {
      BufferLoader src(i420.Get());
      BufferLoader dst(scaled.Get());
      const BYTE* s = src.LoadMaxLength()->data;
      BYTE* d = dst.LoadMaxLength()->data;
      Libyuv::Resizer::ScaleFrame(s, width, height, d, out_width, out_height);
      frame = scaled.Get();
    }
    auto t2 = Clock::now();
    ComPtr<IMFSample> in;
    MFCreateSample(in.ReleaseAndGetAddressOf());
    in->AddBuffer(frame);
    in->SetSampleTime(i * 333333LL);
    in->SetSampleDuration(333333);
    ComPtr<IMFSample> out = encoder.Encode(in.Get());
    auto t3 = Clock::now();
    convert += t1 - t0;
    scale += t2 - t1;
    encode += t3 - t2;
    DWORD length = 0;
    if (out) out->GetTotalLength(&length);
    bytes += length;
    skipped += length == 0;
  }
  std::printf("%ux%u -> %ux%u, %d frames, %u encoder thread(s): convert %.2f ms, scale %.2f ms, encode %.2f ms "
              "per frame; %.0f kbit/s at 30 fps (target %u), %d skipped\n",
              width, height, out_width, out_height, frames, encoder.ThreadCount(), Ms(convert) / frames,
              Ms(scale) / frames, Ms(encode) / frames, bytes * 8.0 * 30 / frames / 1000, encoder.Bitrate() / 1000,
              skipped);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 120;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  std::printf("hardware threads: %u\n", std::thread::hardware_concurrency());
  Run(1920, 1080, 1920, 1080, frames);
  Run(1920, 1080, 1280, 720, frames);
  Run(1280, 720, 1280, 720, frames);
  MFShutdown();
  CoUninitialize();
  return 0;
}
