// A program that knows nothing of the duplication stand-in: it captures the known picture the test shows with
// the product's frame and source, and tells by its exit status how that went. The test starts it with and
// without the stand-in's DLL loaded into it.
//   duplication_probe [EXPECTED_REFUSALS]
// 0 the picture was captured (and, with refusals expected, lost, re-created after that many refusals and
// captured again); 1 no frame; 2 no duplication (E_NOTIMPL); 3 the source failed otherwise; 4 wrong pixels;
// 5 access was not lost; 6 wrong refusals; 7 wrong pixels after the re-creation.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "desktop_duplication/texturereadback.h"
#include "media_sources/video/ddasource.h"
#include "testing/testwindow.h"

namespace {

using namespace VellRecorder;

constexpr RECT kPictureOnScreen{300, 200, 300 + 96, 200 + 64};

bool CapturesThePicture(DDASource& source, D3D11Frame& frame) {
  if (source.CaptureToD3DFrame() != S_OK) return false;
  const std::vector<uint8_t> pixels = Testing::ReadTexture(frame.GetDevice(), frame.GetTexture());
  const int width = kPictureOnScreen.right - kPictureOnScreen.left;
  if (pixels.size() != size_t(width) * (kPictureOnScreen.bottom - kPictureOnScreen.top) * 4) return false;
  for (int y = 0; y < kPictureOnScreen.bottom - kPictureOnScreen.top; ++y) {
    for (int x = 0; x < width; ++x) {
      if (Testing::RgbAt(pixels, width, x, y) != Testing::PatternColor(x, y)) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int expected_refusals = argc > 1 ? std::atoi(argv[1]) : 0;
  const VideoRecordingSettings settings(L"", kPictureOnScreen, SIZE{0, 0});
  D3D11Frame frame;
  if (FAILED(frame.Initialize(settings.DisplayName(), settings.CaptureSize()))) return 1;
  DDASource source(settings);
  const HRESULT initialized = source.Initialize(&frame);
  if (initialized == E_NOTIMPL) return 2;
  if (FAILED(initialized)) return 3;
  if (!CapturesThePicture(source, frame)) return 4;
  if (expected_refusals == 0) return 0;
  if (source.CaptureToD3DFrame() != DXGI_ERROR_ACCESS_LOST) return 5;
  int refusals = 0;
  HRESULT recreated = E_FAIL;
  while ((recreated = source.LoadOutputDuplication()) == E_ACCESSDENIED && refusals < 100) {
    ++refusals;
    Sleep(30);
  }
  if (recreated != S_OK || refusals != expected_refusals) return 6;
  return CapturesThePicture(source, frame) ? 0 : 7;
}
