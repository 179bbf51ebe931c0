// The AAC encoder stand-in (standins/aacencoder), registered in the test prefix by scripts/wine-run.sh under
// the system encoder's class id: the media types it takes and refuses, its frames' timing, and a tone encoded
// through the daemon's AAC encoder the way the audio session feeds it. The encoded tone is written as
// an ADTS stream for check_aac_decode.sh, which decodes it with the host's ffmpeg.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <wmcodecdsp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "media_transforms/media_foundation/aacencoder.h"
#include "mftestsupport.h"
#include "testing/scopedvariable.h"

namespace VellRecorder::MediaFoundation {
namespace {

using namespace Testing;

constexpr double kPi = 3.14159265358979323846;

ComPtr<IMFTransform> CreateEncoder() {
  ComPtr<IMFTransform> transform;
  EXPECT_EQ(CoCreateInstance(CLSID_AACMFTEncoder, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                             reinterpret_cast<void**>(transform.ReleaseAndGetAddressOf())),
            S_OK);
  return transform;
}

// An audio type; 0 leaves an attribute unset.
ComPtr<IMFMediaType> AudioType(const GUID& subtype, UINT32 rate, UINT32 channels, UINT32 bits,
                               UINT32 bytes_per_second = 0) {
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(MFCreateMediaType(type.ReleaseAndGetAddressOf()), S_OK);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (rate) type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  if (channels) type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  if (bits) type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, bits);
  if (bytes_per_second) type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, bytes_per_second);
  return type;
}

// `count` 16-bit samples (the same in every channel) of a 440 Hz sine at 48 kHz and half of full scale, from
// sample `first` on.
std::vector<uint8_t> Tone(size_t first, size_t count, UINT32 channels = 1) {
  std::vector<uint8_t> bytes;
  bytes.reserve(count * channels * 2);
  for (size_t i = 0; i < count; ++i) {
    const auto value = static_cast<int16_t>(16384 * std::sin(2 * kPi * 440.0 * double(first + i) / 48000));
    for (UINT32 c = 0; c < channels; ++c) {
      bytes.push_back(static_cast<uint8_t>(value & 0xFF));
      bytes.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    }
  }
  return bytes;
}

// One ProcessOutput into a sample the caller allocates, as the transform driver does.
HRESULT Pull(IMFTransform* transform, ComPtr<IMFSample>* out) {
  MFT_OUTPUT_STREAM_INFO info = {};
  EXPECT_EQ(transform->GetOutputStreamInfo(0, &info), S_OK);
  EXPECT_EQ(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0u);
  *out = MakeSample(std::vector<uint8_t>(info.cbSize), 0, 0);
  MFT_OUTPUT_DATA_BUFFER data = {};
  data.pSample = out->Get();
  DWORD status = 0;
  return transform->ProcessOutput(0, 1, &data, &status);
}

TEST(AacEncoderStandin, TakesOnlyTheDocumentedInputTypes) {
  struct Case {
    const char* what;
    GUID subtype;
    UINT32 rate, channels, bits;
    HRESULT want;
  } cases[] = {
      {"48 kHz mono", MFAudioFormat_PCM, 48000, 1, 16, S_OK},
      {"44.1 kHz stereo", MFAudioFormat_PCM, 44100, 2, 16, S_OK},
      {"8-bit", MFAudioFormat_PCM, 48000, 1, 8, MF_E_INVALIDMEDIATYPE},
      {"96 kHz", MFAudioFormat_PCM, 96000, 1, 16, MF_E_INVALIDMEDIATYPE},
      {"three channels", MFAudioFormat_PCM, 48000, 3, 16, MF_E_INVALIDMEDIATYPE},
      {"float", MFAudioFormat_Float, 48000, 1, 32, MF_E_INVALIDMEDIATYPE},
      {"no rate", MFAudioFormat_PCM, 0, 1, 16, MF_E_INVALIDMEDIATYPE},
  };
  for (const Case& c : cases) {
    ComPtr<IMFTransform> encoder = CreateEncoder();
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->SetInputType(0, AudioType(c.subtype, c.rate, c.channels, c.bits).Get(), 0), c.want) << c.what;
    ComPtr<IMFMediaType> current;
    EXPECT_EQ(encoder->GetInputCurrentType(0, current.ReleaseAndGetAddressOf()),
              c.want == S_OK ? S_OK : MF_E_TRANSFORM_TYPE_NOT_SET)
        << c.what;
  }
}

