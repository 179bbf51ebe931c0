// The in-process COM server around the stand-in AAC encoder: registered under the system encoder's class id,
// as a COM class and as an audio encoder transform (PCM in, AAC out) for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>
#include <wmcodecdsp.h>

#include "aactransform.h"
#include "comserver/comserver.h"

const std::vector<VellStandin::ServedClass>& VellStandin::ServedClasses() {
  static const std::vector<ServedClass> classes = {
      TransformClass(CLSID_AACMFTEncoder, L"Vell Stand-in AAC Encoder", &AacEncoderTransform::Create,
                     MFT_CATEGORY_AUDIO_ENCODER, MFT_ENUM_FLAG_SYNCMFT, {MFMediaType_Audio, MFAudioFormat_PCM},
                     {MFMediaType_Audio, MFAudioFormat_AAC})};
  return classes;
}
