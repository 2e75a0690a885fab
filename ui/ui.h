// The launcher window's shared state and the operations through which the
// worker threads report to it; starting the game client.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <string>
#include <string_view>

#include "base/base.h"

namespace Gdiplus {
class GpImage;
}

namespace kiv {

// ---- Shared window state -------------------------------------------------------

// The launcher window, set once creation has returned; owner of every message box.
extern HWND mainWindow;

// Hidden carriers of the two status lines and two progress values.
extern HWND versionStatusLabel;
extern HWND downloadStatusLabel;
extern HWND versionProgressBar;
extern HWND downloadProgressBar;

// What the status band paints. Workers write it, painting reads a copy.
struct PaintedStatus {
    std::wstring versionStatusText = L"Checking files";
    std::wstring downloadStatusText = L"Press Update";
    int versionProgress = 0;
    int downloadProgress = 0;
};
PaintedStatus paintedStatus();

extern std::atomic<bool> clientReady;
extern std::atomic<bool> workerBusy;

// Animated hover intensities of the main and EXIT buttons, 0..255 (main thread only).
extern int startHoverLevel;
extern int exitHoverLevel;

// Resources 101 to 110, or null where one could not be loaded.
inline constexpr int kFirstImageId = 101;
inline constexpr int kImageCount = 10;
extern std::array<Gdiplus::GpImage*, kImageCount> images;
Gdiplus::GpImage* image(int resourceId);

// The part of the client area that workers change.
inline constexpr RECT kStatusBand{0, 440, 786, 620};

// ---- Operations offered to the workers ------------------------------------------

// On a status label: store the painted copy, request a repaint, then set the
// label's text. On any other control only the text is set.
void setStatusText(HWND control, const std::wstring& text);
// On a progress carrier: store the painted copy, request a repaint, then set
// the bar's position.
void setProgress(HWND control, int value);
void invalidateStatusBand();

// Runs a worker body on a detached thread unless a worker already runs.
bool startWorker(void (*body)());

// Half-open: left and top inside, right and bottom outside.
bool pointInRect(const RECT& rect, int x, int y);
// The button hit areas, from the current images and clientReady.
RECT mainButtonRect();
RECT exitButtonRect();

// MessageBoxW owned by mainWindow with the caption "KIV Launcher".
void showMessage(const std::wstring& text, MessageIcon icon);

// The core's reporting, carried out on the window.
class WindowReporter final : public Reporter {
public:
    void setStatusText(StatusRow row, const std::wstring& text) override;
    void setProgress(StatusRow row, int percent) override;
    void setTitle(const std::wstring& title) override;
    void showMessage(const std::wstring& text, MessageIcon icon) override;
    void setClientReady(bool ready) override;
    void invalidateStatusBand() override;
};

// ---- Starting the game ----------------------------------------------------------------

// Starts kiv.exe beside the launcher with its launch switch, brings its main
// window to the front and closes the launcher; on failure shows a message
// and leaves the launcher as it was.
void startGame();

struct ClientWindowSearch {
    DWORD processId = 0;
    HWND window = nullptr;
};
// EnumWindows callback: stops at the first main window of the searched process.
BOOL CALLBACK findClientWindow(HWND window, LPARAM search);
// Visible, unowned, enabled, not a tool window, and not a graphics library's helper.
bool isClientMainWindow(HWND window);
bool containsIgnoreCase(std::wstring_view text, std::wstring_view part);

}  // namespace kiv