TEST(AacEncoderStandin, OutputTypeFollowsTheInputAtTheDocumentedByteRates) {
  ComPtr<IMFTransform> encoder = CreateEncoder();
  ASSERT_TRUE(encoder);
  EXPECT_EQ(encoder->SetOutputType(0, AudioType(MFAudioFormat_AAC, 48000, 1, 16, 12000).Get(), 0),
            MF_E_TRANSFORM_TYPE_NOT_SET);
  ASSERT_EQ(encoder->SetInputType(0, AudioType(MFAudioFormat_PCM, 48000, 1, 16).Get(), 0), S_OK);
  struct Case {
    UINT32 rate, channels, bytes_per_second;
    HRESULT want;
  } cases[] = {
      {48000, 1, 12000, S_OK},  {48000, 1, 16000, S_OK},  {48000, 1, 20000, S_OK},
      {48000, 1, 24000, S_OK},  {48000, 1, 15000, MF_E_INVALIDMEDIATYPE}, {48000, 1, 96000, MF_E_INVALIDMEDIATYPE},
      {44100, 1, 12000, MF_E_INVALIDMEDIATYPE},  // must match the input
      {48000, 2, 12000, MF_E_INVALIDMEDIATYPE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encoder->SetOutputType(0, AudioType(MFAudioFormat_AAC, c.rate, c.channels, 16, c.bytes_per_second).Get(),
                                     MFT_SET_TYPE_TEST_ONLY),
              c.want)
        << c.rate << " Hz, " << c.channels << " ch, " << c.bytes_per_second << " B/s";
  }
  ComPtr<IMFMediaType> raw_only = AudioType(MFAudioFormat_AAC, 48000, 1, 16, 12000);
  raw_only->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 1);
  EXPECT_EQ(encoder->SetOutputType(0, raw_only.Get(), 0), MF_E_INVALIDMEDIATYPE);

  // What the daemon sets (no byte rate: the default) is taken and advertised with what the encoder adds.
  ASSERT_EQ(encoder->SetOutputType(0, AudioType(MFAudioFormat_AAC, 48000, 1, 16).Get(), 0), S_OK);
  ComPtr<IMFMediaType> current;
  ASSERT_EQ(encoder->GetOutputCurrentType(0, current.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(MFGetAttributeUINT32(current.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0), 12000u);
  EXPECT_EQ(MFGetAttributeUINT32(current.Get(), MF_MT_AAC_PAYLOAD_TYPE, 7), 0u);
  UINT8 user_data[32] = {};
  UINT32 size = 0;
  ASSERT_EQ(current->GetBlob(MF_MT_USER_DATA, user_data, sizeof(user_data), &size), S_OK);
  ASSERT_EQ(size, 14u);
  // AudioSpecificConfig: AAC LC, 48 kHz (index 3), one channel.
  EXPECT_EQ(user_data[12], 0x11);
  EXPECT_EQ(user_data[13], 0x88);
}

// Inputs of 700 samples with gaps between their times: each frame carries the time of the input holding its
// first sample plus that sample's offset in it; frames come out one or two at a time, and input waits while any
// does; a drain pads the rest.
TEST(AacEncoderStandin, FramesAreTimedFromTheInputHoldingTheirFirstSample) {
  struct Format {
    UINT32 rate, channels, bytes_per_second;
    size_t at_once;
  } formats[] = {{48000, 1, 12000, 1}, {44100, 2, 24000, 1}, {48000, 1, 12000, 2}, {44100, 2, 24000, 2}};
  for (const Format& f : formats) {
    SCOPED_TRACE(testing::Message() << f.rate << " Hz, " << f.channels << " channel(s), " << f.at_once
                                    << " frame(s) at once");
    const std::wstring strictness = L"frames-at-once=" + std::to_wstring(f.at_once);
    ScopedVariable strict(L"VELL_AAC_STANDIN_STRICT", strictness.c_str());
    ComPtr<IMFTransform> encoder = CreateEncoder();
    ASSERT_TRUE(encoder);
    ASSERT_EQ(encoder->SetInputType(0, AudioType(MFAudioFormat_PCM, f.rate, f.channels, 16).Get(), 0), S_OK);
    ASSERT_EQ(encoder->SetOutputType(
                  0, AudioType(MFAudioFormat_AAC, f.rate, f.channels, 16, f.bytes_per_second).Get(), 0),
              S_OK);
    constexpr size_t kInput = 700, kInputs = 10;
    const auto input_time = [](size_t k) { return LONGLONG(k) * 200000 + 5000; };
    std::vector<LONGLONG> times;
    ComPtr<IMFSample> out;
    const auto pull_all = [&] {
      HRESULT hr;
      while ((hr = Pull(encoder.Get(), &out)) == S_OK) {
        LONGLONG time = 0, duration = 0;
        out->GetSampleTime(&time);
        out->GetSampleDuration(&duration);
        times.push_back(time);
        EXPECT_EQ(duration, 1024LL * 10000000 / f.rate);
        EXPECT_GT(ReadSample(out.Get()).size(), 20u);
      }
      EXPECT_EQ(hr, MF_E_TRANSFORM_NEED_MORE_INPUT);
    };
    size_t fed = 0;
    for (size_t k = 0; k < kInputs; ++k) {
      ComPtr<IMFSample> in = MakeSample(Tone(k * kInput, kInput, f.channels), input_time(k), 145833);
      const HRESULT hr = encoder->ProcessInput(0, in.Get(), 0);
      EXPECT_EQ(hr, fed - times.size() * 1024 >= f.at_once * 1024 ? MF_E_NOTACCEPTING : S_OK) << "input " << k;
      if (hr == MF_E_NOTACCEPTING) {
        pull_all();
        ASSERT_EQ(encoder->ProcessInput(0, in.Get(), 0), S_OK) << "input " << k;
      }
      fed += kInput;
    }
    ASSERT_EQ(encoder->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0), S_OK);
    EXPECT_EQ(encoder->ProcessInput(0, MakeSample(Tone(0, 512, f.channels), 0, 0).Get(), 0), MF_E_NOTACCEPTING);
    pull_all();
    // Six whole frames and the last 856 samples padded with silence.
    ASSERT_EQ(times.size(), 7u);
    for (size_t n = 0; n < times.size(); ++n) {
      const size_t first = n * 1024, holder = first / kInput;
      EXPECT_EQ(times[n], input_time(holder) + LONGLONG(first - holder * kInput) * 10000000 / f.rate)
          << "frame " << n;
    }
    // After the drain the encoder takes input again.
    EXPECT_EQ(encoder->ProcessInput(0, MakeSample(Tone(0, 512, f.channels), 0, 0).Get(), 0), S_OK);
  }
}

