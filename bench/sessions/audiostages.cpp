#include "audiostages.h"

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

// Media Foundation's headers before WASAPI's (see audiorecordingsession.h).
#include "media_transforms/bufferloader.h"
#include "media_transforms/media_foundation/aacencoder.h"
#include "media_transforms/media_foundation/audioresampler.h"
#include "media_sources/audio/audioringbuffer.h"
#include "media_sources/audio/audiosource.h"
#include "sessions/audiochunker.h"
#include "sessions/audiomixer.h"
#include "muxers/hlssink.h"
#include "sessions/audiorecordingsession.h"
#include "sessions/silenceloop.h"
#include "utils/clock.h"

namespace VellRecorder {

namespace {

// PCM in a sample, as the session wraps it for a transform.
ComPtr<IMFSample> Wrap(const uint8_t* bytes, size_t length, int64_t time, int64_t duration) {
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFSample> sample;
  BYTE* data = nullptr;
  if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(length), buffer.ReleaseAndGetAddressOf())) ||
      FAILED(buffer->Lock(&data, nullptr, nullptr))) {
    return nullptr;
  }
  std::memcpy(data, bytes, length);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(length));
  if (FAILED(MFCreateSample(sample.ReleaseAndGetAddressOf()))) return nullptr;
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}

// Feeds one sample and collects every output, as the session does (a full transform is emptied and fed again).
// Each output's bytes are appended to *out when given.
void Feed(MediaFoundation::MFT* transform, IMFSample* in, std::vector<std::vector<uint8_t>>* out) {
  auto collect = [transform, out] {
    for (int call = 0; call < 16; ++call) {
      ComPtr<IMFSample> piece;
      if (transform->ProcessOutput(&piece) != S_OK) return;
      BufferLoader loader(piece.Get());
      const auto bytes = loader.LoadCurrentLength();
      if (out != nullptr && bytes && bytes->length > 0) out->emplace_back(bytes->data, bytes->data + bytes->length);
    }
  };
  if (transform->ProcessInput(in) == MF_E_NOTACCEPTING) {
    collect();
    transform->ProcessInput(in);
  }
  collect();
}

// What a stage took: CPU seconds of the process while it ran.
template <typename Stage>
double CpuOf(Stage stage) {
  const double before = ProcessCpuSeconds();
  stage();
  return ProcessCpuSeconds() - before;
}

using Pieces = std::vector<std::vector<uint8_t>>;

// Polls the endpoint every loop interval on a thread of the session's priority; each turn's bytes are one piece.
bool CaptureAlone(const std::wstring& endpoint, int seconds, Pieces* pieces, WAVEFORMATEXTENSIBLE* format,
                  double* cpu) {
  AudioSource source(AudioSourceConfig{1, endpoint});
  if (FAILED(source.Initialize()) || !source.IsInitialized()) return false;
  *format = *source.GetCaptureFormatExtensible();
  AudioRingBuffer ring(format->Format.nAvgBytesPerSec);
  std::thread([&] {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    source.Capture(&ring);  // what queued since the opening, as the session drops it
    ring.Clear();
    const int64_t end = MonotonicNowNs() + int64_t{seconds} * 1000000000;
    *cpu = CpuOf([&] {
      while (MonotonicNowNs() < end) {
        const int64_t turn = MonotonicNowNs();
        source.Capture(&ring);
        std::vector<uint8_t> piece;
        ring.ReadAll(&piece);
        if (!piece.empty()) pieces->push_back(std::move(piece));
        const int64_t left_us = AudioRecordingSession::kLoopIntervalUs - (MonotonicNowNs() - turn) / 1000;
        if (left_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(left_us));
      }
    });
  }).join();
  return true;
}

size_t TotalBytes(const Pieces& pieces) {
  size_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  return total;
}

// The offline stages run over the sound this many times: the process's CPU time is counted in ticks of 10 ms
// under Wine, and one pass of a cheap stage over 20 s of sound takes only a few.
constexpr int kPasses = 10;

double Resample(const WAVEFORMATEXTENSIBLE& format, const Pieces& captured, Pieces* resampled) {
  MediaFoundation::AudioResampler resampler(format, MediaFoundation::AudioResampler::RecordingFormat());
  if (FAILED(resampler.Initialize())) return -1;
  return CpuOf([&] {
    for (int pass = 0; pass < kPasses; ++pass) {
      for (const auto& piece : captured) {
        Feed(&resampler, Wrap(piece.data(), piece.size(), 0, 0).Get(), pass == 0 ? resampled : nullptr);
      }
    }
  });
}

