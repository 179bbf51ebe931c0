// PNG pictures of a screen rectangle or of a window, written into a private folder under the user's temporary
// directory. The folder is made when the first picture is written, so that helpers that never take one (the
// display list built for every settings lookup) leave nothing behind, and made anew when a picture finds it gone
// (the temporary directory cleared under the running daemon). Files are never deleted.
#pragma once

#include <windows.h>

#include <string>

namespace VellRecorder {

// A window's client area printed (PrintWindow) into a bitmap of its own. Printing waits until the window's
// thread has drawn: for ever when that thread hangs. Nothing else shares the object's GDI objects, so that a
// print abandoned on another thread holds nothing its owner still uses. Made on one thread, printed on any one
// other, read back once the print has returned.
class WindowPrint {
 public:
  WindowPrint(int width, int height);
  ~WindowPrint();
  WindowPrint(const WindowPrint&) = delete;
  WindowPrint& operator=(const WindowPrint&) = delete;

  void Print(HWND window);
  HBITMAP Bitmap() const { return bitmap_; }

 private:
  HBITMAP bitmap_ = nullptr;
};

// Used by one thread (the control thread); no locking.
class ScreenshotHelper {
 public:
  ScreenshotHelper();
  ~ScreenshotHelper();
  ScreenshotHelper(const ScreenshotHelper&) = delete;
  ScreenshotHelper& operator=(const ScreenshotHelper&) = delete;

  // Starts GDI+ and reads the temporary directory. False when GDI+ does not start.
  bool Initialize();
  // Makes a new, uniquely named folder in the temporary directory for the pictures that follow.
  bool CreateTmpFolder();
  // Writes <folder>\<name>-<seconds since 1970>.png of `rect` (desktop coordinates), or of the window's client
  // area when `window` is given. Returns the path of the file, or empty when no file was written.
  std::wstring TakeScreenshot(const std::wstring& name, HWND window, RECT rect);
  // Writes <folder>\<name>-<seconds since 1970>.png of the bitmap (not selected into any DC). Returns the path of
  // the file, or empty when no file was written.
  std::wstring SavePicture(const std::wstring& name, HBITMAP bitmap);
  // The screenshot folder with no trailing separator; empty until it has been made.
  std::wstring FolderPath() const;

 private:
  bool FindPngEncoder(CLSID* encoder) const;
  // The folder exists: made when there is none yet or it has gone.
  bool EnsureFolder();

  HWND window_ = nullptr;  // owner of screen_dc_: none, the whole screen
  HDC screen_dc_ = nullptr;
  HDC memory_dc_ = nullptr;
  ULONG_PTR gdiplus_token_ = 0;
  bool gdiplus_started_ = false;
  wchar_t mime_type_[10] = L"image/png";
  wchar_t temp_path_[MAX_PATH] = {};  // ends with a separator
  std::string folder_name_;           // a UUID's text; empty until the folder was made
};

}  // namespace VellRecorder
