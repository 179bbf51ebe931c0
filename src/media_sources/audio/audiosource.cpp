#include "media_sources/audio/audiosource.h"

#include <algorithm>
#include <utility>

#include "exception.h"
#include "media_sources/audio/capturepacket.h"
#include "tracehr.h"

namespace VellRecorder {
namespace {

// PKEY_Device_FriendlyName: mingw declares it without a library that defines it.
constexpr PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

// KSDATAFORMAT_SUBTYPE_PCM: ksmedia.h and the Media Foundation headers cannot be included together with
// mingw's audioclient.h.
constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The endpoint's buffer: 200 ms, eight of the session's 25 ms polling periods. The endpoint is drained at every
// poll, so a larger buffer adds no delay; it only keeps the sound that a late poll would have lost. Beside busy
// programs, 50 ms (twice the period) lost sound to late polls; 200 ms kept nearly all of it.
constexpr REFERENCE_TIME kBufferDuration100ns = 2000000;

// A mix format may come as a plain WAVEFORMATEX; the capture format is always the extensible form, with the
// speaker layout a plain format implies.
DWORD DefaultChannelMask(WORD channels) {
  if (channels == 1) return SPEAKER_FRONT_CENTER;
  if (channels == 2) return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  return 0;
}

bool IsExtensible(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
         format.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
}

// Frees what GetMixFormat allocated.
struct CoTaskMemFormat {
  WAVEFORMATEX* format = nullptr;
  ~CoTaskMemFormat() { CoTaskMemFree(format); }
};

}  // namespace

AudioSource::AudioSource(AudioSourceConfig config) : config_(std::move(config)) {}

AudioSource::~AudioSource() {
  if (started_) audio_client_->Stop();
  capture_client_.Reset();
  audio_client_.Reset();
  device_.Reset();
}

HRESULT AudioSource::Initialize() {
  initialized_ = false;
  // Initialising again replaces the stream (a lost endpoint reopened): the running one is stopped before its
  // client is let go. The counts go on: they are the recording's.
  if (started_) audio_client_->Stop();
  started_ = false;
  gap_pending_ = false;
  RETURN_IF_FAILED(LoadDevice(config_.device_name));
  RETURN_IF_FAILED(device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                     reinterpret_cast<void**>(audio_client_.ReleaseAndGetAddressOf())));
  RETURN_IF_FAILED(LoadAudioCaptureClient());
  RETURN_IF_FAILED(audio_client_->Start());
  started_ = true;
  initialized_ = true;
  return S_OK;
}

HRESULT AudioSource::CreateEnumerator(ComPtr<IMMDeviceEnumerator>* enumerator) {
  RETURN_IF_FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                    reinterpret_cast<void**>(enumerator->ReleaseAndGetAddressOf())));
  return S_OK;
}

EDataFlow AudioSource::DataFlow() const { return config_.flow != 0 ? eCapture : eRender; }

HRESULT AudioSource::LoadDevice(const std::wstring& name) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  RETURN_IF_FAILED(CreateEnumerator(&enumerator));
  if (name.empty()) {
    RETURN_IF_FAILED(enumerator->GetDefaultAudioEndpoint(DataFlow(), eConsole, device_.ReleaseAndGetAddressOf()));
    return S_OK;
  }
  RETURN_IF_FAILED(FindDeviceByName(enumerator.Get(), DataFlow(), name, &device_));
  if (!device_) {
    LOG_ERROR << "no audio device found with name: " << name;
    return E_UNEXPECTED;
  }
  return S_OK;
}

