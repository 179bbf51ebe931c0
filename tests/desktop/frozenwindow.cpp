#include "desktop/frozenwindow.h"

namespace VellRecorder::Testing {

FrozenWindow::FrozenWindow(const std::wstring& title, RECT client, Testing::Freeze how)
    : how_(how), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thawed_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  owner_ = std::thread([this, title, client, made] { Own(title, client, made); });
  // Ready or failed (Handle() null) within a few seconds; a thread that cannot even make a window is not waited for.
  WaitForSingleObject(made, 10000);
  CloseHandle(made);
}

FrozenWindow::~FrozenWindow() {
  leaving_ = true;
  SetEvent(thawed_);
  SetEvent(wake_);
  owner_.join();
  CloseHandle(wake_);
  CloseHandle(thawed_);
}

void FrozenWindow::Freeze() {
  ResetEvent(thawed_);
  frozen_ = true;
  SetEvent(wake_);
}

void FrozenWindow::Thaw() {
  frozen_ = false;
  SetEvent(thawed_);
  SetEvent(wake_);
}

LRESULT CALLBACK FrozenWindow::HangingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<FrozenWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  const bool asked = message == WM_PRINT || message == WM_PRINTCLIENT || message == WM_QUERYOPEN ||
                     message == WM_WINDOWPOSCHANGING || message == WM_ACTIVATE || message == WM_NCACTIVATE;
  if (asked && self->frozen_) WaitForSingleObject(self->thawed_, INFINITE);
  return CallWindowProcW(self->original_, window, message, wparam, lparam);
}

void FrozenWindow::Own(const std::wstring& title, RECT client, HANDLE made) {
  TestWindow window(title, client, WindowStyle::kPopup);
  if (window.Handle() == nullptr) {
    SetEvent(made);
    return;
  }
  SetWindowLongPtrW(window.Handle(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  original_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window.Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrozenWindow::HangingProc)));
  window_ = window.Handle();
  SetEvent(made);
  while (!leaving_) {
    if (frozen_ && how_ == Testing::Freeze::kStopsPumping) {
      WaitForSingleObject(thawed_, INFINITE);
      continue;
    }
    MsgWaitForMultipleObjectsEx(1, &wake_, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  SetWindowLongPtrW(window.Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
}

}  // namespace VellRecorder::Testing
