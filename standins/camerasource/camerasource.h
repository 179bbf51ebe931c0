// Stand-ins for a camera's media source.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <string>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder::StandIns {

// A camera that records: a video file (e.g. an AVI of raw YUY2) opened by Media Foundation's source resolver,
// whose source delivers frames paced by the presentation clock, as a camera does.
HRESULT OpenClipCamera(const std::wstring& url, IMFMediaSource** source);

// A camera that lists the given formats and is never started: enough to choose a format and build a topology.
struct CameraFormatEntry {
  GUID subtype;
  UINT32 width, height;
  UINT32 rate_numerator, rate_denominator;  // 0/0: no rate stated
};
// `handler`: the media type handler of its one stream, to see which type was set as current.
HRESULT CreateFormatsCamera(const std::vector<CameraFormatEntry>& formats, ComPtr<IMFMediaTypeHandler>* handler,
                            IMFMediaSource** source);

}  // namespace VellRecorder::StandIns
