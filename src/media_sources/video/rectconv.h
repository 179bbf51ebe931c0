// Conversions between the Windows rectangle types and the portable ones of displaygeometry.h.
#pragma once

#include <windows.h>

#include "media_sources/video/displaygeometry.h"

namespace VellRecorder {

inline DisplayRect ToDisplayRect(const RECT& r) { return DisplayRect{r.left, r.top, r.right, r.bottom}; }
inline RECT ToRect(const DisplayRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
inline DisplaySize ToDisplaySize(const SIZE& s) { return DisplaySize{s.cx, s.cy}; }
inline SIZE ToSize(const DisplaySize& s) { return SIZE{s.width, s.height}; }

}  // namespace VellRecorder
