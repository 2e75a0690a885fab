// The window's one state object, the button hit areas measured from it, and
// the core's reporting carried out on it.
#include "ui/ui.h"

#include <commctrl.h>
#include <gdiplus.h>

namespace kiv {

WindowState windowState;

namespace {

SIZE imageSize(int resourceId, SIZE fallback) {
    Gdiplus::GpImage* picture = image(resourceId);
    UINT width = 0, height = 0;
    if (picture == nullptr || Gdiplus::DllExports::GdipGetImageWidth(picture, &width) != Gdiplus::Ok ||
        Gdiplus::DllExports::GdipGetImageHeight(picture, &height) != Gdiplus::Ok) {
        return fallback;
    }
    return SIZE{static_cast<LONG>(width), static_cast<LONG>(height)};
}

}  // namespace

Gdiplus::GpImage* image(int resourceId) {
    int slot = resourceId - kFirstImageId;
    return slot >= 0 && slot < kImageCount ? windowState.images[static_cast<std::size_t>(slot)] : nullptr;
}

PaintedStatus WindowState::paintedStatus() const {
    std::lock_guard<std::mutex> hold(statusLock_);
    return status_;
}

void WindowState::invalidateStatusBand() const {
    if (HWND window = mainWindow.load(); window != nullptr) InvalidateRect(window, &kStatusBand, FALSE);
}

void WindowState::setStatusText(StatusRow row, const std::wstring& text) {
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        status_[rowIndex(row)].text = text;
    }
    invalidateStatusBand();
    SetWindowTextW(carriers[rowIndex(row)].label, text.c_str());
}

void WindowState::setProgress(StatusRow row, int percent) {
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        status_[rowIndex(row)].progress = percent;
    }
    invalidateStatusBand();
    SendMessageW(carriers[rowIndex(row)].bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void WindowState::setClientReady(bool ready) {
    clientReady = ready;
    invalidateStatusBand();
}

bool startWorker(void (*body)()) { return kiv::startWorker(windowState.workerBusy, body); }

bool pointInRect(const RECT& rect, int x, int y) {
    return rect.left <= x && x < rect.right && rect.top <= y && y < rect.bottom;
}

RECT mainButtonRect() {
    SIZE size = imageSize(windowState.clientReady ? IDB_START_BUTTON : IDB_UPDATE_BUTTON, SIZE{228, 74});
    return RECT{778 - size.cx, 452, 778, 452 + size.cy};
}

RECT exitButtonRect() {
    RECT main = mainButtonRect();
    SIZE size = imageSize(IDB_EXIT_BUTTON, SIZE{228, 30});
    LONG left = main.left + (main.right - main.left - size.cx + 1) / 2;
    LONG top = main.bottom + 10;
    return RECT{left, top, left + size.cx, top + size.cy};
}

void showMessage(const std::wstring& text, MessageIcon icon) {
    UINT style = MB_OK | (icon == MessageIcon::warning ? MB_ICONWARNING : MB_ICONERROR);
    MessageBoxW(windowState.mainWindow, text.c_str(), L"KIV Launcher", style);
}

void WindowReporter::setStatusText(StatusRow row, const std::wstring& text) { windowState.setStatusText(row, text); }

void WindowReporter::setProgress(StatusRow row, int percent) { windowState.setProgress(row, percent); }

void WindowReporter::setTitle(const std::wstring& title) { SetWindowTextW(windowState.mainWindow, title.c_str()); }

void WindowReporter::showMessage(const std::wstring& text, MessageIcon icon) { kiv::showMessage(text, icon); }

void WindowReporter::setClientReady(bool ready) { windowState.setClientReady(ready); }

}  // namespace kiv
