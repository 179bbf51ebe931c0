// A copy of the current cursor for drawing it into a captured frame; both screen sources use it.
#pragma once

#include <windows.h>

namespace VellRecorder {

// Owns the copied cursor and the two bitmaps GetIconInfo hands out with it, freed together.
class CursorCopy {
 public:
  explicit CursorCopy(HCURSOR cursor) : icon_(CopyIcon(cursor)) {}
  ~CursorCopy() {
    if (info_.hbmMask != nullptr) DeleteObject(info_.hbmMask);
    if (info_.hbmColor != nullptr) DeleteObject(info_.hbmColor);
    if (icon_ != nullptr) DestroyCursor(icon_);
  }
  CursorCopy(const CursorCopy&) = delete;
  CursorCopy& operator=(const CursorCopy&) = delete;

  // A cursor without a shape of its own (or one another process owns that cannot be copied) shows as the arrow.
  void FallBackToArrow() {
    if (icon_ == nullptr) icon_ = CopyIcon(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // IDC_ARROW
  }
  bool ReadInfo() { return icon_ != nullptr && GetIconInfo(icon_, &info_); }
  HICON Get() const { return icon_; }
  const ICONINFO& Info() const { return info_; }

 private:
  HICON icon_;
  ICONINFO info_{};
};

}  // namespace VellRecorder
