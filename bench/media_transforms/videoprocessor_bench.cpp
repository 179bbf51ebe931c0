// The video processor stage alone (run through scripts/wine-run.sh): milliseconds per frame for a 1920x1080
// desktop frame, from system memory and from a DXGI surface over a BGRA texture (the desktop frame's kind),
// through Wine's processor at the same size and through the stand-in processor down to 1280x720.
//   videoprocessor_bench.exe [frames]
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "media_transforms/media_foundation/videoprocessor.h"
#include "videoprocessor/standinvideoprocessor.h"

using namespace VellRecorder;
using Clock = std::chrono::steady_clock;

namespace {

constexpr LONG kWidth = 1920, kHeight = 1080;

std::vector<uint8_t> Picture() {
  std::vector<uint8_t> bgra(size_t{kWidth} * kHeight * 4);
  for (size_t i = 0; i < bgra.size(); ++i) bgra[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
  return bgra;
}

ComPtr<IMFSample> Wrap(IMFMediaBuffer* buffer) {
  ComPtr<IMFSample> sample;
  MFCreateSample(sample.ReleaseAndGetAddressOf());
  sample->AddBuffer(buffer);
  sample->SetSampleDuration(333333);
  return sample;
}

ComPtr<IMFSample> MemorySample(const std::vector<uint8_t>& bgra) {
  ComPtr<IMFMediaBuffer> buffer;
  MFCreateMemoryBuffer(static_cast<DWORD>(bgra.size()), buffer.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  std::copy(bgra.begin(), bgra.end(), data);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bgra.size()));
  return Wrap(buffer.Get());
}

struct Gpu {
  ComPtr<ID3D11Device> device;
  ComPtr<IMFDXGIDeviceManager> manager;
  ComPtr<IMFSample> sample;
};

bool MakeGpu(const std::vector<uint8_t>& bgra, Gpu* gpu) {
  UINT token = 0;
  D3D11_TEXTURE2D_DESC desc = {};
  desc.Width = kWidth;
  desc.Height = kHeight;
  desc.MipLevels = desc.ArraySize = desc.SampleDesc.Count = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  desc.MiscFlags = D3D11_RESOURCE_MISC_GDI_COMPATIBLE;
  const D3D11_SUBRESOURCE_DATA data = {bgra.data(), kWidth * 4, 0};
  ComPtr<ID3D11Texture2D> texture;
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr,
                               0, D3D11_SDK_VERSION, gpu->device.ReleaseAndGetAddressOf(), nullptr, nullptr)) ||
      FAILED(MFCreateDXGIDeviceManager(&token, gpu->manager.ReleaseAndGetAddressOf())) ||
      FAILED(gpu->manager->ResetDevice(gpu->device.Get(), token)) ||
      FAILED(gpu->device->CreateTexture2D(&desc, &data, texture.ReleaseAndGetAddressOf())) ||
      FAILED(MFCreateDXGISurfaceBuffer(IID_ID3D11Texture2D, texture.Get(), 0, FALSE,
                                       buffer.ReleaseAndGetAddressOf()))) {
    return false;
  }
  buffer->SetCurrentLength(static_cast<DWORD>(bgra.size()));
  gpu->sample = Wrap(buffer.Get());
  return true;
}

void Measure(const char* name, SIZE output, ULONG_PTR manager, IMFSample* input, int frames) {
  MediaFoundation::VideoProcessor processor;
  if (FAILED(processor.Initialize(MediaFoundation::VideoProcessorFormat{{kWidth, kHeight}, output, 0}, manager,
                                  MIRROR_NONE))) {
    std::printf("%-48s processor refused the types\n", name);
    return;
  }
  ComPtr<IMFSample> out;
  processor.Encode(input, &out);  // first frame: allocations
  int done = 0;
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) done += processor.Encode(input, &out) == S_OK;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("%-48s %4d frames  %6.2f ms per frame\n", name, done, done ? ms / done : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 60;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  {
    const std::vector<uint8_t> bgra = Picture();
    const ComPtr<IMFSample> memory = MemorySample(bgra);
    Gpu gpu;
    const bool have_gpu = MakeGpu(bgra, &gpu);
    const ULONG_PTR manager = reinterpret_cast<ULONG_PTR>(gpu.manager.Get());
    Measure("Wine, 1920x1080 -> 1920x1080, memory:", {kWidth, kHeight}, 0, memory.Get(), frames);
    if (have_gpu) Measure("Wine, 1920x1080 -> 1920x1080, DXGI surface:", {kWidth, kHeight}, manager, gpu.sample.Get(), frames);
    StandIns::ScopedVideoProcessorRegistration standin(MediaFoundation::CLSID_VideoProcessorMFT);
    Measure("stand-in, 1920x1080 -> 1280x720, memory:", {1280, 720}, 0, memory.Get(), frames);
    if (have_gpu) Measure("stand-in, 1920x1080 -> 1280x720, DXGI surface:", {1280, 720}, manager, gpu.sample.Get(), frames);
    if (!have_gpu) std::printf("no Direct3D 11 device: DXGI surface rows skipped\n");
  }
  MFShutdown();
  CoUninitialize();
  return 0;
}
