// The hardware H.264 encoder: finds an H.264 encoder transform (hardware first), configures it for screen
// recording (peak-constrained VBR at a bitrate chosen from the frame area, low latency, fixed GOP) and sets
// NV12 in / H.264 out. Driven through the MFT operations: Encode for a synchronous transform, the event loop
// for an asynchronous one.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>
#include <vector>

#include "media_transforms/encodersettings.h"
#include "media_transforms/media_foundation/mft.h"
#include "utils/comptr.h"

struct IMFActivate;
struct IMFDXGIDeviceManager;

namespace VellRecorder::MediaFoundation {

struct EncoderSettings {
  // A recording's: a keyframe every kKeyframeIntervalSeconds (parts are cut at keyframes), the rest as declared
  // below. `frame_rate` over `frame_rate_denominator` frames per second (a camera's may be 30000/1001).
  static constexpr uint32_t kKeyframeIntervalSeconds = 2;
  static EncoderSettings Recording(uint32_t width, uint32_t height, uint32_t frame_rate,
                                   uint32_t frame_rate_denominator = 1);

  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frame_rate = 30;
  uint32_t frame_rate_denominator = 1;
  uint8_t quality_vs_speed = 70;   // 0 to 100
  uint8_t gop_size = 60;           // frames
  double max_bitrate_factor = 1.2;  // peak bitrate = target x factor
  int32_t level = 51;               // carried for callers; the media types use their own values
  int32_t profile = 66;
  IMFDXGIDeviceManager* device_manager = nullptr;  // borrowed; null for system-memory input
  // A media session drives the transform (a topology node): Initialize leaves the stream's start to it.
  bool media_session_streams = false;
};

// Sets one codec property of an encoder through its ICodecAPI (E_NOINTERFACE when it has none), as VT_BOOL or
// VT_UI4. Encoders read their properties there; many ignore the attribute store.
HRESULT SetCodecProperty(IUnknown* encoder, const GUID& property, uint32_t value, bool boolean = false);
// A new type of the encoder's input (NV12) or output (H.264): the settings' size and rate, progressive, square
// pixels. A media session's topology states the encoder's input with it.
HRESULT CreateEncoderType(const GUID& subtype, const EncoderSettings& settings, ComPtr<IMFMediaType>* type);
// Asks an encoder to make its next frame a keyframe; encoders that cannot keep their own schedule.
HRESULT RequestKeyframe(IUnknown* encoder);
// The encoder's sequence header (MF_MT_MPEG_SEQUENCE_HEADER of its output type: Annex-B SPS and PPS), empty when
// it publishes none (yet).
std::vector<uint8_t> SequenceHeader(IMFTransform* encoder);

// Threading: as MFT. The device manager must outlive the encoder.
class H264Encoder : public MFT {
 public:
  explicit H264Encoder(const EncoderSettings& settings);
  ~H264Encoder() override;

  // Enumerates the encoder transforms and keeps the first that fully initialises; logs its name.
  HRESULT Initialize();
  EncoderSettings GetSettings() const { return enc_settings_; }
  // The table's bitrate for the frame area; ten times that for a synchronous (software) transform on a
  // system older than Windows 8.
  uint32_t GetBitrate() const;
  // The next frame given to the encoder is to be a keyframe. Logged at debug level when the encoder cannot.
  void RequestKeyframe();
  std::vector<uint8_t> SequenceHeader() const { return MediaFoundation::SequenceHeader(transform_.Get()); }
  // Hands the configured transform to its new owner (a media session's topology), which shuts it down; this
  // encoder is empty afterwards.
  ComPtr<IMFTransform> HandOverTransform();

 private:
  HRESULT SelectMFT();
  HRESULT InitializeMFT(IMFActivate* activate);
  // The codec properties go into the transform's attribute store and, where the transform has it, through
  // ICodecAPI.
  struct CodecProperty {
    const GUID* id;
    uint32_t value;
    bool boolean;  // VT_BOOL through ICodecAPI rather than VT_UI4
  };
  HRESULT SetEncoderProperties();
  HRESULT CreateMediaTypes();
  HRESULT CreateOutputType();
  HRESULT CreateInputType();

  BitrateTable bitrate_table_;
  EncoderSettings enc_settings_;
  ComPtr<IMFActivate> activate_;  // of the transform in use
};

}  // namespace VellRecorder::MediaFoundation
