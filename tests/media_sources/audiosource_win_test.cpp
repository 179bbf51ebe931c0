// The audio source on Wine's WASAPI over PulseAudio. audiosource_win_test.sh runs this program against a
// PulseAudio server of its own, with a tone of VELL_TONE_HZ and peak VELL_TONE_PEAK (of 32768) playing into
// the null sink, so "Monitor of Null Output" records a known signal.
#include <windows.h>
#include <audioclient.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "media_sources/audio/audiosource.h"
#include "testing/logcapture.h"
#include "testing/toneanalysis.h"

namespace VellRecorder {
namespace {

using Testing::ChannelSamples;
using Testing::Rms;
using Testing::ZeroCrossingFrequency;

constexpr wchar_t kMonitorName[] = L"Monitor of Null Output";

class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};
::testing::Environment* const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

double EnvNumber(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atof(value) : 0.0;
}

int64_t Now100ns() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return count.QuadPart / frequency.QuadPart * 10000000 + count.QuadPart % frequency.QuadPart * 10000000 /
                                                              frequency.QuadPart;
}

// Sources that cannot be opened: the failure is returned and logged, and the source stays harmless (no
// format, and Capture touches neither the ring nor the result).
TEST(AudioSourceTest, SourcesThatCannotOpen) {
  const struct {
    int32_t flow;
    const wchar_t* name;
    HRESULT expected;
    const char* log;
  } cases[] = {
      {1, L"No Such Microphone", E_UNEXPECTED, "no audio device found with name: No Such Microphone"},
      {1, L"monitor of null output", E_UNEXPECTED, "no audio device found with name: monitor of null output"},
      {1, L"Monitor of Null Output ", E_UNEXPECTED, "no audio device found with name: Monitor of Null Output "},
      // Wine has no loopback capture: the render endpoint opens, its capture client does not.
      {0, L"", AUDCLNT_E_WRONG_ENDPOINT_TYPE, "HRERROR: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    Testing::LogCapture capture;
    AudioSource source(AudioSourceConfig{c.flow, c.name});
    EXPECT_EQ(source.Initialize(), c.expected);
    EXPECT_TRUE(capture.Contains(c.log)) << capture.Text();
    EXPECT_FALSE(source.IsInitialized());
    EXPECT_EQ(source.GetCaptureFormat(), nullptr);
    EXPECT_EQ(source.GetCaptureFormatExtensible(), nullptr);
    AudioRingBuffer ring(64);
    const uint8_t kept[3] = {1, 2, 3};
    ASSERT_TRUE(ring.Write(kept, sizeof(kept)));
    CaptureResult result{77, 88};
    EXPECT_TRUE(FAILED(source.Capture(&ring, &result)));
    EXPECT_EQ(ring.Available(), sizeof(kept));
    EXPECT_EQ(result.bytes, 77u);
    EXPECT_EQ(result.first_packet_qpc_100ns, 88);
  }
}

// Captures until `wanted` bytes of the tone (past its first loud sample) are in `tone`; false after the limit.
bool CaptureTone(AudioSource* source, AudioRingBuffer* ring, size_t wanted, double loud, std::vector<uint8_t>* tone,
                 int64_t* first_qpc) {
  const WAVEFORMATEX& format = *source->GetCaptureFormat();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  std::vector<uint8_t> pending;
  while (tone->size() < wanted && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CaptureResult result;
    const HRESULT hr = source->Capture(ring, &result);
    EXPECT_TRUE(hr == S_OK || hr == AUDCLNT_S_BUFFER_EMPTY) << std::hex << hr;
    EXPECT_EQ(result.bytes, ring->Available());
    if (result.bytes != 0 && *first_qpc == 0) *first_qpc = result.first_packet_qpc_100ns;
    ring->ReadAll(&pending);
    if (tone->empty()) {
      // The tone starts with the first loud sample of channel 0, at a frame boundary.
      const std::vector<int16_t> samples = ChannelSamples(pending, format.nChannels, 0);
      size_t at = 0;
      while (at < samples.size() && std::abs(samples[at]) < loud) ++at;
      if (at == samples.size()) {
        pending.clear();
        continue;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at * format.nBlockAlign));
    }
    tone->insert(tone->end(), pending.begin(), pending.end());
    pending.clear();
  }
  return tone->size() >= wanted;
}

TEST(AudioSourceTest, MonitorRecordsThePlayedTone) {
  const double tone_hz = EnvNumber("VELL_TONE_HZ"), peak = EnvNumber("VELL_TONE_PEAK");
  if (tone_hz == 0 || peak == 0) GTEST_SKIP() << "no tone playing (run through audiosource_win_test.sh)";
  AudioSource source(AudioSourceConfig{1, kMonitorName});
  ASSERT_EQ(source.Initialize(), S_OK);
  ASSERT_TRUE(source.IsInitialized());
  const WAVEFORMATEXTENSIBLE& format = *source.GetCaptureFormatExtensible();
  // The endpoint mixes 32-bit float; the stream is 16-bit integer PCM of the same rate and channels.
  EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(format.Format.wBitsPerSample, 16);
  EXPECT_EQ(format.Samples.wValidBitsPerSample, 16);
  EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(format.Format.nChannels, 2);
  EXPECT_EQ(format.Format.nBlockAlign, 4);
  EXPECT_EQ(format.Format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(format.dwChannelMask, static_cast<DWORD>(SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT));
  EXPECT_EQ(format.SubFormat.Data1, 1u);  // KSDATAFORMAT_SUBTYPE_PCM
  EXPECT_EQ(source.GetCaptureFormat(), &format.Format);

  AudioRingBuffer ring(format.Format.nAvgBytesPerSec);
  const int64_t started = Now100ns();
  std::vector<uint8_t> tone;
  int64_t first_qpc = 0;
  ASSERT_TRUE(CaptureTone(&source, &ring, format.Format.nAvgBytesPerSec, peak / 4, &tone, &first_qpc))
      << "no second of tone within 15 s";
  // The first packet's time lies between the start of capture and now, on the performance counter.
  EXPECT_GT(first_qpc, started - 10000000);
  EXPECT_LT(first_qpc, Now100ns());
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<int16_t> samples = ChannelSamples(tone, 2, channel);
    const double hz = ZeroCrossingFrequency(samples, 44100), rms = Rms(samples);
    std::printf("channel %d: %.2f Hz, RMS %.0f (played %.0f); first packet %.0f ms after the stream started\n", channel,
                hz, rms, peak / std::sqrt(2.0), (first_qpc - started) / 1e4);
    EXPECT_NEAR(hz, tone_hz, 1.0) << "channel " << channel;
    EXPECT_NEAR(rms, peak / std::sqrt(2.0), 0.1 * peak) << "channel " << channel;
  }

  // A ring too small for a packet: packets are dropped, logged and counted, nothing reaches the ring.
  Testing::LogCapture capture;
  AudioRingBuffer tiny(format.Format.nBlockAlign * 16);
  uint64_t written = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (source.GetDroppedBytes() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CaptureResult result;
    EXPECT_TRUE(SUCCEEDED(source.Capture(&tiny, &result)));
    written += result.bytes;
  }
  EXPECT_GT(source.GetDroppedBytes(), 0u);
  EXPECT_EQ(source.GetDroppedBytes() % format.Format.nBlockAlign, 0u);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(tiny.Available(), 0u);
  EXPECT_TRUE(capture.Contains("failed to write"));
}

}  // namespace
}  // namespace VellRecorder
