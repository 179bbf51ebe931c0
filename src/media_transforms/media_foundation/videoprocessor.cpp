#include "media_transforms/media_foundation/videoprocessor.h"

#include <mfapi.h>
#include <mferror.h>

#include <string>

#include "tracehr.h"

namespace VellRecorder::MediaFoundation {
namespace {

UINT32 RightAngleOrZero(int degrees) {
  return degrees == 90 || degrees == 180 || degrees == 270 ? static_cast<UINT32>(degrees) : 0;
}

// "1920x1080 rotation 90", for the media type records.
std::string Describe(const SIZE& size, UINT32 rotation) {
  return std::to_string(size.cx) + "x" + std::to_string(size.cy) + " rotation " + std::to_string(rotation);
}

}  // namespace

VideoProcessorFormat VideoProcessorFormat::ForFrame(const D3D11Frame& frame, SIZE output) {
  const D3D11_TEXTURE2D_DESC texture = frame.GetTextureDesc();
  return {{static_cast<LONG>(texture.Width), static_cast<LONG>(texture.Height)}, output,
          frame.RotationDegrees()};
}

HRESULT VideoProcessor::Initialize(const VideoProcessorFormat& format, ULONG_PTR device_manager,
                                   MF_VIDEO_PROCESSOR_MIRROR mirror) {
  RETURN_IF_FAILED(CreateMFT(CLSID_VideoProcessorMFT));
  RETURN_IF_FAILED(DetectAsyncMFT());
  RETURN_IF_FAILED(SetMirrorMode(mirror));
  // Sent even without a manager: the processor then works on system-memory frames.
  RETURN_IF_FAILED(SetDirect3DManager(device_manager));
  return CreateMediaTypes(format);
}

HRESULT VideoProcessor::SetMirrorMode(MF_VIDEO_PROCESSOR_MIRROR mirror) {
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  ComPtr<IMFVideoProcessorControl> control;
  const HRESULT hr = transform_.As(&control);
  // Nothing to set when no mirroring is asked for: Wine's processor has no control interface.
  if (FAILED(hr) && mirror == MIRROR_NONE) return S_OK;
  if (FAILED(hr)) return VELL_TRACE_FAILURE(hr);
  RETURN_IF_FAILED(control->SetMirror(mirror));
  return S_OK;
}

HRESULT VideoProcessor::CreateMediaTypes(const VideoProcessorFormat& format) {
  LOG_DEBUG << "BEGIN: Setting media types for VideoProcessor";
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  const UINT32 rotation = RightAngleOrZero(format.rotation);
  RETURN_IF_FAILED(SetInputType(format, rotation));
  RETURN_IF_FAILED(SetOutputType(format));
  LOG_DEBUG << "END: Setting media types for VideoProcessor";
  return S_OK;
}

HRESULT VideoProcessor::SetInputType(const VideoProcessorFormat& format, UINT32 rotation) {
  RETURN_IF_FAILED(CreateVideoType(MFVideoFormat_ARGB32, static_cast<UINT32>(format.source.cx),
                                   static_cast<UINT32>(format.source.cy), &input_type_));
  IMFMediaType* type = input_type_.Get();
  // The rest unchecked: the processor refuses a type it cannot take at SetInputType anyway.
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  type->SetUINT32(MF_MT_COMPRESSED, FALSE);
  type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
  type->SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
  type->SetUINT32(MF_MT_VIDEO_CHROMA_SITING, MFVideoChromaSubsampling_MPEG2);
  type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_0_255);
  type->SetUINT32(MF_MT_VIDEO_ROTATION, rotation);
  LOG_DEBUG << "INPUT -- " << Describe(format.source, rotation);
  RETURN_IF_FAILED(transform_->SetInputType(0, type, 0));
  return S_OK;
}

HRESULT VideoProcessor::SetOutputType(const VideoProcessorFormat& format) {
  RETURN_IF_FAILED(CreateVideoType(MFVideoFormat_NV12, static_cast<UINT32>(format.output.cx),
                                   static_cast<UINT32>(format.output.cy), &output_type_));
  IMFMediaType* type = output_type_.Get();
  RETURN_IF_FAILED(MFSetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
  type->SetUINT32(MF_MT_VIDEO_ROTATION, 0);
  LOG_DEBUG << "OUTPUT -- " << Describe(format.output, 0);
  RETURN_IF_FAILED(transform_->SetOutputType(0, type, 0));
  return S_OK;
}

HRESULT VideoProcessor::RenegotiateOutputType() {
  if (!transform_ || !output_type_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  LOG_WARNING << "The video processor changed its stream; its output type is set again";
  RETURN_IF_FAILED(transform_->SetOutputType(0, output_type_.Get(), 0));
  return S_OK;
}

}  // namespace VellRecorder::MediaFoundation
