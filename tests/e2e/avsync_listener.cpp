#include "avsync_listener.h"

#include <mmdeviceapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "media_sources/audio/audiosource.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

constexpr DWORD kRate = 48000;
constexpr int kLoud = 8000;                   // the beep's samples reach 16,000
constexpr uint64_t kQuietBefore = kRate / 4;  // a beep starts after a quarter second below kLoud
// How far apart packets may be to share one origin: a second either side holds about 200 packets, among which
// the least late is within a millisecond or two of on time. Longer is worse: under Wine the implied origin
// drifts (by about 0.2 ms a second in one measured run) and jumps where sound was lost without a gap being
// reported, and a minimum over ±20 s was off by 2 to 28 ms in that run.
constexpr uint64_t kNear = kRate;

int64_t SamplesTo100ns(uint64_t samples) { return Rescale(static_cast<int64_t>(samples), kRate, 10000000); }

// The stimulus listens to the endpoint as the daemon finds it by name.
ComPtr<IMMDevice> FindCaptureEndpoint(const std::wstring& name) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(enumerator.ReleaseAndGetAddressOf())))) {
    AudioSource::FindDeviceByName(enumerator.Get(), eCapture, name, &device);
  }
  return device;
}

}  // namespace

bool AvSyncListener::Open(const std::wstring& endpoint_name) {
  ComPtr<IMMDevice> device = FindCaptureEndpoint(endpoint_name);
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
  const DWORD flags = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
  // The daemon's buffer length: under Wine a packet's time is when the stream delivered it, and how late that is
  // depends on the stream; opened alike, both streams' times are late alike.
  constexpr REFERENCE_TIME kDaemonBuffer100ns = 500000;
  return device &&
         SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                    reinterpret_cast<void**>(client_.ReleaseAndGetAddressOf()))) &&
         SUCCEEDED(client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kDaemonBuffer100ns, 0, &format, nullptr)) &&
         SUCCEEDED(client_->GetService(__uuidof(IAudioCaptureClient),
                                       reinterpret_cast<void**>(capture_.ReleaseAndGetAddressOf()))) &&
         SUCCEEDED(client_->Start());
}

void AvSyncListener::Poll() {
  if (!capture_) {
    return;
  }
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 qpc = 0;
  while (capture_->GetBuffer(&data, &frames, &flags, nullptr, &qpc) == S_OK) {
    if (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) {
      ++stretch_;
      position_ = 0;
    }
    if (qpc != 0) {
      packets_.push_back({position_, static_cast<int64_t>(qpc) - SamplesTo100ns(position_), stretch_});
    }
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    for (UINT32 i = 0; i < frames; ++i) {
      const bool loud = !(flags & AUDCLNT_BUFFERFLAGS_SILENT) && std::abs(samples[i]) > kLoud;
      if (!loud) {
        ++quiet_samples_;
      } else {
        if (quiet_samples_ >= kQuietBefore) {
          onsets_.emplace_back(stretch_, position_ + i);
        }
        quiet_samples_ = 0;
      }
    }
    position_ += frames;
    capture_->ReleaseBuffer(frames);
  }
}

int64_t AvSyncListener::OriginNear(size_t stretch, uint64_t position) const {
  const uint64_t from = position > kNear ? position - kNear : 0;
  auto it = std::lower_bound(packets_.begin(), packets_.end(), std::make_pair(stretch, from),
                             [](const Packet& p, const std::pair<size_t, uint64_t>& key) {
                               return std::make_pair(p.stretch, p.position) < key;
                             });
  int64_t origin = INT64_MAX;
  for (; it != packets_.end() && it->stretch == stretch && it->position <= position + kNear; ++it) {
    origin = std::min(origin, it->implied_origin);
  }
  return origin;
}

std::vector<int64_t> AvSyncListener::Onsets() const {
  std::vector<int64_t> times;
  for (const auto& [stretch, position] : onsets_) {
    const int64_t origin = OriginNear(stretch, position);
    if (origin != INT64_MAX) {
      times.push_back(origin + SamplesTo100ns(position));
    }
  }
  return times;
}

void AvSyncListener::PacketLateness(double* median_ms, double* max_ms) const {
  std::vector<int64_t> late;
  late.reserve(packets_.size());
  for (const Packet& p : packets_) {
    late.push_back(p.implied_origin - OriginNear(p.stretch, p.position));
  }
  std::sort(late.begin(), late.end());
  *median_ms = late.empty() ? 0 : late[late.size() / 2] / 10000.0;
  *max_ms = late.empty() ? 0 : late.back() / 10000.0;
}

}  // namespace VellRecorder
