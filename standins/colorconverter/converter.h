// A synchronous colour conversion transform, YUY2 in, NV12 out at the same size, as a media session expects of
// one: types offered once the other side is known (the output's with the input's size and rate), caller-allocated
// output samples, one sample held at a time, sample times and attributes passed on.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>

#include <mutex>

#include "comserver/onestreamtransform.h"
#include "utils/comptr.h"

namespace VellStandin {

// {5E1A3D2C-7B1F-4C8A-9E53-2D6F0A7C4B19}
inline constexpr CLSID kColorConverterClsid = {
    0x5e1a3d2c, 0x7b1f, 0x4c8a, {0x9e, 0x53, 0x2d, 0x6f, 0x0a, 0x7c, 0x4b, 0x19}};

class ColorConverter final : public OneStreamTransform<> {
 public:
  static HRESULT Create(REFIID riid, void** object);

  VELL_STANDIN_TRANSFORM_METHODS

 private:
  ColorConverter() = default;
  ~ColorConverter() override = default;
  // Under mutex_.
  HRESULT Convert(IMFSample* input, IMFSample* output);

  std::mutex mutex_;
  VellRecorder::ComPtr<IMFMediaType> input_type_;   // guarded by mutex_
  VellRecorder::ComPtr<IMFMediaType> output_type_;  // guarded by mutex_
  VellRecorder::ComPtr<IMFSample> pending_;         // guarded by mutex_
  UINT32 width_ = 0;                                // guarded by mutex_; of the input type
  UINT32 height_ = 0;
};

}  // namespace VellStandin
