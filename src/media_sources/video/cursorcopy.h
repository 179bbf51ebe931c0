// A copy of the current cursor for drawing it into a captured frame; both screen sources use it.
#pragma once

#include <windows.h>

namespace VellRecorder {

// Owns the copied cursor and the two bitmaps GetIconInfo hands out with it, freed together.
class CursorCopy {
 public:
  CursorCopy() = default;
  ~CursorCopy() {
    if (info_.hbmMask != nullptr) DeleteObject(info_.hbmMask);
    if (info_.hbmColor != nullptr) DeleteObject(info_.hbmColor);
    if (icon_ != nullptr) DestroyCursor(icon_);
  }
  CursorCopy(const CursorCopy&) = delete;
  CursorCopy& operator=(const CursorCopy&) = delete;

  // Copies the cursor on screen now. S_OK: copied, its image read; a cursor without a shape of its own (or one
  // another process owns that cannot be copied) is the arrow. S_FALSE: no cursor is showing. E_FAIL: the
  // cursor or its image cannot be read. Once per object.
  HRESULT CopyCurrent() {
    cursor_.cbSize = sizeof(cursor_);
    if (!GetCursorInfo(&cursor_)) return E_FAIL;
    if (cursor_.flags != CURSOR_SHOWING) return S_FALSE;
    icon_ = CopyIcon(cursor_.hCursor);
    if (icon_ == nullptr) icon_ = CopyIcon(LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // IDC_ARROW
    return icon_ != nullptr && GetIconInfo(icon_, &info_) ? S_OK : E_FAIL;
  }
  // Where it is, in desktop coordinates.
  POINT Position() const { return cursor_.ptScreenPos; }
  HICON Get() const { return icon_; }
  const ICONINFO& Info() const { return info_; }

 private:
  CURSORINFO cursor_{};
  HICON icon_ = nullptr;
  ICONINFO info_{};
};

}  // namespace VellRecorder
