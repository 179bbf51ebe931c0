// The video processor on frames with four coloured quadrants: scaling, rotation and mirroring against the
// stand-in processor (Wine's cannot scale, rotate or mirror), colour conversion against Wine's own at the same
// size. Every case checks the NV12 pixels: each colour must land in the right quadrant, in limited range with
// the matrix a processor picks when the type names none: BT.709 above 576 lines, BT.601 below.
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "media_sources/video/videorecordingsettings.h"
#include "media_transforms/media_foundation/videoprocessor.h"
#include "mftestsupport.h"
#include "testing/logcapture.h"
#include "videoprocessor/standinvideoprocessor.h"

namespace VellRecorder::MediaFoundation {
namespace {

struct Bgra {
  uint8_t b, g, r, a;
};
struct Yuv {
  int y, u, v;
};
enum Colour { kRed, kGreen, kBlue, kWhite };
constexpr Bgra kBgra[] = {{0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}, {255, 255, 255, 255}};
using Palette = std::array<Yuv, 4>;
// Wine's processor gives red as 62/102/239 and white as 235/127/128 in HD.
constexpr Palette kBt709 = {{{63, 102, 240}, {173, 42, 26}, {32, 240, 118}, {235, 128, 128}}};
constexpr Palette kBt601 = {{{82, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}}};
constexpr int kTolerance = 3;

// Colours of the top-left, top-right, bottom-left and bottom-right quadrants.
using Layout = std::array<Colour, 4>;
constexpr Layout kUpright = {kRed, kGreen, kBlue, kWhite};

std::vector<uint8_t> QuadrantFrame(int width, int height, const Layout& layout = kUpright) {
  std::vector<uint8_t> bytes(size_t(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int quadrant = (y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1);
      std::memcpy(&bytes[(size_t(y) * width + x) * 4], &kBgra[layout[quadrant]], 4);
    }
  }
  return bytes;
}

// Probes each quadrant in its middle and 3 pixels from both split lines, so a shifted or mis-scaled picture
// shows as well as a wrong colour.
void ExpectQuadrants(const std::vector<uint8_t>& nv12, int width, int height, const Layout& layout) {
  const Palette& palette = height > 576 ? kBt709 : kBt601;
  ASSERT_EQ(nv12.size(), size_t(width) * height * 3 / 2);
  const int xs[2][2] = {{width / 4, width / 2 - 3}, {width * 3 / 4, width / 2 + 2}};
  const int ys[2][2] = {{height / 4, height / 2 - 3}, {height * 3 / 4, height / 2 + 2}};
  for (int quadrant = 0; quadrant < 4; ++quadrant) {
    for (int probe = 0; probe < 2; ++probe) {
      const int x = xs[quadrant % 2][probe] & ~1;
      const int y = ys[quadrant / 2][probe] & ~1;
      const size_t uv = size_t(width) * height + size_t(y / 2) * width + x;
      const Yuv got{nv12[size_t(y) * width + x], nv12[uv], nv12[uv + 1]};
      const Yuv& want = palette[layout[quadrant]];
      EXPECT_TRUE(std::abs(got.y - want.y) <= kTolerance && std::abs(got.u - want.u) <= kTolerance &&
                  std::abs(got.v - want.v) <= kTolerance)
          << "quadrant " << quadrant << " at " << x << "," << y << ": " << got.y << "/" << got.u << "/" << got.v
          << ", want " << want.y << "/" << want.u << "/" << want.v;
    }
  }
}

std::vector<uint8_t> Process(VideoProcessor& processor, IMFSample* input) {
  ComPtr<IMFSample> output;
  EXPECT_EQ(processor.Encode(input, &output), S_OK);
  return output ? Testing::ReadSample(output.Get()) : std::vector<uint8_t>{};
}

ComPtr<IMFMediaType> CurrentType(IMFTransform* transform, bool input) {
  ComPtr<IMFMediaType> type;
  const HRESULT hr = input ? transform->GetInputCurrentType(0, type.ReleaseAndGetAddressOf())
                           : transform->GetOutputCurrentType(0, type.ReleaseAndGetAddressOf());
  EXPECT_EQ(hr, S_OK);
  return type;
}

UINT32 DeclaredRotation(IMFTransform* transform, bool input) {
  const ComPtr<IMFMediaType> type = CurrentType(transform, input);
  return type ? MFGetAttributeUINT32(type.Get(), MF_MT_VIDEO_ROTATION, 999) : 999;
}

// A Direct3D 11 device with its DXGI device manager, and BGRA textures as the desktop frame has them.
class GpuFrames {
 public:
  GpuFrames() {
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                                nullptr, 0, D3D11_SDK_VERSION, device_.ReleaseAndGetAddressOf(), nullptr, nullptr),
              S_OK);
    UINT token = 0;
    EXPECT_EQ(MFCreateDXGIDeviceManager(&token, manager_.ReleaseAndGetAddressOf()), S_OK);
    if (device_ && manager_) {
      EXPECT_EQ(manager_->ResetDevice(device_.Get(), token), S_OK);
    }
  }
  ULONG_PTR Manager() const { return reinterpret_cast<ULONG_PTR>(manager_.Get()); }

