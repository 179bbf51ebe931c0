// Milliseconds per desktop-duplication capture over the stand-in, split into its stages: the stand-in's desktop
// image alone (GDI copy and upload: the part a real duplication does not cost), and the source's own work (copy
// into the frame and cursor overlay, measured on time-outs, which reuse the last image).
//   dda_bench.exe [captures]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "duplicationstandin.h"
#include "media_sources/video/ddasource.h"

using namespace VellRecorder;
using Clock = std::chrono::steady_clock;

namespace {

// The device works behind the calls; a flush and a one-texel read make each step include its GPU work.
void Finish(D3D11Frame& frame) {
  D3D11_QUERY_DESC desc{D3D11_QUERY_EVENT, 0};
  ComPtr<ID3D11Query> query;
  if (FAILED(frame.GetDevice()->CreateQuery(&desc, query.ReleaseAndGetAddressOf()))) return;
  frame.GetContext()->End(query.Get());
  BOOL done = FALSE;
  while (frame.GetContext()->GetData(query.Get(), &done, sizeof(done), 0) == S_FALSE) Sleep(0);
}

double MsPerRun(int runs, const std::function<void()>& step) {
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) step();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / runs;
}

void Figures(const char* label, RECT crop, int runs) {
  const VideoRecordingSettings settings(L"", crop, SIZE{0, 0});
  D3D11Frame frame;
  DDASource source(settings);
  if (FAILED(frame.Initialize(settings.DisplayName(), settings.CaptureSize())) || FAILED(source.Initialize(&frame))) {
    std::printf("%s: cannot set up the frame and source\n", label);
    return;
  }
  ComPtr<IDXGIOutputDuplication> duplication;
  frame.GetOutput()->DuplicateOutput(frame.GetDevice(), duplication.ReleaseAndGetAddressOf());
  int failures = 0;
  const double image = MsPerRun(runs, [&] {
    DXGI_OUTDUPL_FRAME_INFO info{};
    ComPtr<IDXGIResource> resource;
    failures += FAILED(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()));
    duplication->ReleaseFrame();
    Finish(frame);
  });
  const double capture = MsPerRun(runs, [&] {
    failures += FAILED(source.CaptureToD3DFrame());
    Finish(frame);
  });
  StandIn::TimeOutAcquisitions(runs);
  const double reuse = MsPerRun(runs, [&] {
    failures += FAILED(source.CaptureToD3DFrame());
    Finish(frame);
  });
  StandIn::ClearFaults();
  std::printf("%-8s %ldx%ld: stand-in image %.2f ms, capture %.2f ms, capture on time-out (copy + cursor) %.2f ms"
              " (%d failed)\n",
              label, settings.CaptureWidth(), settings.CaptureHeight(), image, capture, reuse, failures);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 60;
  if (FAILED(StandIn::InstallDuplication())) {
    std::printf("cannot install the duplication stand-in\n");
    return 1;
  }
  Figures("display", RECT{}, runs);
  Figures("crop", RECT{100, 100, 1380, 820}, runs);
  return 0;
}
