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
#include "testing/fakeendpoints.h"
#include "testing/logcapture.h"
#include "testing/toneanalysis.h"
#include "testing/watchdog.h"

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

// Mix formats in both forms: the capture format is always the extensible 16-bit PCM form of the same layout.
TEST(AudioSourceTest, CaptureFormatForMixFormat) {
  WAVEFORMATEXTENSIBLE extensible{};
  extensible.Format = {WAVE_FORMAT_EXTENSIBLE, 6, 48000, 48000 * 24, 24, 32, 22};
  extensible.Samples.wValidBitsPerSample = 32;
  extensible.dwChannelMask = 0x3F;
  const WAVEFORMATEX plain_float = {WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 44100 * 8, 8, 32, 0};
  const WAVEFORMATEX plain_mono = {WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
  const struct {
    const WAVEFORMATEX* mix;
    std::vector<uint32_t> expected;  // channels, rate, block, bytes per second, mask
  } cases[] = {{&extensible.Format, {6, 48000, 12, 576000, 0x3F}},
               {&plain_float, {2, 44100, 4, 176400, 3}},
               {&plain_mono, {1, 16000, 2, 32000, 4}}};
  for (const auto& c : cases) {
    const WAVEFORMATEXTENSIBLE format = AudioSource::CaptureFormatFor(*c.mix);
    const WAVEFORMATEX& head = format.Format;
    EXPECT_EQ(std::vector<uint32_t>({head.wFormatTag, head.cbSize, head.wBitsPerSample,
                                     format.Samples.wValidBitsPerSample, format.SubFormat.Data1}),
              std::vector<uint32_t>({WAVE_FORMAT_EXTENSIBLE, 22, 16, 16, 1}));
    EXPECT_EQ(std::vector<uint32_t>({head.nChannels, head.nSamplesPerSec, head.nBlockAlign, head.nAvgBytesPerSec,
                                     format.dwChannelMask}),
              c.expected);
  }
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

// The named endpoint is found past one whose name cannot be read.
TEST(AudioSourceTest, AnEndpointWhoseNameCannotBeReadIsPassedOver) {
  Testing::FakeEndpoints endpoints;
  endpoints.Add(L"{1}", L"Headset")->unreadable = true;
  const auto headset = endpoints.Add(L"{2}", L"Headset");
  AudioSource source(AudioSourceConfig{1, L"Headset"});
  EXPECT_EQ(source.Initialize(), S_OK);
  EXPECT_EQ(headset->streams, 1);
}

// However many packets an endpoint announces, one Capture takes at most its buffer (200 ms) and stops at a packet
// handed out empty: the capture thread, and a Stop waiting for it, are never held.
TEST(AudioSourceTest, ACaptureTakesAtMostOneBuffer) {
  Testing::FakeEndpoints endpoints;
  endpoints.Add(L"{1}", L"Endless")->endless = true;
  endpoints.Add(L"{2}", L"Empty")->empty_packets = true;
  for (const auto& [name, bytes] : {std::pair<const wchar_t*, uint64_t>{L"Endless", 48000 / 5 * 4}, {L"Empty", 0}}) {
    AudioSource source(AudioSourceConfig{1, name});
    ASSERT_EQ(source.Initialize(), S_OK);
    AudioRingBuffer ring(1 << 20);
    CaptureResult result;
    Testing::WithinOrDie(std::chrono::milliseconds(5000), "AudioSource::Capture",
                         [&] { EXPECT_TRUE(SUCCEEDED(source.Capture(&ring, &result))); });
    EXPECT_EQ(result.bytes, bytes);
  }
}

// Captures until `wanted` bytes came; false after the limit.
bool CaptureFor(AudioSource* source, AudioRingBuffer* ring, size_t wanted, std::vector<uint8_t>* out,
                int64_t* first_qpc) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (out->size() < wanted && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CaptureResult result;
    const HRESULT hr = source->Capture(ring, &result);
    EXPECT_TRUE(hr == S_OK || hr == AUDCLNT_S_BUFFER_EMPTY) << std::hex << hr;
    EXPECT_EQ(result.bytes, ring->Available());
    if (result.bytes != 0 && *first_qpc == 0) *first_qpc = result.first_packet_qpc_100ns;
    ring->ReadAll(out);
  }
  return out->size() >= wanted;
}

TEST(AudioSourceTest, MonitorRecordsThePlayedTone) {
  const double tone_hz = EnvNumber("VELL_TONE_HZ"), peak = EnvNumber("VELL_TONE_PEAK");
  if (tone_hz == 0 || peak == 0) GTEST_SKIP() << "no tone playing (run through audiosource_win_test.sh)";
  AudioSource source(AudioSourceConfig{1, kMonitorName});
  ASSERT_EQ(source.Initialize(), S_OK);
  ASSERT_TRUE(source.IsInitialized());
  // The endpoint mixes 32-bit float at 44.1 kHz stereo; the stream is 16-bit integer PCM of the same layout.
  const WAVEFORMATEXTENSIBLE& format = *source.GetCaptureFormatExtensible();
  const WAVEFORMATEX& head = format.Format;
  EXPECT_EQ(std::vector<uint32_t>({head.wFormatTag, head.wBitsPerSample, format.Samples.wValidBitsPerSample,
                                   head.nSamplesPerSec, head.nChannels, head.nBlockAlign, head.nAvgBytesPerSec,
                                   format.dwChannelMask, format.SubFormat.Data1}),
            std::vector<uint32_t>({WAVE_FORMAT_EXTENSIBLE, 16, 16, 44100, 2, 4, 176400, 3, 1 /* PCM */}));
  EXPECT_EQ(source.GetCaptureFormat(), &head);

  AudioRingBuffer ring(head.nAvgBytesPerSec);
  const int64_t started = Now100ns();
  std::vector<uint8_t> captured;
  int64_t first_qpc = 0;
  ASSERT_TRUE(CaptureFor(&source, &ring, head.nAvgBytesPerSec * 3 / 2, &captured, &first_qpc))
      << "not 1.5 s of audio within 15 s";
  // The last second: the tone plays throughout.
  const std::vector<uint8_t> tone(captured.end() - head.nAvgBytesPerSec, captured.end());
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
  AudioRingBuffer tiny(64);
  CaptureResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (source.GetDroppedBytes() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(SUCCEEDED(source.Capture(&tiny, &result)));
    EXPECT_EQ(result.bytes, 0u);
  }
  EXPECT_GT(source.GetDroppedBytes(), 0u);
  EXPECT_EQ(tiny.Available(), 0u);
  EXPECT_TRUE(capture.Contains("failed to write"));

  // The first packet written after the lost ones marks the gap (the session fills it with silence); the packets
  // after it do not.
  AudioRingBuffer roomy(head.nAvgBytesPerSec);
  result = CaptureResult{};
  bool later_gap = false;
  for (int turn = 0; turn < 500 && (result.bytes == 0 || roomy.Available() < head.nAvgBytesPerSec / 4); ++turn) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const bool first_written = roomy.Available() == 0;
    if (first_written) {
      ASSERT_TRUE(SUCCEEDED(source.Capture(&roomy, &result)));
      if (result.bytes == 0) continue;
      EXPECT_EQ(result.gap_qpc_100ns, result.first_packet_qpc_100ns);
      EXPECT_EQ(result.bytes_before_gap, 0u);
    } else {
      CaptureResult later;
      ASSERT_TRUE(SUCCEEDED(source.Capture(&roomy, &later)));
      later_gap = later_gap || later.gap_qpc_100ns != 0;
    }
  }
  EXPECT_GT(result.gap_qpc_100ns, 0);
  EXPECT_FALSE(later_gap);
}

}  // namespace
}  // namespace VellRecorder