  // A sample whose one buffer is a DXGI surface over a texture holding `bgra`.
  ComPtr<IMFSample> Sample(const std::vector<uint8_t>& bgra, int width, int height) {
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = desc.ArraySize = desc.SampleDesc.Count = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    desc.MiscFlags = D3D11_RESOURCE_MISC_GDI_COMPATIBLE;
    const D3D11_SUBRESOURCE_DATA data = {bgra.data(), UINT(width) * 4, 0};
    ComPtr<ID3D11Texture2D> texture;
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFSample> sample;
    EXPECT_EQ(device_->CreateTexture2D(&desc, &data, texture.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IID_ID3D11Texture2D, texture.Get(), 0, FALSE, buffer.ReleaseAndGetAddressOf()),
              S_OK);
    EXPECT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
    if (!buffer || !sample) return sample;
    buffer->SetCurrentLength(DWORD(bgra.size()));  // a new surface buffer reports 0
    sample->AddBuffer(buffer.Get());
    sample->SetSampleTime(0);
    sample->SetSampleDuration(333330);
    return sample;
  }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<IMFDXGIDeviceManager> manager_;
};

// CLSID_VideoProcessorMFT resolves to the stand-in inside this process while the fixture lives.
class StandInProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(registration_.Result(), S_OK); }
  StandIns::ScopedVideoProcessorRegistration registration_{CLSID_VideoProcessorMFT};
  Testing::LogCapture log_;
};

TEST_F(StandInProcessorTest, ScalesTurnsUprightAndMirrors) {
  struct Row {
    int rotation;
    MF_VIDEO_PROCESSOR_MIRROR mirror;
    SIZE source;
    SIZE output;
    UINT32 declared;  // on the input type
    Layout layout;    // of the output
  };
  // The input is declared turned counter-clockwise by the rotation, so the processor turns it clockwise.
  const Row rows[] = {
      {0, MIRROR_NONE, {1920, 1080}, {1280, 720}, 0, kUpright},
      {0, MIRROR_NONE, {640, 360}, {1280, 720}, 0, kUpright},
      {0, MIRROR_NONE, {256, 144}, {128, 72}, 0, kUpright},
      {90, MIRROR_NONE, {1080, 1920}, {1280, 720}, 90, {kBlue, kRed, kWhite, kGreen}},
      {180, MIRROR_NONE, {1280, 720}, {1280, 720}, 180, {kWhite, kBlue, kGreen, kRed}},
      {270, MIRROR_NONE, {720, 1280}, {1280, 720}, 270, {kGreen, kWhite, kRed, kBlue}},
      {45, MIRROR_NONE, {1280, 720}, {1280, 720}, 0, kUpright},
      {0, MIRROR_HORIZONTAL, {1280, 720}, {1280, 720}, 0, {kGreen, kRed, kWhite, kBlue}},
      {0, MIRROR_VERTICAL, {1280, 720}, {1280, 720}, 0, {kBlue, kWhite, kRed, kGreen}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "rotation " << row.rotation << " mirror " << row.mirror << " from "
                                    << row.source.cx << "x" << row.source.cy << " to " << row.output.cx << "x"
                                    << row.output.cy);
    VideoProcessor processor;
    ASSERT_EQ(processor.Initialize(VideoProcessorFormat{row.source, row.output, row.rotation}, 0, row.mirror), S_OK)
        << log_.Text();
    EXPECT_EQ(DeclaredRotation(processor.GetTransform(), true), row.declared);
    EXPECT_EQ(DeclaredRotation(processor.GetTransform(), false), 0u);
    const auto frame = QuadrantFrame(row.source.cx, row.source.cy);
    ExpectQuadrants(Process(processor, Testing::MakeSample(frame, 0, 333330).Get()), row.output.cx,
                    row.output.cy, row.layout);
  }
}

