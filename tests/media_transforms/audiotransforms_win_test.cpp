// The audio transforms on the system's own components: the resampler (Wine's, built on GStreamer) and the AAC
// encoder where one is registered.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <wmcodecdsp.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "media_transforms/media_foundation/aacencoder.h"
#include "media_transforms/media_foundation/audioresampler.h"
#include "media_transforms/mftestsupport.h"
#include "testing/logcapture.h"
#include "testing/toneanalysis.h"

namespace VellRecorder::MediaFoundation {
namespace {

using Testing::ChannelSamples;
using Testing::Rms;
using Testing::ZeroCrossingFrequency;

constexpr double kPi = 3.14159265358979323846;
constexpr double kToneHz = 440;
constexpr double kToneAmplitude = 0.5;  // of full scale

WAVEFORMATEXTENSIBLE StereoFormat(uint32_t rate, bool is_float) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = 2;
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = is_float ? 32 : 16;
  format.Format.nBlockAlign = static_cast<WORD>(format.Format.wBitsPerSample / 8 * 2);
  format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = format.Format.wBitsPerSample;
  format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  format.SubFormat = is_float ? MFAudioFormat_Float : MFAudioFormat_PCM;
  return format;
}

// Frames [first, first + count) of the tone at 44.1 kHz, the same on both channels.
std::vector<uint8_t> ToneFrames(bool is_float, size_t first, size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = first; i < first + count; ++i) {
    const double value = kToneAmplitude * std::sin(2 * kPi * kToneHz * static_cast<double>(i) / 44100);
    const auto as_float = static_cast<float>(value);
    const auto as_int = static_cast<int16_t>(std::lround(value * 32767));
    const auto* raw =
        is_float ? reinterpret_cast<const uint8_t*>(&as_float) : reinterpret_cast<const uint8_t*>(&as_int);
    for (int channel = 0; channel < 2; ++channel) bytes.insert(bytes.end(), raw, raw + (is_float ? 4 : 2));
  }
  return bytes;
}

// Appends whatever the resampler has ready.
void Collect(AudioResampler* resampler, std::vector<uint8_t>* out) {
  ComPtr<IMFSample> sample;
  const HRESULT hr = resampler->ProcessOutput(&sample);
  ASSERT_TRUE(hr == S_OK || hr == MF_E_TRANSFORM_NEED_MORE_INPUT) << std::hex << hr;
  if (hr == S_OK) {
    const std::vector<uint8_t> bytes = Testing::ReadSample(sample.Get());
    out->insert(out->end(), bytes.begin(), bytes.end());
  }
}

TEST(AudioResamplerTest, DeviceFormatToTheRecordingFormat) {
  AudioResampler resampler(StereoFormat(44100, false), AudioResampler::RecordingFormat());
  ASSERT_EQ(resampler.Initialize(), S_OK);
  EXPECT_EQ(resampler.GetMinOutputBufferSize(), 176400u);
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(resampler.GetTransform()->GetOutputCurrentType(0, type.ReleaseAndGetAddressOf()), S_OK);
  const std::pair<const GUID*, UINT32> expected[] = {
      {&MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000}, {&MF_MT_AUDIO_NUM_CHANNELS, 1}, {&MF_MT_AUDIO_BITS_PER_SAMPLE, 16},
      {&MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 96000}, {&MF_MT_AUDIO_CHANNEL_MASK, SPEAKER_FRONT_CENTER}};
  for (const auto& [key, value] : expected) EXPECT_EQ(MFGetAttributeUINT32(type.Get(), *key, 0), value);
}

