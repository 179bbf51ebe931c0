// The hardware H.264 encoder class over the stand-in encoders registered in the test prefix: selection,
// the codec properties and types it sets, and a stream that ffmpeg decodes (h264_decode_check).
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
// After the Windows headers, so that the codec property identifiers are declared with their GUIDs.
#include <codecapi.h>
#include <strmif.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "h264testsupport.h"
#include "media_transforms/media_foundation/h264encoder.h"
#include "testing/logcapture.h"
#include "testing/watchdog.h"

namespace VellRecorder::MediaFoundation {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

const char kAsyncName[] = "Vell Stand-in H.264 Encoder (asynchronous)";
const char kSyncName[] = "Vell Stand-in H.264 Encoder (synchronous)";

// Makes the named stand-in variants refuse every output type, and optionally have no attribute store, for
// the life of the object.
class StandinFailure {
 public:
  explicit StandinFailure(const wchar_t* variants, const wchar_t* without_attributes = L"") {
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", variants);
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_NO_ATTRIBUTES", without_attributes);
  }
  ~StandinFailure() {
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", nullptr);
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_NO_ATTRIBUTES", nullptr);
  }
};

EncoderSettings Settings(uint32_t width, uint32_t height) {
  EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  return settings;
}

TEST(H264Encoder, EnumerationListsTheHardwareStandinFirst) {
  IMFActivate** activations = nullptr;
  UINT32 count = 0;
  const MFT_REGISTER_TYPE_INFO in = {MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO out = {MFMediaType_Video, MFVideoFormat_H264};
  ASSERT_EQ(MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, 0x45, &in, &out, &activations, &count), S_OK);
  std::vector<CLSID> order;
  for (UINT32 i = 0; i < count; ++i) {
    CLSID clsid = GUID_NULL;
    activations[i]->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid);
    order.push_back(clsid);
    activations[i]->Release();
  }
  CoTaskMemFree(activations);
  // The selection cases below rely on this order: "first fails" means the asynchronous one fails.
  ASSERT_EQ(order, (std::vector<CLSID>{kAsyncStandin, kSyncStandin}));
}

TEST(H264Encoder, SelectsTheFirstTransformThatAcceptsTheConfiguration) {
  struct Case {
    const wchar_t* failing;
    const wchar_t* without_attributes;
    HRESULT result;
    const char* log;  // what follows "Selected H264 mft: "; "" when no name can be read
    bool async;
  };
  const Case cases[] = {
      {L"", L"", S_OK, kAsyncName, true},
      {L"async", L"", S_OK, kSyncName, false},
      // A synchronous encoder without attributes after a failed asynchronous one is driven synchronously,
      // without codec properties and without a name.
      {L"async", L"sync", S_OK, "", false},
      {L"async,sync", L"", E_FAIL, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "failing: " << std::string(c.failing, c.failing + wcslen(c.failing))
                                    << " without attributes: "
                                    << std::string(c.without_attributes,
                                                   c.without_attributes + wcslen(c.without_attributes)));
    StandinFailure failure(c.failing, c.without_attributes);
    LogCapture log;
    H264Encoder encoder(Settings(640, 360));
    ASSERT_EQ(encoder.Initialize(), c.result) << log.Text();
    if (c.log) {
      EXPECT_EQ(log.Contains("Selected H264 mft: "), *c.log != 0) << log.Text();
      if (*c.log) {
        EXPECT_TRUE(log.Contains(std::string("Selected H264 mft: ") + c.log)) << log.Text();
      }
      EXPECT_EQ(encoder.IsAsync(), c.async);
    } else {
      EXPECT_TRUE(log.Contains("No suitable h264 encoder was found")) << log.Text();
      EXPECT_FALSE(log.Contains("Selected H264 mft: "));
    }
  }
}

// A session rebuilds its encoder after a lost duplication: the old one must shut its transform down and let
// go of it (asynchronous and synchronous alike).
TEST(H264Encoder, DestructionShutsDownAndReleasesTheTransform) {
  for (const wchar_t* failing : {L"", L"async"}) {
    StandinFailure failure(failing);
    auto encoder = std::make_unique<H264Encoder>(Settings(640, 360));
    ASSERT_EQ(encoder->Initialize(), S_OK);
    ComPtr<IMFTransform> kept(encoder->GetTransform());
    ComPtr<IMFShutdown> shutdown;
    ASSERT_EQ(kept.As(&shutdown), S_OK);
    encoder.reset();
    MFSHUTDOWN_STATUS status = MFSHUTDOWN_INITIATED;
    EXPECT_EQ(shutdown->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_COMPLETED);
    shutdown.Reset();
    EXPECT_EQ(RefCount(kept.Get()), 1u);
  }
}

