// The pointer shape as a desktop duplication reports it, read from a cursor with GDI.
#pragma once

#include <windows.h>
#include <dxgi1_2.h>

#include <cstdint>
#include <vector>

namespace VellRecorder::StandIn {

// A colour cursor becomes DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR (32-bit BGRA rows, alpha taken from the mask
// when the colour bitmap carries none); one without colour becomes _MONOCHROME (AND mask rows over XOR mask rows,
// one bit per pixel). Rows are top-down. A cursor that cannot be copied (another process's) reads as the arrow.
bool ReadPointerShape(HCURSOR cursor, std::vector<uint8_t>* shape, DXGI_OUTDUPL_POINTER_SHAPE_INFO* info);

}  // namespace VellRecorder::StandIn