double Mix(const Pieces& resampled, Pieces* mixed) {
  AudioMixer mixer(1);
  return CpuOf([&] {
    for (int pass = 0; pass < kPasses; ++pass) {
      for (const auto& piece : resampled) {
        mixer.Append(0, piece.data(), piece.size());
        std::vector<uint8_t> out;
        mixer.Mix(&out);
        if (pass == 0) mixed->push_back(std::move(out));
      }
    }
  });
}

// AAC frames with their ADTS headers into *frames (first pass).
double Encode(const Pieces& mixed, Pieces* frames) {
  MediaFoundation::AACEncoder encoder(MediaFoundation::AACEncoder::RecordingSettings());
  if (FAILED(encoder.Initialize())) return -1;
  AudioChunker chunker;
  chunker.SetOrigin(0);
  return CpuOf([&] {
    std::vector<uint8_t> pending;
    for (int pass = 0; pass < kPasses; ++pass) {
      for (const auto& piece : mixed) {
        pending.insert(pending.end(), piece.begin(), piece.end());
        chunker.TakeChunks(&pending, [&](const uint8_t* pcm, size_t length, int64_t time, int64_t duration) {
          Pieces out;
          Feed(&encoder, Wrap(pcm, length, time, duration).Get(), &out);
          if (pass != 0) return;
          for (auto& payload : out) {
            uint8_t header[7];
            uint32_t header_size = 0;
            encoder.WriteADTSHeader(header, static_cast<uint16_t>(payload.size()), &header_size);
            payload.insert(payload.begin(), header, header + header_size);
            frames->push_back(std::move(payload));
          }
        });
      }
    }
  });
}

double Mux(const Pieces& frames, const std::wstring& folder) {
  HLSSink sink(folder, [](std::wstring) {});
  return CpuOf([&] {
    int64_t frame = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
      for (const auto& bytes : frames) {
        sink.MuxRaw(bytes.data(), static_cast<uint32_t>(bytes.size()), frame++ * 1024 * 1000000 / 48000,
                    StreamKind::kAudio);
      }
    }
    sink.Finish();
  });
}

// CPU per second of the silence the session plays while it records.
double SilenceLoopAlone(int seconds) {
  SilenceLoop silence;
  silence.Start();
  const double cpu = CpuOf([seconds] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
  silence.Stop();
  return cpu * 1000 / seconds;
}

}  // namespace

AudioStageSums RunAudioStagesAlone(const std::wstring& endpoint, int seconds, const std::wstring& folder) {
  Pieces captured, resampled, mixed, frames;
  WAVEFORMATEXTENSIBLE format{};
  double capture_cpu = 0;
  if (!CaptureAlone(endpoint, seconds, &captured, &format, &capture_cpu)) {
    std::printf("stages alone: the endpoint could not be opened\n");
    return {};
  }
  const double sound_s = static_cast<double>(TotalBytes(captured)) / format.Format.nAvgBytesPerSec;
  const double resample_cpu = Resample(format, captured, &resampled);
  const double mix_cpu = Mix(resampled, &mixed);
  const double encode_cpu = Encode(mixed, &frames);
  if (sound_s <= 0 || resample_cpu < 0 || encode_cpu < 0) {
    std::printf("stages alone: no sound captured, or no resampler or AAC encoder\n");
    return {};
  }
  const double mux_cpu = Mux(frames, folder);
  auto per_second = [sound_s](double cpu, int passes) { return cpu * 1000 / sound_s / passes; };
  // Polling costs by the second whether the endpoint delivers or not (its first packets may take a second or two
  // after the opening, where the session puts silence instead): the capture is counted per second polled.
  const double capture_ms = capture_cpu * 1000 / seconds;
  const double sum = capture_ms + per_second(resample_cpu + mix_cpu + encode_cpu, kPasses);
  std::printf("stages alone on %.1f s of sound (%u Hz, %u channel(s); %zu AAC frames; the AAC encoder is the one "
              "registered, under Wine the stand-in): CPU ms per second of sound: capture (per second polled) %.2f, "
              "resample %.2f, mix %.2f, AAC encode %.2f, sum %.2f\n",
              sound_s, static_cast<unsigned>(format.Format.nSamplesPerSec),
              static_cast<unsigned>(format.Format.nChannels), frames.size(), capture_ms,
              per_second(resample_cpu, kPasses), per_second(mix_cpu, kPasses), per_second(encode_cpu, kPasses), sum);
  const double mux_ms = per_second(mux_cpu, kPasses);
  const double silence_ms = SilenceLoopAlone(seconds / 2);
  std::printf("also in the session, alone: muxing into the parts %.2f, the silence loop %.2f CPU ms per second\n",
              mux_ms, silence_ms);
  return {sum, sum + mux_ms + silence_ms};
}

}  // namespace VellRecorder