// A camera's encoder: the recording's settings at the camera's own rate, configured for a media session, which
// starts the stream and shuts the transform down itself.
TEST(H264Encoder, HandsAnUnstartedTransformAtTheCamerasRateToAMediaSession) {
  EncoderSettings settings = EncoderSettings::Recording(320, 240, 30000, 1001);
  EXPECT_EQ(settings.gop_size, 58);  // two seconds of whole frames
  settings.media_session_streams = true;
  auto encoder = std::make_unique<H264Encoder>(settings);
  ASSERT_EQ(encoder->Initialize(), S_OK);
  ASSERT_TRUE(encoder->IsAsync());
  ComPtr<IMFTransform> transform = encoder->HandOverTransform();
  ASSERT_TRUE(transform);
  EXPECT_EQ(encoder->GetTransform(), nullptr);
  encoder.reset();
  ComPtr<IMFMediaType> types[2];
  ASSERT_EQ(transform->GetInputCurrentType(0, types[0].ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(transform->GetOutputCurrentType(0, types[1].ReleaseAndGetAddressOf()), S_OK);
  for (const ComPtr<IMFMediaType>& type : types) {
    UINT32 numerator = 0, denominator = 0;
    EXPECT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator), S_OK);
    EXPECT_EQ(numerator, 30000u);
    EXPECT_EQ(denominator, 1001u);
  }
  // No request for input before the media session starts the stream.
  ComPtr<IMFMediaEventGenerator> events;
  ASSERT_EQ(transform.As(&events), S_OK);
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(events->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()), MF_E_NO_EVENTS_AVAILABLE);
  ComPtr<IMFShutdown> shutdown;
  ASSERT_EQ(transform.As(&shutdown), S_OK);
  MFSHUTDOWN_STATUS status = MFSHUTDOWN_COMPLETED;
  EXPECT_EQ(shutdown->GetShutdownStatus(&status), MF_E_INVALIDREQUEST) << "the encoder shut the transform down";
}

// The value of a codec property as the encoder reports it through ICodecAPI (-1 when it has none).
int64_t CodecValue(IMFTransform* transform, const GUID& property) {
  ComPtr<ICodecAPI> codec_api;
  EXPECT_EQ(transform->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_api.ReleaseAndGetAddressOf())),
            S_OK);
  VARIANT value;
  VariantInit(&value);
  if (!codec_api || FAILED(codec_api->GetValue(&property, &value))) return -1;
  return value.vt == VT_BOOL ? (value.boolVal != VARIANT_FALSE) : int64_t{value.ulVal};
}

