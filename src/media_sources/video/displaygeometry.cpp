#include "media_sources/video/displaygeometry.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "media_transforms/encodersettings.h"

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
  // The largest odd value cannot grow; it is far beyond what CaptureAreaRefusal lets through anyway.
  if (size.width % 2 != 0 && size.width != INT32_MAX) ++size.width;
  if (size.height % 2 != 0 && size.height != INT32_MAX) ++size.height;
  return size;
}

namespace {

// The overlap of two rectangles; empty (zero or negative width or height) when there is none.
DisplayRect Intersect(const DisplayRect& a, const DisplayRect& b) {
  return DisplayRect{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                     std::min(a.bottom, b.bottom)};
}

int64_t ScaledPoints(int32_t points, float scale) {
  return static_cast<int64_t>(static_cast<double>(points) * static_cast<double>(scale));
}

int32_t ClampTo(int64_t value, int32_t low, int32_t high) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, low, high));
}

}  // namespace

DisplaySize UnrotatedSize(DisplaySize desktop, int rotation_degrees) {
  if (rotation_degrees != 90 && rotation_degrees != 270) return desktop;
  return DisplaySize{desktop.height, desktop.width};
}

// Turning the duplicated image clockwise by 90 degrees moves its pixel (u, v) to (W - 1 - v, u) of the desktop
// image of width W; 180 to (W - 1 - u, H - 1 - v); 270 to (v, H - 1 - u). These are the inverses.
DisplayPoint ToUnrotatedPixel(DisplayPoint p, DisplaySize desktop, int rotation_degrees) {
  switch (rotation_degrees) {
    case 90: return DisplayPoint{p.y, desktop.width - 1 - p.x};
    case 180: return DisplayPoint{desktop.width - 1 - p.x, desktop.height - 1 - p.y};
    case 270: return DisplayPoint{desktop.height - 1 - p.y, p.x};
    default: return p;
  }
}

DisplayRect DuplicatedImageRect(const DisplayRect& output, const DisplayRect& capture, int rotation_degrees) {
  const DisplayRect on_output = Intersect(output, capture);
  if (on_output.Width() <= 0 || on_output.Height() <= 0) return DisplayRect{};
  const DisplaySize desktop{output.Width(), output.Height()};
  // Two opposite corner pixels of the rectangle, relative to the output, wherever the turn puts them.
  const DisplayPoint a = ToUnrotatedPixel({on_output.left - output.left, on_output.top - output.top}, desktop,
                                          rotation_degrees);
  const DisplayPoint b = ToUnrotatedPixel({on_output.right - 1 - output.left, on_output.bottom - 1 - output.top},
                                          desktop, rotation_degrees);
  return DisplayRect{std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x) + 1, std::max(a.y, b.y) + 1};
}

std::optional<CaptureArea> ComputeCaptureArea(const DisplayRect& display_bounds, const DisplayRect& crop,
                                              DisplaySize requested_output) {
  CaptureArea area;
  // A reversed crop would give a negative capture size, and every buffer size derived from it would be
  // garbage; recording the whole display is the one reading of it that works.
  if (IsEmptyCrop(crop) || crop.Width() < 0 || crop.Height() < 0) {
    area.captureRect = display_bounds;
    area.outputSize = EvenSize(requested_output);
    return area;
  }
  // Whatever lies past the display's edge has no pixels to copy: captured, it would come out black.
  DisplayRect adjusted = Intersect(crop, DisplayRect{0, 0, display_bounds.Width(), display_bounds.Height()});
  if (adjusted.Width() <= 0 || adjusted.Height() <= 0) return std::nullopt;
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

std::optional<DisplayRect> CropToPixels(int32_t x, int32_t y, int32_t width, int32_t height, float scale,
                                        DisplaySize display_size) {
  const int64_t left = ScaledPoints(x, scale);
  const int64_t top = ScaledPoints(y, scale);
  const int64_t right = left + ScaledPoints(width, scale);
  const int64_t bottom = top + ScaledPoints(height, scale);
  const DisplayRect on_display{ClampTo(left, 0, display_size.width), ClampTo(top, 0, display_size.height),
                               ClampTo(right, 0, display_size.width), ClampTo(bottom, 0, display_size.height)};
  if (right <= left || bottom <= top || on_display.Width() <= 0 || on_display.Height() <= 0) return std::nullopt;
  return on_display;
}

std::string CaptureAreaRefusal(const CaptureArea& area) {
  const int32_t width = area.captureRect.Width();
  const int32_t height = area.captureRect.Height();
  if (width <= 0 || height <= 0 || width > kMaxCaptureSide || height > kMaxCaptureSide) {
    return "capture size " + std::to_string(width) + "x" + std::to_string(height) + " outside 1x1 to " +
           std::to_string(kMaxCaptureSide) + "x" + std::to_string(kMaxCaptureSide);
  }
  if (!EncoderAcceptsSize(area.outputSize.width, area.outputSize.height)) {
    return "output size " + std::to_string(area.outputSize.width) + "x" + std::to_string(area.outputSize.height) +
           " is not one the H.264 encoders take";
  }
  return std::string();
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

int32_t CaptureBandRows(int32_t height, int64_t row_bytes, int64_t max_band_bytes) {
  if (height <= 0) return 0;
  const int64_t rows_fitting = row_bytes > 0 && max_band_bytes > 0 ? max_band_bytes / row_bytes : height;
  if (rows_fitting < 1) return 1;
  const int64_t bands = (height + rows_fitting - 1) / rows_fitting;
  return static_cast<int32_t>((height + bands - 1) / bands);
}

}  // namespace VellRecorder
