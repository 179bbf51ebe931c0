#include "screenshothelper.h"

// gdiplus.h needs the COM object declarations that WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <objidl.h>
#include <gdiplus.h>
#include <rpc.h>

#include <ctime>
#include <memory>
#include <vector>

#include "utils/windowsversion.h"
#include "tracehr.h"
#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {
namespace {

namespace gp = Gdiplus::DllExports;

// PrintWindow flags: client area only, and the full content of windows drawn by Direct3D or DWM.
constexpr UINT kPrintClientFullContent = 0x1 | 0x2;

struct RpcStringDeleter {
  void operator()(RPC_CSTR text) const { RpcStringFreeA(&text); }
};

// Deletes a GDI bitmap after putting back the object it replaced in its DC.
class SelectedBitmap {
 public:
  SelectedBitmap(HDC dc, HBITMAP bitmap) : dc_(dc), bitmap_(bitmap), previous_(SelectObject(dc, bitmap)) {}
  ~SelectedBitmap() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
  }
  SelectedBitmap(const SelectedBitmap&) = delete;
  SelectedBitmap& operator=(const SelectedBitmap&) = delete;
  HBITMAP Get() const { return bitmap_; }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ previous_;
};

struct GdipImageDeleter {
  void operator()(Gdiplus::GpBitmap* bitmap) const { gp::GdipDisposeImage(bitmap); }
};

}  // namespace

ScreenshotHelper::ScreenshotHelper() : screen_dc_(GetDC(nullptr)) {
  memory_dc_ = CreateCompatibleDC(screen_dc_);
}

ScreenshotHelper::~ScreenshotHelper() {
  if (gdiplus_started_) Gdiplus::GdiplusShutdown(gdiplus_token_);
  if (memory_dc_ != nullptr) DeleteDC(memory_dc_);
  if (screen_dc_ != nullptr) ReleaseDC(window_, screen_dc_);
}

bool ScreenshotHelper::Initialize() {
  Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread, external codecs
  const Gdiplus::Status status = Gdiplus::GdiplusStartup(&gdiplus_token_, &input, nullptr);
  if (status != Gdiplus::Ok) {
    LOG_ERROR << "Failed to intialize Gdiplus: " << static_cast<int>(status);
    return false;
  }
  gdiplus_started_ = true;
  GetTempPathW(MAX_PATH, temp_path_);
  return true;
}

bool ScreenshotHelper::CreateTmpFolder() {
  UUID uuid;
  if (UuidCreate(&uuid) != RPC_S_OK) {
    LogWinErr("Failed to create UUID");
    return false;
  }
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&uuid, &text) != RPC_S_OK || text == nullptr) {
    LogWinErr("Failed to convert UUID to string");
    return false;
  }
  const std::unique_ptr<unsigned char, RpcStringDeleter> owned_text(text);
  const std::wstring folder = temp_path_ + ToWide(reinterpret_cast<const char*>(text));
  LOG_DEBUG << "creating folder " << folder;
  if (!CreateDirectoryW(folder.c_str(), nullptr)) {
    LogWinErr("failed to create temporary directory");
    return false;
  }
  folder_name_ = reinterpret_cast<const char*>(text);
  return true;
}

std::wstring ScreenshotHelper::FolderPath() const {
  if (folder_name_.empty()) return std::wstring();
  return temp_path_ + ToWide(folder_name_);
}

bool ScreenshotHelper::FindPngEncoder(CLSID* encoder) const {
  UINT count = 0;
  UINT size = 0;
  if (gp::GdipGetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return false;
  std::vector<unsigned char> buffer(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  if (gp::GdipGetImageEncoders(count, size, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType != nullptr && wcscmp(codecs[i].MimeType, mime_type_) == 0) {
      *encoder = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

bool ScreenshotHelper::EnsureFolder() {
  if (!folder_name_.empty()) {
    const DWORD attributes = GetFileAttributesW(FolderPath().c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    LOG_WARNING << "screenshot folder " << FolderPath() << " is gone; making a new one";
  }
  return CreateTmpFolder();
}

std::wstring ScreenshotHelper::TakeScreenshot(const std::wstring& name, HWND window, RECT rect) {
  // Without GDI+ nothing can be encoded; no folder is made for pictures that cannot be written.
  if (!gdiplus_started_) return std::wstring();
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (window != nullptr) {
    WindowPrint print(width, height);
    print.Print(window);
    return SavePicture(name, print.Bitmap());
  }
  const SelectedBitmap bitmap(memory_dc_, CreateCompatibleBitmap(screen_dc_, width, height));
  BitBlt(memory_dc_, 0, 0, width, height, screen_dc_, rect.left, rect.top, SRCCOPY);
  return SavePicture(name, bitmap.Get());
}

std::wstring ScreenshotHelper::SavePicture(const std::wstring& name, HBITMAP bitmap) {
  if (!gdiplus_started_ || !EnsureFolder()) return std::wstring();
  Gdiplus::GpBitmap* raw_image = nullptr;
  gp::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &raw_image);
  const std::unique_ptr<Gdiplus::GpBitmap, GdipImageDeleter> image(raw_image);
  if (!image) return std::wstring();
  CLSID encoder;
  if (!FindPngEncoder(&encoder)) return std::wstring();

  const std::wstring path =
      FolderPath() + L"\\" + name + L"-" + std::to_wstring(static_cast<long long>(_time64(nullptr))) + L".png";
  LOG_DEBUG << "created file at : " << path;
  const Gdiplus::Status status = gp::GdipSaveImageToFile(image.get(), path.c_str(), &encoder, nullptr);
  if (status != Gdiplus::Ok) {
    LOG_ERROR << "error saving png: " << static_cast<int>(status) << " win error: " << GetLastError();
    // The host application shows whatever path it gets; a path to no file is no better than none.
    return std::wstring();
  }
  return path;
}

WindowPrint::WindowPrint(int width, int height) {
  const HDC screen = GetDC(nullptr);
  bitmap_ = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(nullptr, screen);
}

WindowPrint::~WindowPrint() {
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
}

void WindowPrint::Print(HWND window) {
  const HDC dc = CreateCompatibleDC(nullptr);
  if (dc == nullptr) return;
  // Deselected before the DC goes: GDI+ reads the bitmap on its own afterwards.
  const HGDIOBJ previous = SelectObject(dc, bitmap_);
  PrintWindow(window, dc, IsWindows81OrGreater() ? kPrintClientFullContent : 0);
  if (previous != nullptr && previous != HGDI_ERROR) SelectObject(dc, previous);
  DeleteDC(dc);
}

}  // namespace VellRecorder
