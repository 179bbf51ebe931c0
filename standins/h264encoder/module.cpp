// The in-process COM server around the stand-in encoders: both classes as COM classes and as video encoder
// transforms (NV12 in, H.264 out) for MFTEnumEx. The asynchronous class registers as hardware, as hardware
// encoders do.
#include <windows.h>
#include <mfapi.h>

#include "comserver/comserver.h"
#include "encodertransform.h"

namespace VellStandin {
namespace {

ServedClass EncoderClass(const CLSID& clsid, Mode mode, const wchar_t* name, UINT32 flags) {
  return TransformClass(
      clsid, name, [mode](REFIID riid, void** object) { return EncoderTransform::Create(mode, riid, object); },
      MFT_CATEGORY_VIDEO_ENCODER, flags, {MFMediaType_Video, MFVideoFormat_NV12},
      {MFMediaType_Video, MFVideoFormat_H264});
}

}  // namespace

const std::vector<ServedClass>& ServedClasses() {
  static const std::vector<ServedClass> classes = {
      EncoderClass(kAsyncEncoderClsid, Mode::kAsync, L"Vell Stand-in H.264 Encoder (asynchronous)",
                   MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_ASYNCMFT),
      EncoderClass(kSyncEncoderClsid, Mode::kSync, L"Vell Stand-in H.264 Encoder (synchronous)",
                   MFT_ENUM_FLAG_SYNCMFT),
  };
  return classes;
}

}  // namespace VellStandin