// An endpoint whose name cannot be read (being removed, or a driver's broken property store) is passed over: the
// one named may still come after it.
HRESULT AudioSource::FindDeviceByName(IMMDeviceEnumerator* enumerator, EDataFlow flow, const std::wstring& name,
                                      ComPtr<IMMDevice>* found) {
  found->Reset();
  ComPtr<IMMDeviceCollection> devices;
  RETURN_IF_FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, devices.ReleaseAndGetAddressOf()));
  UINT count = 0;
  RETURN_IF_FAILED(devices->GetCount(&count));
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    ComPtr<IPropertyStore> properties;
    if (FAILED(devices->Item(i, device.ReleaseAndGetAddressOf())) ||
        FAILED(device->OpenPropertyStore(STGM_READ, properties.ReleaseAndGetAddressOf()))) {
      continue;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    // Exact, case-sensitive: the host application names the device as the capture-device list gave it.
    const bool match = SUCCEEDED(properties->GetValue(kFriendlyNameKey, &value)) && value.vt == VT_LPWSTR &&
                       value.pwszVal != nullptr && name == value.pwszVal;
    PropVariantClear(&value);
    if (match) {
      *found = std::move(device);
      return S_OK;
    }
  }
  return S_OK;
}

bool AudioSource::EndpointPresent() const {
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(CreateEnumerator(&enumerator))) return false;
  ComPtr<IMMDevice> device;
  if (config_.device_name.empty()) {
    return SUCCEEDED(enumerator->GetDefaultAudioEndpoint(DataFlow(), eConsole, device.ReleaseAndGetAddressOf()));
  }
  return SUCCEEDED(FindDeviceByName(enumerator.Get(), DataFlow(), config_.device_name, &device)) && device;
}

bool AudioSource::DefaultEndpointMoved() const {
  if (!config_.device_name.empty() || !device_) return false;
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> current;
  if (FAILED(CreateEnumerator(&enumerator)) ||
      FAILED(enumerator->GetDefaultAudioEndpoint(DataFlow(), eConsole, current.ReleaseAndGetAddressOf()))) {
    return false;
  }
  return EndpointId(current.Get()) != EndpointId(device_.Get());
}

std::wstring AudioSource::EndpointId(IMMDevice* device) {
  LPWSTR id = nullptr;
  if (FAILED(device->GetId(&id)) || id == nullptr) return std::wstring();
  std::wstring text(id);
  CoTaskMemFree(id);
  return text;
}

HRESULT AudioSource::LoadAudioCaptureClient() {
  RETURN_IF_FAILED(ReadCaptureFormat());
  // The audio engine converts to our 16-bit format only when asked to: without these flags Windows refuses
  // any shared-mode format other than the mix format (which is 32-bit float on most devices).
  DWORD flags = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
  if (config_.flow == 0) flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;
  const HRESULT hr = audio_client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration100ns, 0,
                                               &capture_format_.Format, nullptr);
  if (hr == E_ACCESSDENIED && config_.flow != 0) RefuseMicrophoneAccess();
  RETURN_IF_FAILED(hr);
  RETURN_IF_FAILED(audio_client_->GetBufferSize(&buffer_frames_));
  RETURN_IF_FAILED(audio_client_->GetService(__uuidof(IAudioCaptureClient),
                                             reinterpret_cast<void**>(capture_client_.ReleaseAndGetAddressOf())));
  return S_OK;
}

HRESULT AudioSource::ReadCaptureFormat() {
  has_capture_format_ = false;
  CoTaskMemFormat mix;
  RETURN_IF_FAILED(audio_client_->GetMixFormat(&mix.format));
  if (mix.format == nullptr) return VELL_TRACE_FAILURE(E_POINTER);
  capture_format_ = CaptureFormatFor(*mix.format);
  has_capture_format_ = true;
  return S_OK;
}

WAVEFORMATEXTENSIBLE AudioSource::CaptureFormatFor(const WAVEFORMATEX& mix) {
  constexpr WORD kBits = 16;
  WAVEFORMATEXTENSIBLE format{};
  if (IsExtensible(mix)) {
    format = *reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(&mix);
  } else {
    format.Format = mix;
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.dwChannelMask = DefaultChannelMask(mix.nChannels);
  }
  WAVEFORMATEX& head = format.Format;
  head.wBitsPerSample = kBits;
  head.nBlockAlign = static_cast<WORD>(kBits * head.nChannels / 8);
  head.nAvgBytesPerSec = head.nSamplesPerSec * head.nBlockAlign;
  format.Samples.wValidBitsPerSample = kBits;
  format.SubFormat = kSubtypePcm;
  return format;
}

