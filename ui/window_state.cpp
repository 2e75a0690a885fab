#include "ui/ui.h"

#include <gdiplus.h>

#include <mutex>

#include "update/update.h"

namespace kiv {

std::atomic<HWND> mainWindow{nullptr};
std::atomic<HWND> versionStatusLabel{nullptr};
std::atomic<HWND> downloadStatusLabel{nullptr};
std::atomic<HWND> versionProgressBar{nullptr};
std::atomic<HWND> downloadProgressBar{nullptr};
std::atomic<bool> clientReady{false};
std::atomic<bool> workerBusy{false};
int startHoverLevel = 0;
int exitHoverLevel = 0;
std::array<Gdiplus::GpImage*, kImageCount> images{};

namespace {

// The painted copies are written by the worker and read by the painting on
// the main thread; the lock makes each hand-over whole.
std::mutex statusLock;
PaintedStatus status;

constexpr int kMainButtonUpdateId = 104;
constexpr int kMainButtonStartId = 102;
constexpr int kExitButtonId = 106;

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
    return slot >= 0 && slot < kImageCount ? images[static_cast<std::size_t>(slot)] : nullptr;
}

PaintedStatus paintedStatus() {
    std::lock_guard<std::mutex> hold(statusLock);
    return status;
}

void invalidateStatusBand() {
    if (HWND window = mainWindow.load(); window != nullptr) InvalidateRect(window, &kStatusBand, FALSE);
}

void setStatusText(HWND control, const std::wstring& text) {
    const HWND versionLabel = versionStatusLabel.load();
    if (control != nullptr && (control == versionLabel || control == downloadStatusLabel.load())) {
        {
            std::lock_guard<std::mutex> hold(statusLock);
            (control == versionLabel ? status.versionStatusText : status.downloadStatusText) = text;
        }
        invalidateStatusBand();
    }
    SetWindowTextW(control, text.c_str());
}

void setProgress(HWND control, int value) {
    const HWND versionBar = versionProgressBar.load();
    if (control != nullptr && (control == versionBar || control == downloadProgressBar.load())) {
        std::lock_guard<std::mutex> hold(statusLock);
        (control == versionBar ? status.versionProgress : status.downloadProgress) = value;
    }
    invalidateStatusBand();
    SendMessageW(control, 0x402 /* PBM_SETPOS */, static_cast<WPARAM>(value), 0);
}

bool startWorker(void (*body)()) { return kiv::startWorker(workerBusy, body); }

bool pointInRect(const RECT& rect, int x, int y) {
    return rect.left <= x && x < rect.right && rect.top <= y && y < rect.bottom;
}

RECT mainButtonRect() {
    SIZE size = imageSize(clientReady ? kMainButtonStartId : kMainButtonUpdateId, SIZE{228, 74});
    return RECT{778 - size.cx, 452, 778, 452 + size.cy};
}

RECT exitButtonRect() {
    RECT main = mainButtonRect();
    SIZE size = imageSize(kExitButtonId, SIZE{228, 30});
    LONG left = main.left + (main.right - main.left - size.cx + 1) / 2;
    LONG top = main.bottom + 10;
    return RECT{left, top, left + size.cx, top + size.cy};
}

void showMessage(const std::wstring& text, MessageIcon icon) {
    UINT style = MB_OK | (icon == MessageIcon::warning ? MB_ICONWARNING : MB_ICONERROR);
    MessageBoxW(mainWindow, text.c_str(), L"KIV Launcher", style);
}

void WindowReporter::setStatusText(StatusRow row, const std::wstring& text) {
    kiv::setStatusText(row == StatusRow::version ? versionStatusLabel : downloadStatusLabel, text);
}

void WindowReporter::setProgress(StatusRow row, int percent) {
    kiv::setProgress(row == StatusRow::version ? versionProgressBar : downloadProgressBar, percent);
}

void WindowReporter::setTitle(const std::wstring& title) { SetWindowTextW(mainWindow, title.c_str()); }

void WindowReporter::showMessage(const std::wstring& text, MessageIcon icon) { kiv::showMessage(text, icon); }

void WindowReporter::setClientReady(bool ready) { clientReady = ready; }

void WindowReporter::invalidateStatusBand() { kiv::invalidateStatusBand(); }

}  // namespace kiv
