// The system's video processor transform, as the hardware screen session uses it: captured 32-bit desktop
// frames (GPU textures of the capture size in the output's unrotated layout) in, NV12 frames of the encoder's
// size out, turned upright for a rotated output and optionally mirrored. Processing goes through the MFT
// operations (Encode).
#pragma once

#include <windows.h>
#include <mfidl.h>

#include "d3d/d3d11frame.h"
#include "media_transforms/media_foundation/mft.h"

namespace VellRecorder::MediaFoundation {

// Not declared by mingw's headers.
inline constexpr CLSID CLSID_VideoProcessorMFT = {
    0x88753b26, 0x5b24, 0x49bd, {0xb2, 0xe7, 0x0c, 0x44, 0x5c, 0x78, 0xc9, 0x82}};

// What the processor is set up for.
struct VideoProcessorFormat {
  SIZE source;   // the captured frame's size, in the output's unrotated layout (as desktop duplication gives it)
  SIZE output;   // the encoder's size
  int rotation;  // clockwise degrees that turn the captured frame upright (the output's DXGI rotation)

  // The hardware session's: the frame's texture (the output's unrotated layout) and rotation in, the recording's
  // output size out.
  static VideoProcessorFormat ForFrame(const D3D11Frame& frame, SIZE output);
};

// Threading: as MFT.
class VideoProcessor : public MFT {
 public:
  VideoProcessor() = default;

  // Creates the processor, detects asynchrony, sets the mirror mode, hands it the DXGI device manager (an
  // IMFDXGIDeviceManager*, or 0 for system-memory frames) and sets both media types. The first failure is
  // returned.
  HRESULT Initialize(const VideoProcessorFormat& format, ULONG_PTR device_manager, MF_VIDEO_PROCESSOR_MIRROR mirror);

  // Sets the mirror mode through IMFVideoProcessorControl. A processor without that interface can still be
  // asked for no mirroring (Wine's has none).
  HRESULT SetMirrorMode(MF_VIDEO_PROCESSOR_MIRROR mirror);

  // ARGB32 of the source size in, declared rotated by the rotation (90, 180 or 270; any other value counts as
  // 0), so that the processor turns the picture upright; NV12 of the output size out, unrotated.
  HRESULT CreateMediaTypes(const VideoProcessorFormat& format);

 protected:
  // The processor offers its input's size after a stream change; the encoder still takes the output size
  // chosen at the start, so that type is set again.
  HRESULT RenegotiateOutputType() override;

 private:
  HRESULT SetInputType(const VideoProcessorFormat& format, UINT32 rotation);
  HRESULT SetOutputType(const VideoProcessorFormat& format);
};

}  // namespace VellRecorder::MediaFoundation
