// How strictly the stand-in encoder behaves like real hardware encoders where they are awkward for their
// callers, from the environment variable VELL_H264_STANDIN_STRICT (comma-separated):
//   hold=N                    N access units are held back whatever the latency mode, and come out at the
//                             next inputs or all at once at a drain. Default: 2 for the asynchronous variant
//                             (hardware encoders keep frames in flight even in low-latency mode), 0 for the
//                             synchronous one.
//   sps-out-of-band           keyframes carry no SPS or PPS: the parameter sets are only in the output type's
//                             MF_MT_MPEG_SEQUENCE_HEADER (which every keyframe updates in either case).
//   ignore-keyframe-requests  CODECAPI_AVEncVideoForceKeyFrame is accepted and ignored: keyframes come only at
//                             the GOP's interval.
//   gop=N                     keyframes every N frames whatever the caller set (CODECAPI_AVEncMPVGOPSize);
//                             0: only the first frame.
//   lenient                   none of the above (hold=0).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace VellStandin {

struct Strictness {
  size_t hold = 0;
  bool sps_out_of_band = false;
  bool ignore_keyframe_requests = false;
  std::optional<uint32_t> gop;  // the caller's when unset
};

// The defaults for the variant, changed by `text`; false (and the defaults) when `text` has anything else.
bool ParseStrictness(const std::wstring& text, bool asynchronous, Strictness* strictness);

// The environment's setting for the variant; a setting that cannot be read leaves the defaults (and says so on
// standard error).
Strictness StrictnessFromEnvironment(bool asynchronous);

}  // namespace VellStandin
