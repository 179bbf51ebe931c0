// The stand-in cameras and their formats, and the media types that describe them.
#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>
#include <uuids.h>

#include <cstring>

#include "capturefilter.h"

namespace VellStandin {

namespace {

constexpr REFERENCE_TIME k30Fps = 333'333;
constexpr REFERENCE_TIME k15Fps = 666'666;
constexpr REFERENCE_TIME k10Fps = 1'000'000;

// {5B1F6A3C-2E7D-4C11-9A55-7D0C31E2A001} and ...A002
const CLSID kTestCameraClsid = {0x5b1f6a3c, 0x2e7d, 0x4c11, {0x9a, 0x55, 0x7d, 0x0c, 0x31, 0xe2, 0xa0, 0x01}};
const CLSID kSlowCameraClsid = {0x5b1f6a3c, 0x2e7d, 0x4c11, {0x9a, 0x55, 0x7d, 0x0c, 0x31, 0xe2, 0xa0, 0x02}};
const CLSID kDescribedCameraClsid = {0x5b1f6a3c, 0x2e7d, 0x4c11, {0x9a, 0x55, 0x7d, 0x0c, 0x31, 0xe2, 0xa0, 0x03}};

WORD BitCount(const GUID& subtype) { return subtype == MEDIASUBTYPE_YUY2 ? 16 : 24; }

}  // namespace

// A camera like a common USB one: uncompressed formats at small sizes, MJPG up to 4K, where 4K runs at only
// 15 frames per second; one format in the VideoInfo2 layout. A camera with no format faster than 15. And a camera
// whose "Description" differs from its FriendlyName: listed, and named by the host, by its description.
const std::vector<CameraProfile>& CameraProfiles() {
  static const std::vector<CameraProfile> profiles = {
      {&kTestCameraClsid, L"Test Camera", L"TestCamera0", L"\\\\?\\vell#testcamera#0",
       {{&MEDIASUBTYPE_YUY2, &FORMAT_VideoInfo, 640, 480, k30Fps},
        {&MEDIASUBTYPE_YUY2, &FORMAT_VideoInfo, 1280, 720, k30Fps},
        {&MEDIASUBTYPE_MJPG, &FORMAT_VideoInfo, 3840, 2160, k15Fps},
        {&MEDIASUBTYPE_MJPG, &FORMAT_VideoInfo2, 2560, 1440, k30Fps},
        {&MEDIASUBTYPE_MJPG, &FORMAT_VideoInfo, 1920, 1080, k30Fps},
        {&MEDIASUBTYPE_YUY2, &FORMAT_VideoInfo, 1920, 1080, k10Fps}}},
      {&kSlowCameraClsid, L"Slow Camera", L"SlowCamera0", L"\\\\?\\vell#slowcamera#0",
       {{&MEDIASUBTYPE_YUY2, &FORMAT_VideoInfo, 1280, 720, k15Fps},
        {&MEDIASUBTYPE_MJPG, &FORMAT_VideoInfo, 1920, 1080, k10Fps}}},
      {&kDescribedCameraClsid, L"USB Video Device", L"DescribedCamera0", L"\\\\?\\vell#describedcamera#0",
       {{&MEDIASUBTYPE_YUY2, &FORMAT_VideoInfo, 640, 480, k30Fps}}, L"Desk Camera"},
  };
  return profiles;
}

AM_MEDIA_TYPE* NewMediaType(const CameraFormat& format) {
  const bool v2 = *format.formatType == FORMAT_VideoInfo2;
  const ULONG size = v2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
  auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(size));
  if (!type || !block) {
    CoTaskMemFree(type);
    CoTaskMemFree(block);
    return nullptr;
  }
  std::memset(type, 0, sizeof(*type));
  std::memset(block, 0, size);
  BITMAPINFOHEADER* header =
      v2 ? &reinterpret_cast<VIDEOINFOHEADER2*>(block)->bmiHeader : &reinterpret_cast<VIDEOINFOHEADER*>(block)->bmiHeader;
  if (v2) {
    reinterpret_cast<VIDEOINFOHEADER2*>(block)->AvgTimePerFrame = format.avgTimePerFrame;
  } else {
    reinterpret_cast<VIDEOINFOHEADER*>(block)->AvgTimePerFrame = format.avgTimePerFrame;
  }
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biWidth = format.width;
  header->biHeight = format.height;
  header->biPlanes = 1;
  header->biBitCount = BitCount(*format.subtype);
  header->biCompression = format.subtype->Data1;  // the FOURCC
  header->biSizeImage = static_cast<DWORD>(format.width * format.height * header->biBitCount / 8);
  type->majortype = MEDIATYPE_Video;
  type->subtype = *format.subtype;
  type->bFixedSizeSamples = *format.subtype == MEDIASUBTYPE_YUY2;
  type->bTemporalCompression = FALSE;
  type->lSampleSize = *format.subtype == MEDIASUBTYPE_YUY2 ? header->biSizeImage : 0;
  type->formattype = *format.formatType;
  type->cbFormat = size;
  type->pbFormat = block;
  return type;
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
}

}  // namespace VellStandin