void AudioSource::RefuseMicrophoneAccess() const {
  const std::wstring text =
      L"Cannot access the microphone: " + config_.device_name + L". Check your microphone permissions.";
  MessageBoxW(nullptr, text.c_str(), L"", MB_OK);
  VELL_THROW("Missing permissions to access the microphone");
}

HRESULT AudioSource::Capture(AudioRingBuffer* ring, CaptureResult* result) {
  if (!initialized_) return VELL_TRACE_FAILURE(AUDCLNT_E_NOT_INITIALIZED);
  if (ring == nullptr) return VELL_TRACE_FAILURE(E_POINTER);
  CaptureResult written;
  uint64_t taken = 0;
  const HRESULT hr = DrainPackets(ring, &written, &taken);
  // What reached the ring is reported even when a later packet failed: the caller reads it either way.
  if (result != nullptr) *result = written;
  if (FAILED(hr)) return hr;
  return taken != 0 ? S_OK : AUDCLNT_S_BUFFER_EMPTY;
}

// At most what the endpoint's buffer holds, and nothing after a packet of no frames: an endpoint that announced
// packets faster than they were taken, or packets it then handed out empty, held the capture thread (and a Stop
// waiting for it) for ever. What is left waits for the next poll.
HRESULT AudioSource::DrainPackets(AudioRingBuffer* ring, CaptureResult* written, uint64_t* taken) {
  uint64_t frames_left = buffer_frames_;
  UINT32 next_packet_frames = 0;
  RETURN_IF_FAILED(capture_client_->GetNextPacketSize(&next_packet_frames));
  while (next_packet_frames != 0 && frames_left != 0) {
    UINT32 frames = 0;
    RETURN_IF_FAILED(TakePacket(ring, written, &frames));
    if (frames == 0) {
      if (!empty_packet_logged_) LOG_ERROR << "IAudioCaptureClient::GetBuffer said to read 0 frames";
      empty_packet_logged_ = true;
      return S_OK;
    }
    *taken += static_cast<uint64_t>(capture_format_.Format.nBlockAlign) * frames;
    frames_left -= std::min<uint64_t>(frames, frames_left);
    RETURN_IF_FAILED(capture_client_->GetNextPacketSize(&next_packet_frames));
  }
  return S_OK;
}

HRESULT AudioSource::TakePacket(AudioRingBuffer* ring, CaptureResult* written, UINT32* frames) {
  BYTE* data = nullptr;
  DWORD flags = 0;
  UINT64 qpc_position = 0;
  RETURN_IF_FAILED(capture_client_->GetBuffer(&data, frames, &flags, nullptr, &qpc_position));
  const size_t bytes = static_cast<size_t>(capture_format_.Format.nBlockAlign) * *frames;
  if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0) gap_pending_ = true;
  if (bytes != 0) {
    if (WritePacket(ring, data, bytes, flags, &silence_)) {
      const bool timed = (flags & kPacketTimestampError) == 0;
      // The time of the first byte this call put in the ring; none for a packet the endpoint could not time.
      if (written->bytes == 0 && timed) written->first_packet_qpc_100ns = static_cast<int64_t>(qpc_position);
      if (gap_pending_ && timed && written->gap_qpc_100ns == 0) {
        written->gap_qpc_100ns = static_cast<int64_t>(qpc_position);
        written->bytes_before_gap = written->bytes;
      }
      gap_pending_ = false;
      written->bytes += bytes;
    } else {
      LOG_ERROR << "failed to write";
      dropped_bytes_ += bytes;
      gap_pending_ = true;
    }
  }
  if (CountsAsDiscontinuity(flags)) ++discontinuity_count_;
  RETURN_IF_FAILED(capture_client_->ReleaseBuffer(*frames));
  return S_OK;
}

const WAVEFORMATEX* AudioSource::GetCaptureFormat() const {
  return has_capture_format_ && initialized_ ? &capture_format_.Format : nullptr;
}

const WAVEFORMATEXTENSIBLE* AudioSource::GetCaptureFormatExtensible() const {
  return has_capture_format_ && initialized_ ? &capture_format_ : nullptr;
}

}  // namespace VellRecorder
