#include "media_sources/video/displaygeometry.h"

#include <utility>

namespace VellRecorder {

int RotationDegrees(uint32_t orientation) {
  switch (orientation) {
    case 1: return 90;
    case 2: return 180;
    case 3: return 270;
    default: return 0;
  }
}

DisplayRect TransposeForRotation(const DisplayRect& bounds, int rotation_degrees) {
  if (rotation_degrees != 90 && rotation_degrees != 270) return bounds;
  return DisplayRect{bounds.top, bounds.left, bounds.bottom, bounds.right};
}

bool IsPrimaryBounds(const DisplayRect& bounds) { return bounds.left == 0 && bounds.top == 0; }

bool ContainsRect(const DisplayRect& outer, const DisplayRect& inner) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

DisplayRect ScaleToLogical(const DisplayRect& rect, float scale) {
  auto scaled = [scale](int32_t value) { return static_cast<int32_t>(static_cast<float>(value) / scale); };
  return DisplayRect{scaled(rect.left), scaled(rect.top), scaled(rect.right), scaled(rect.bottom)};
}

bool IsEmptyCrop(const DisplayRect& crop) { return crop.right == crop.left || crop.bottom == crop.top; }

DisplaySize EvenSize(DisplaySize size) {
  if (size.width % 2 != 0) ++size.width;
  if (size.height % 2 != 0) ++size.height;
  return size;
}

CaptureArea ComputeCaptureArea(const DisplayRect& display_bounds, const DisplayRect& crop,
                               DisplaySize requested_output) {
  CaptureArea area;
  // A reversed crop would give a negative capture size, and every buffer size derived from it would be
  // garbage; recording the whole display is the one reading of it that works.
  if (IsEmptyCrop(crop) || crop.Width() < 0 || crop.Height() < 0) {
    area.captureRect = display_bounds;
    area.outputSize = EvenSize(requested_output);
    return area;
  }
  DisplayRect adjusted = crop;
  if (adjusted.Width() % 2 != 0) {
    if (adjusted.right + 1 > display_bounds.Width()) {
      --adjusted.left;
    } else {
      ++adjusted.right;
    }
  }
  if (adjusted.Height() % 2 != 0) {
    if (adjusted.bottom + 1 > display_bounds.Height()) {
      --adjusted.top;
    } else {
      ++adjusted.bottom;
    }
  }
  area.captureRect = DisplayRect{adjusted.left + display_bounds.left, adjusted.top + display_bounds.top,
                                 adjusted.right + display_bounds.left, adjusted.bottom + display_bounds.top};
  area.outputSize = EvenSize(DisplaySize{area.captureRect.Width(), area.captureRect.Height()});
  return area;
}

CursorPlacement PlaceCursor(int32_t screen_x, int32_t screen_y, int32_t hotspot_x, int32_t hotspot_y,
                            const DisplayRect& capture_rect) {
  CursorPlacement placement;
  placement.x = screen_x - capture_rect.left - hotspot_x;
  placement.y = screen_y - capture_rect.top - hotspot_y;
  placement.draw = placement.x >= 0 && placement.x <= capture_rect.Width() && placement.y >= 0 &&
                   placement.y <= capture_rect.Height();
  return placement;
}

}  // namespace VellRecorder