// The daemon's AAC encoder with the recording's settings, fed as the audio session feeds it: 1024-byte chunks,
// every output collected after each (and before a refused chunk is offered again), each frame written behind
// the encoder's ADTS header. The stand-in as strict as by default: frames come out two at a time.
TEST(AacEncoderStandin, ToneThroughTheDaemonsEncoderIsWrittenAsAnAdtsStream) {
  AACEncoder encoder(AACEncoder::RecordingSettings());
  ASSERT_EQ(encoder.Initialize(), S_OK);
  ComPtr<IMFMediaType> current;
  ASSERT_EQ(encoder.GetTransform()->GetOutputCurrentType(0, current.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(MFGetAttributeUINT32(current.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0), 12000u);
  constexpr size_t kChunkSamples = 512, kChunks = 188;  // 2.005 s
  std::vector<uint8_t> stream;
  size_t frames = 0;
  const auto collect = [&] {
    ComPtr<IMFSample> out;
    HRESULT hr;
    while ((hr = encoder.ProcessOutput(&out)) == S_OK) {
      // One frame each: two in one output would go out behind one header.
      const std::vector<uint8_t> payload = ReadSample(out.Get());
      ASSERT_GT(payload.size(), 0u);
      ASSERT_LE(payload.size(), 768u);
      uint8_t header[7];
      uint32_t header_size = 0;
      encoder.WriteADTSHeader(header, static_cast<uint16_t>(payload.size()), &header_size);
      ASSERT_EQ(header_size, 7u);
      stream.insert(stream.end(), header, header + header_size);
      stream.insert(stream.end(), payload.begin(), payload.end());
      ++frames;
    }
    EXPECT_EQ(hr, MF_E_TRANSFORM_NEED_MORE_INPUT);
  };
  for (size_t k = 0; k < kChunks; ++k) {
    const LONGLONG time = LONGLONG(k) * kChunkSamples * 10000000 / 48000;
    const ComPtr<IMFSample> chunk = MakeSample(Tone(k * kChunkSamples, kChunkSamples), time, 106660);
    HRESULT hr = encoder.ProcessInput(chunk.Get());
    if (hr == MF_E_NOTACCEPTING) {
      collect();
      hr = encoder.ProcessInput(chunk.Get());
    }
    ASSERT_EQ(hr, S_OK) << "chunk " << k;
    collect();
  }
  // No frame is lost or merged: one for every second chunk.
  EXPECT_EQ(frames, kChunks / 2);
  // About the configured 12000 bytes per second.
  EXPECT_NEAR(double(stream.size() - frames * 7) / 2.005, 12000.0, 1500.0);
  const char* dir = std::getenv("VELL_AAC_DUMP_DIR");
  if (!dir) GTEST_SKIP() << "VELL_AAC_DUMP_DIR not set: the stream is not checked by a decoder";
  const std::string path = std::string(dir) + "\\tone.aac";
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  EXPECT_EQ(std::fwrite(stream.data(), 1, stream.size(), file), stream.size());
  std::fclose(file);
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
