// One audio endpoint captured through WASAPI in shared mode: the system audio by loopback capture of a render
// endpoint, or a microphone chosen by its friendly name. Polled: each Capture drains whatever packets the
// endpoint has queued into the session's ring. Nothing is converted here beyond what the audio engine does
// for us: the stream is 16-bit integer PCM at the endpoint's own mix rate and channel count, and the session
// resamples afterwards.
#pragma once

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "media_sources/audio/audioringbuffer.h"
#include "utils/comptr.h"

namespace VellRecorder {

struct AudioSourceConfig {
  int32_t flow = 0;          // 0: system audio (loopback of a render endpoint); 1: microphone
  std::wstring device_name;  // friendly name, matched exactly; empty: the default endpoint
};

// "system audio" or "microphone \"name\"", for the records about a source.
inline std::wstring DescribeSource(const AudioSourceConfig& config) {
  return config.flow == 0 ? L"system audio" : L"microphone \"" + config.device_name + L"\"";
}

struct CaptureResult {
  uint64_t bytes = 0;  // written into the ring this call
  // The performance-counter time, in 100-ns units, of the first packet the call wrote into the ring, as the
  // endpoint reports it; 0 when no packet was written or the endpoint could not time it.
  int64_t first_packet_qpc_100ns = 0;
  // The first packet written after sound was lost (the endpoint flagged a discontinuity, or a packet did not fit
  // the ring): its time as above, and the bytes this call wrote before it. 0 when nothing was lost.
  int64_t gap_qpc_100ns = 0;
  uint64_t bytes_before_gap = 0;
};

// Threading: one thread at a time, no lock. Initialize and destruction on the thread that configures the
// recording while no capture thread runs; then Capture, Initialize again (to reopen a lost endpoint), the
// endpoint checks and every accessor the capture thread uses on that one thread.
class AudioSource {
 public:
  explicit AudioSource(AudioSourceConfig config);
  ~AudioSource();
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  // Opens the endpoint, sets up the capture format and starts the stream. The first failing step is logged
  // and returned. A microphone that refuses access shows a message box and throws Exception("Missing
  // permissions to access the microphone"). Called again, it opens the endpoint anew (a lost one come back, or
  // another default device); the counts go on.
  HRESULT Initialize();
  // Whether the endpoint to open is listed now: the named one, or a default one. Logs nothing, so that a lost
  // endpoint can be looked for every second.
  bool EndpointPresent() const;
  // The default endpoint this source follows (it has no name) is another one than it opened.
  bool DefaultEndpointMoved() const;
  // Initialize succeeded: there is a capture format and a capture client.
  bool IsInitialized() const { return initialized_; }

  // Moves every queued packet into `ring`. S_OK when packets were taken, AUDCLNT_S_BUFFER_EMPTY when none
  // were queued, a failure from the endpoint otherwise (*result still tells what reached the ring). A packet
  // the ring cannot hold is dropped, logged ("failed to write") and counted. A source that is not initialised
  // fails with AUDCLNT_E_NOT_INITIALIZED and touches neither the ring nor *result.
  HRESULT Capture(AudioRingBuffer* ring, CaptureResult* result = nullptr);

  // The format of every byte delivered; nullptr before a successful Initialize.
  const WAVEFORMATEX* GetCaptureFormat() const;
  const WAVEFORMATEXTENSIBLE* GetCaptureFormatExtensible() const;
  uint64_t GetDiscontinuityCount() const { return discontinuity_count_; }
  // Bytes of packets dropped because the ring was full.
  uint64_t GetDroppedBytes() const { return dropped_bytes_; }
  const AudioSourceConfig& GetConfig() const { return config_; }

  // The capture format for an endpoint's mix format: 16-bit integer PCM of its rate and channel count, always
  // in the extensible form (a plain mix format gets the speaker layout its channel count implies).
  static WAVEFORMATEXTENSIBLE CaptureFormatFor(const WAVEFORMATEX& mix);
  // The first active endpoint of that name whose name can be read; *found stays empty when there is none.
  static HRESULT FindDeviceByName(IMMDeviceEnumerator* enumerator, EDataFlow flow, const std::wstring& name,
                                  ComPtr<IMMDevice>* found);

 private:
  static HRESULT CreateEnumerator(ComPtr<IMMDeviceEnumerator>* enumerator);
  static std::wstring EndpointId(IMMDevice* device);
  EDataFlow DataFlow() const;
  HRESULT LoadDevice(const std::wstring& name);
  HRESULT LoadAudioCaptureClient();
  HRESULT ReadCaptureFormat();
  [[noreturn]] void RefuseMicrophoneAccess() const;
  HRESULT DrainPackets(AudioRingBuffer* ring, CaptureResult* written, uint64_t* taken);
  // Takes one packet; *frames is 0 when the endpoint handed none.
  HRESULT TakePacket(AudioRingBuffer* ring, CaptureResult* written, UINT32* frames);

  const AudioSourceConfig config_;
  ComPtr<IMMDevice> device_;
  ComPtr<IAudioClient> audio_client_;
  ComPtr<IAudioCaptureClient> capture_client_;
  UINT32 buffer_frames_ = 0;
  // Our own copy of the mix format, rewritten to 16-bit PCM: a mix format that is not the extensible form
  // is widened here instead of being written past its allocation.
  WAVEFORMATEXTENSIBLE capture_format_{};
  bool has_capture_format_ = false;
  bool started_ = false;
  bool initialized_ = false;
  uint64_t discontinuity_count_ = 0;
  uint64_t dropped_bytes_ = 0;
  bool gap_pending_ = false;  // sound was lost since the last packet written
  bool empty_packet_logged_ = false;
  std::vector<uint8_t> silence_;  // zeros standing in for packets flagged silent
};

}  // namespace VellRecorder
