// Milliseconds per GDI capture (whole display and a 1280 x 720 crop), per display-list refresh and per
// display screenshot:  screencapture_bench.exe [captures]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "media_sources/video/displays.h"
#include "media_sources/video/gdisource.h"

using namespace VellRecorder;
using Clock = std::chrono::steady_clock;

namespace {

double MsPerRun(int runs, const std::function<void()>& step) {
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) step();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / runs;
}

void CaptureFigures(const wchar_t* label, RECT crop, int runs) {
  GDISource source(VideoRecordingSettings(L"", crop, SIZE{1280, 720}));
  std::vector<uint8_t> pixels(static_cast<size_t>(source.Settings().CaptureWidth()) *
                              source.Settings().CaptureHeight() * source.GetBytesPerPixel());
  uint8_t* destination = pixels.data();
  int failures = 0;
  const double ms = MsPerRun(runs, [&] { failures += FAILED(source.CaptureToSystemMemory(&destination)); });
  std::printf("GDI capture %-10ls %ldx%ld: %.2f ms per frame (%d failed)\n", label, source.Settings().CaptureWidth(),
              source.Settings().CaptureHeight(), ms, failures);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 100;
  CaptureFigures(L"display", RECT{}, runs);
  CaptureFigures(L"crop", RECT{100, 100, 1380, 820}, runs);
  Displays displays;
  std::printf("display list refresh: %.3f ms\n", MsPerRun(runs, [&] { displays.Refresh(false); }));
  std::printf("settings lookup (temporary display list): %.3f ms\n",
              MsPerRun(runs, [] { VideoRecordingSettings settings(L"", RECT{}, SIZE{1920, 1080}); }));
  std::printf("display list with screenshots: %.1f ms\n", MsPerRun(5, [&] { displays.GetDisplays(); }));
  return 0;
}
