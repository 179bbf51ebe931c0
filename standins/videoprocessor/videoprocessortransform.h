// The stand-in processor's COM object (see standinvideoprocessor.h for what it does and why).
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>

#include <mutex>

#include "comserver/onestreamtransform.h"
#include "utils/comptr.h"
#include "videoprocessor/outputpool.h"
#include "videoprocessor/picturerenderer.h"

namespace VellRecorder::StandIns {

class VideoProcessorTransform final : public VellStandin::OneStreamTransform<IMFVideoProcessorControl> {
 public:
  // Output samples in flight when it provides them, unless VELL_VIDEOPROCESSOR_STRICT says otherwise.
  static constexpr size_t kDefaultPoolSize = 3;
  // Check HasAttributes() before handing it out: the constructor may have failed to make the store.
  VideoProcessorTransform();
  bool HasAttributes() const { return static_cast<bool>(attributes_); }

  // IMFTransform
  VELL_STANDIN_TRANSFORM_METHODS

  // IMFVideoProcessorControl: rotation and mirroring; rectangles, border colour and constriction are not
  // needed by the recorder and are refused.
  HRESULT STDMETHODCALLTYPE SetBorderColor(MFARGB*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSourceRectangle(RECT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDestinationRectangle(RECT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMirror(MF_VIDEO_PROCESSOR_MIRROR mirror) override;
  HRESULT STDMETHODCALLTYPE SetRotation(MF_VIDEO_PROCESSOR_ROTATION rotation) override;
  HRESULT STDMETHODCALLTYPE SetConstrictionSize(SIZE*) override { return E_NOTIMPL; }

 private:
  ~VideoProcessorTransform() override = default;

  bool ProvidesSamples() const;
  DWORD OutputBytes() const;
  Matrix OutputMatrix() const;
  // Clockwise turn that undoes the input's declared rotation (less the output's).
  int Turn() const;
  HRESULT Render(IMFSample* input, IMFSample* output);

  // Guards everything below: the recording thread streams while the control thread may configure or flush.
  std::mutex mutex_;
  ComPtr<IMFMediaType> input_type_;
  ComPtr<IMFMediaType> output_type_;
  ComPtr<IMFSample> pending_;  // the one accepted input not yet turned into output
  ComPtr<IMFDXGIDeviceManager> device_manager_;
  MF_VIDEO_PROCESSOR_ROTATION rotation_ = ROTATION_NORMAL;
  MF_VIDEO_PROCESSOR_MIRROR mirror_ = MIRROR_NONE;
  // Faults asked for by the test (see the constructor), fixed after construction but outputs_.
  long stream_change_after_ = -1;
  bool keeps_inputs_ = false;
  long outputs_ = 0;  // delivered, counted up to the stream change
  OutputPool pool_{kDefaultPoolSize};  // its capacity fixed after construction
  PictureRenderer renderer_;
};

}  // namespace VellRecorder::StandIns