// With the device manager the processor works on the desktop frame's own kind of buffer and hands out
// samples it allocated itself.
TEST_F(StandInProcessorTest, TakesDxgiSurfacesThroughTheDeviceManager) {
  GpuFrames gpu;
  VideoProcessor processor;
  ASSERT_EQ(processor.Initialize(VideoProcessorFormat{{1080, 1920}, {1280, 720}, 90}, gpu.Manager(), MIRROR_NONE),
            S_OK)
      << log_.Text();
  MFT_OUTPUT_STREAM_INFO info = {};
  ASSERT_EQ(processor.GetTransform()->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_TRUE(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES);
  for (int frame = 0; frame < 2; ++frame) {
    ExpectQuadrants(Process(processor, gpu.Sample(QuadrantFrame(1080, 1920), 1080, 1920).Get()), 1280, 720,
                    {kBlue, kRed, kWhite, kGreen});
  }
}

// The session's call: the frame's size in, the output size out (the virtual display is 1920x1080, upright).
TEST_F(StandInProcessorTest, TakesItsSizesFromTheFrameAndTheRecordingSettings) {
  const VideoRecordingSettings settings(L"", RECT{}, SIZE{1280, 720});
  D3D11Frame frame;
  ASSERT_EQ(frame.Initialize(settings.DisplayName(), settings.CaptureSize()), S_OK);
  VideoProcessor processor;
  ASSERT_EQ(processor.Initialize(VideoProcessorFormat::ForFrame(frame, settings.OutputSize()), 0, MIRROR_NONE), S_OK)
      << log_.Text();
  UINT32 width = 0, height = 0;
  MFGetAttributeSize(CurrentType(processor.GetTransform(), true).Get(), MF_MT_FRAME_SIZE, &width, &height);
  EXPECT_EQ(std::make_pair(width, height), std::make_pair(1920u, 1080u));
  MFGetAttributeSize(CurrentType(processor.GetTransform(), false).Get(), MF_MT_FRAME_SIZE, &width, &height);
  EXPECT_EQ(std::make_pair(width, height), std::make_pair(1280u, 720u));
  EXPECT_EQ(DeclaredRotation(processor.GetTransform(), true), 0u);
}

// Wine's own processor: colour conversion at the same size, from memory and from DXGI surfaces; another size
// is refused there, and the refusal comes back from Initialize.
TEST(WineProcessorTest, ConvertsAtTheSameSizeAndRefusesToScale) {
  Testing::LogCapture log;
  GpuFrames gpu;
  for (const SIZE size : {SIZE{1280, 720}, SIZE{64, 64}}) {
    const auto frame = QuadrantFrame(size.cx, size.cy);
    for (const bool surfaces : {false, true}) {
      SCOPED_TRACE(testing::Message() << size.cx << "x" << size.cy << (surfaces ? " from DXGI surfaces" : " from memory"));
      VideoProcessor processor;
      ASSERT_EQ(processor.Initialize(VideoProcessorFormat{size, size, 0}, surfaces ? gpu.Manager() : 0, MIRROR_NONE),
                S_OK)
          << log.Text();
      const ComPtr<IMFSample> input =
          surfaces ? gpu.Sample(frame, size.cx, size.cy) : Testing::MakeSample(frame, 0, 333330);
      ExpectQuadrants(Process(processor, input.Get()), size.cx, size.cy, kUpright);
    }
  }
  log.Clear();
  VideoProcessor scaling;
  EXPECT_TRUE(FAILED(scaling.Initialize(VideoProcessorFormat{{64, 64}, {32, 32}, 0}, 0, MIRROR_NONE)));
  EXPECT_TRUE(log.Contains("OUTPUT -- 32x32 rotation 0")) << log.Text();
  EXPECT_FALSE(log.Contains("END: Setting media types for VideoProcessor")) << log.Text();
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