// Two seconds of a tone fed in 10 ms packets as the session feeds them (a refused packet is offered again
// after the ready output is pulled): the output has the recording rate's byte count, and the tone's pitch
// and level.
TEST(AudioResamplerTest, ToneKeepsPitchAndLevel) {
  for (const bool is_float : {false, true}) {
    SCOPED_TRACE(is_float ? "float input" : "16-bit input");
    const WAVEFORMATEXTENSIBLE input = StereoFormat(44100, is_float);
    AudioResampler resampler(input, AudioResampler::RecordingFormat());
    ASSERT_EQ(resampler.Initialize(), S_OK);
    constexpr size_t kPacketFrames = 441, kPackets = 200;
    std::vector<uint8_t> output;
    for (size_t packet = 0; packet < kPackets; ++packet) {
      const std::vector<uint8_t> bytes = ToneFrames(is_float, packet * kPacketFrames, kPacketFrames);
      ComPtr<IMFSample> sample = Testing::MakeSample(bytes, static_cast<LONGLONG>(packet) * 100000, 100000);
      HRESULT hr = resampler.ProcessInput(sample.Get());
      for (int retry = 0; hr == MF_E_NOTACCEPTING && retry < 3; ++retry) {
        Collect(&resampler, &output);
        hr = resampler.ProcessInput(sample.Get());
      }
      ASSERT_EQ(hr, S_OK) << "packet " << packet;
      Collect(&resampler, &output);
    }
    ASSERT_EQ(resampler.DrainAndCollect([&](IMFSample* sample) {
      const std::vector<uint8_t> bytes = Testing::ReadSample(sample);
      output.insert(output.end(), bytes.begin(), bytes.end());
    }), S_OK);
    // 2 s at 96000 bytes/s; the resampler may keep back a few samples of its filter.
    EXPECT_LE(output.size(), 192000u);
    EXPECT_GE(output.size(), 192000u - 200);
    const std::vector<int16_t> mono = ChannelSamples(output, 1, 0);
    const std::vector<int16_t> middle(mono.begin() + 4800, mono.end() - 4800);
    EXPECT_NEAR(ZeroCrossingFrequency(middle, 48000), kToneHz, 0.5);
    EXPECT_NEAR(Rms(middle), kToneAmplitude * 32767 / std::sqrt(2.0), 0.05 * kToneAmplitude * 32767);
  }
}

// Settings it cannot frame are refused before any encoder is created. Wine has no AAC encoder: without one
// registered Initialize fails with the class error (with a test stand-in registered, it succeeds).
TEST(AACEncoderTest, Initialize) {
  AACEncoderSettings eight_bit = AACEncoder::RecordingSettings(), odd_rate = eight_bit;
  eight_bit.in_wfx.wBitsPerSample = 8;
  odd_rate.output_sample_rate = 32000;
  ComPtr<IMFTransform> probe;
  const HRESULT registered = CoCreateInstance(CLSID_AACMFTEncoder, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                              reinterpret_cast<void**>(probe.ReleaseAndGetAddressOf()));
  probe.Reset();
  const struct {
    AACEncoderSettings settings;
    HRESULT expected;
    const char* log;
  } cases[] = {{eight_bit, E_INVALIDARG, "must be 16-bit PCM"},
               {odd_rate, E_INVALIDARG, "32000 Hz has no ADTS header"},
               {AACEncoder::RecordingSettings(), FAILED(registered) ? REGDB_E_CLASSNOTREG : S_OK,
                FAILED(registered) ? "HRERROR: " : "END: Setting media types for AAC Encoder"}};
  for (const auto& c : cases) {
    Testing::LogCapture capture;
    AACEncoder encoder(c.settings);
    EXPECT_EQ(encoder.Initialize(), c.expected);
    EXPECT_TRUE(capture.Contains(c.log)) << capture.Text();
    EXPECT_EQ(encoder.GetTransform() != nullptr, c.expected == S_OK);
  }
}

// The header follows the configured rate and channel count.
TEST(AACEncoderTest, AdtsHeaderFromTheSettings) {
  AACEncoderSettings stereo = AACEncoder::RecordingSettings();
  stereo.output_sample_rate = 44100;
  stereo.in_wfx.nChannels = 2;
  uint8_t header[7] = {};
  uint32_t size = 0;
  AACEncoder(stereo).WriteADTSHeader(header, 249, &size);
  const uint8_t expected[7] = {0xFF, 0xF9, 0x50, 0x80, 0x20, 0x00, 0x00};
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::memcmp(header, expected, 7), 0);
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