TEST(H264Encoder, CodecPropertiesAndTypesFollowTheBitrateTable) {
  struct Case {
    uint32_t width, height;
    const wchar_t* failing;  // "async" selects the synchronous stand-in
    const wchar_t* without_attributes;
    uint32_t mean, max;
  };
  const Case cases[] = {
      {640, 360, L"", L"", 400000, 480000},
      {1280, 720, L"", L"", 3000000, 3600000},
      {1366, 768, L"", L"", 3000000, 3600000},
      {1920, 1200, L"", L"", 6000000, 7200000},
      // Synchronous on Windows 8 or later: the table as is.
      {1920, 1080, L"async", L"", 5000000, 6000000},
      {4096, 2304, L"async", L"", 15000000, 18000000},
      // An encoder without an attribute store still gets its properties, through ICodecAPI.
      {1280, 720, L"async", L"sync", 3000000, 3600000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << (*c.failing ? " synchronous" : "")
                                    << (*c.without_attributes ? " without attributes" : ""));
    StandinFailure failure(c.failing, c.without_attributes);
    H264Encoder encoder(Settings(c.width, c.height));
    ASSERT_EQ(encoder.Initialize(), S_OK);
    EXPECT_EQ(encoder.GetBitrate(), c.mean);
    IMFTransform* transform = encoder.GetTransform();
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVEncCommonMeanBitRate), c.mean);
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVEncCommonMaxBitRate), c.max);
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVEncMPVGOPSize), 60);
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVEncCommonRateControlMode), 1);
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVLowLatencyMode), 1);
    EXPECT_EQ(CodecValue(transform, CODECAPI_AVEncCommonQualityVsSpeed), 70);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(transform->GetOutputCurrentType(0, type.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(type.Get(), MF_MT_AVG_BITRATE, 0), c.mean);
    UINT32 width = 0, height = 0;
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
  }
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Three seconds through the asynchronous encoder (which holds frames, as hardware encoders do) with a Direct3D
// device manager, fed as the hardware
// session's event loop feeds it under Wine: Wine's video processor hands out NV12 in system memory (and
// mapping an NV12 staging texture hangs in Wine 8, so surface input cannot be exercised here).
TEST(H264Encoder, AsyncEncoderStreamHonoursGopAndBitrate) {
  constexpr uint32_t kWidth = 640, kHeight = 360;
  constexpr int kFrames = 90;
  ComPtr<ID3D11Device> device;
  ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                              nullptr, 0, D3D11_SDK_VERSION, device.ReleaseAndGetAddressOf(), nullptr, nullptr),
            S_OK);
  UINT token = 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  ASSERT_EQ(MFCreateDXGIDeviceManager(&token, manager.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(manager->ResetDevice(device.Get(), token), S_OK);
  EncoderSettings settings = Settings(kWidth, kHeight);
  settings.device_manager = manager.Get();
  H264Encoder encoder(settings);
  ASSERT_EQ(encoder.Initialize(), S_OK);
  ASSERT_TRUE(encoder.IsAsync());

  std::vector<uint8_t> stream, input;
  std::vector<int> keyframes;
  int units = 0;
  const auto collect = [&](IMFSample* sample) {
    const std::vector<uint8_t> bytes = ReadSample(sample);
    const std::vector<int> nals = NalTypes(bytes);
    EXPECT_EQ(CountSlices(nals), 1) << "access unit " << units;
    // The encoder holds frames: each comes out later, drained ones together, but with its own input's timing.
    LONGLONG time = -1, duration = -1;
    sample->GetSampleTime(&time);
    sample->GetSampleDuration(&duration);
    EXPECT_EQ(time, units * 333333LL) << "access unit " << units;
    EXPECT_EQ(duration, 333333) << "access unit " << units;
    if (!nals.empty() && nals.front() == kNalSps) keyframes.push_back(units);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    ++units;
  };
  WithinOrDie(60s, "encoding and draining", [&] {
    for (int fed = 0; fed < kFrames; ++fed) {
      const std::vector<uint8_t> i420 = MovingI420(kWidth, kHeight, fed);
      const std::vector<uint8_t> nv12 = I420ToNV12(i420, kWidth, kHeight);
      ASSERT_EQ(encoder.FeedWhenAsked(MakeSample(nv12, fed * 333333LL, 333333).Get(), collect), S_OK);
      input.insert(input.end(), i420.begin(), i420.end());
    }
    ASSERT_EQ(encoder.DrainAndCollect(collect), S_OK);
  });
  ASSERT_EQ(units, kFrames);
  EXPECT_EQ(keyframes, (std::vector<int>{0, 60}));
  const std::vector<ParameterSetId> ids = ParameterSetIds(stream);
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(ids[2], ids[0]) << "the second keyframe's SPS has another id";
  EXPECT_EQ(ids[3], ids[1]) << "the second keyframe's PPS has another id";
  // Three seconds at a mean of 400 kbit/s and a peak of 480 kbit/s; the changing picture would take several
  // times that at the encoder's default quality.
  const double bits_per_second = stream.size() * 8.0 / 3.0;
  std::printf("%.0f bit/s\n", bits_per_second);
  EXPECT_LT(bits_per_second, 1.5 * 480000.0);
  EXPECT_GT(bits_per_second, 0.5 * 400000.0);

  if (const char* dir = std::getenv("VELL_HWENC_DUMP_DIR")) {
    const std::string base = std::string(dir) + "/hwenc";
    WriteFile(base + ".h264", stream);
    WriteFile(base + ".yuv", input);
    std::ofstream info(base + ".txt");
    info << kWidth << " " << kHeight << " " << kFrames << "\n0 60\n";
    ASSERT_TRUE(info.good()) << base;
  }
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
