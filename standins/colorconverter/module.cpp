// The in-process COM server around the stand-in colour converter: registered as a COM class and as a video
// effect transform (YUY2 in, NV12 out) for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>

#include "comserver/comserver.h"
#include "converter.h"

const std::vector<VellStandin::ServedClass>& VellStandin::ServedClasses() {
  static const std::vector<ServedClass> classes = {
      TransformClass(kColorConverterClsid, L"Vell Stand-in Colour Converter", &ColorConverter::Create,
                     MFT_CATEGORY_VIDEO_EFFECT, 0, {MFMediaType_Video, MFVideoFormat_YUY2},
                     {MFMediaType_Video, MFVideoFormat_NV12})};
  return classes;
}
