// Rectangle arithmetic of the display list, the recording settings and the cursor overlay. Kept free of the
// Windows API so that it builds and is tested on any platform; the Windows code converts RECT and SIZE at its
// edges (rectconv.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace VellRecorder {

// Same layout and meaning as RECT: right and bottom are exclusive.
struct DisplayRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const DisplayRect& other) const {
    return left == other.left && top == other.top && right == other.right && bottom == other.bottom;
  }
  bool operator!=(const DisplayRect& other) const { return !(*this == other); }
};

struct DisplaySize {
  int32_t width = 0;
  int32_t height = 0;

  bool operator==(const DisplaySize& other) const { return width == other.width && height == other.height; }
};

// dmDisplayOrientation (0..3, quarter turns clockwise) in degrees; anything unknown reads as 0.
int RotationDegrees(uint32_t orientation);

// Monitors turned by 90 or 270 degrees are listed with left/top and right/bottom swapped.
DisplayRect TransposeForRotation(const DisplayRect& bounds, int rotation_degrees);

// The primary monitor is the one whose top-left corner is the desktop origin.
bool IsPrimaryBounds(const DisplayRect& bounds);

// True when inner lies wholly within outer (edges may touch).
bool ContainsRect(const DisplayRect& outer, const DisplayRect& inner);

// Each coordinate divided by the scale and truncated toward zero.
DisplayRect ScaleToLogical(const DisplayRect& rect, float scale);

// The crop of "no crop": zero width or zero height.
bool IsEmptyCrop(const DisplayRect& crop);

// An odd width or height grows by one: the 4:2:0 pictures of the encoders need even sizes.
DisplaySize EvenSize(DisplaySize size);

// A turned output's desktop image as desktop duplication delivers it: in the output's unrotated layout, to be
// turned clockwise by `rotation_degrees` (90, 180 or 270; anything else reads as 0) to show as laid out on the
// desktop. `desktop` is the output's size as laid out; a quarter turn swaps the sides of the duplicated image.
DisplaySize UnrotatedSize(DisplaySize desktop, int rotation_degrees);

// The pixel of the duplicated image that shows pixel (x, y) of the desktop image; both relative to their
// picture's top-left corner.
struct DisplayPoint {
  int32_t x = 0;
  int32_t y = 0;
};
DisplayPoint ToUnrotatedPixel(DisplayPoint desktop_pixel, DisplaySize desktop, int rotation_degrees);

// The rectangle of the duplicated image that holds `capture` (desktop coordinates) of an output laid out at
// `output` (desktop coordinates); empty when the capture rectangle lies off the output, cut to the output
// otherwise. Unturned, it is the capture rectangle moved by the output's corner.
DisplayRect DuplicatedImageRect(const DisplayRect& output, const DisplayRect& capture, int rotation_degrees);

struct CaptureArea {
  DisplayRect captureRect;  // desktop coordinates
  DisplaySize outputSize;   // even
};

// What a recording captures on a display with the given bounds (desktop coordinates). `crop` is relative to
// the display's top-left corner, in physical pixels; without one the whole display is captured at the
// requested output size. A crop is first cut to the part of it that lies on the display; an odd width or
// height is then made even by growing the crop by one pixel (toward the left or top when growing right or
// down would leave the display), and the output size becomes the crop's size. A crop with a negative width
// or height selects nothing sensible and counts as no crop. Empty when the crop lies wholly off the display.
std::optional<CaptureArea> ComputeCaptureArea(const DisplayRect& display_bounds, const DisplayRect& crop,
                                              DisplaySize requested_output);

// The host application's crop ("cropRect": X, Y, Width, Height in points, relative to the display's
// top-left corner) in physical pixels: each value times the display's scale, truncated toward zero, in 64
// bits (a point near 2^31 times a scale above 1 does not fit 32), then cut to the display of `display_size`.
// Empty when nothing of it lies on the display, a crop of no width or height included.
std::optional<DisplayRect> CropToPixels(int32_t x, int32_t y, int32_t width, int32_t height, float scale,
                                        DisplaySize display_size);

// Why a capture area cannot be recorded, or empty when it can: the capture rectangle must be one a screen
// source can copy and the output size one the encoders take (EncoderAcceptsSize).
std::string CaptureAreaRefusal(const CaptureArea& area);

// The largest capture side: Direct3D 11's texture limit (D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION), which the
// duplicated desktop's textures obey, and the largest source libyuv's scaler takes (32768) with room to
// spare. A 32-bit BGRA frame of this size (1 GiB) still fits the 32-bit sizes of Media Foundation buffers.
constexpr int32_t kMaxCaptureSide = 16384;

// Where the cursor image goes inside a captured picture, and whether it is drawn at all. The image's
// top-left corner must lie within the picture, both far edges included; a cursor that hangs over the right or
// bottom edge is drawn and clipped, one whose corner lies left of or above the picture is not drawn.
struct CursorPlacement {
  int32_t x = 0;
  int32_t y = 0;
  bool draw = false;
};
CursorPlacement PlaceCursor(int32_t screen_x, int32_t screen_y, int32_t hotspot_x, int32_t hotspot_y,
                            const DisplayRect& capture_rect);

// Rows per band when a capture of `height` rows of `row_bytes` bytes is copied in bands of at most
// `max_band_bytes` each: the fewest such bands, of equal height but for a shorter last one. One row at the least
// (a row longer than the limit is a band of its own), `height` at the most.
int32_t CaptureBandRows(int32_t height, int64_t row_bytes, int64_t max_band_bytes);

}  // namespace VellRecorder
