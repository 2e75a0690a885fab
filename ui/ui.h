// The launcher window: its state, owned by one object, and the operations
// through which the worker threads report to it; the status rows' table,
// the painting, the window procedure, the saved position and starting the
// game client.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "ui/resource_ids.h"
#include "update/update.h"

namespace Gdiplus {
class GpImage;
class GpFontCollection;
}  // namespace Gdiplus

namespace kiv {

class BrowserHost;

// ---- The window's state ------------------------------------------------------------

// The image slots hold the resources IDB_FIRST to IDB_LAST.
inline constexpr int kFirstImageId = IDB_FIRST;
inline constexpr int kImageCount = IDB_LAST - IDB_FIRST + 1;

// The part of the client area that workers change.
inline constexpr RECT kStatusBand{0, 440, 786, 620};
// The upper part, where the news page lives.
inline constexpr RECT kNewsArea{0, 0, 786, 440};

// One status row as the band paints it: its status line and its progress.
struct RowStatus {
    std::wstring text;
    int progress = 0;
};
// Every row's painted copy, in the order of StatusRow.
using PaintedStatus = std::array<RowStatus, kStatusRowCount>;

// Everything the launcher window holds, in one object, as a plain Win32
// program keeps one state struct per window: its handle, the hidden controls
// that carry each status row, what the band paints, the flags it shares with
// the workers, the hover animation, the images and the news page. The main
// thread makes and clears the handles; workers report from their own threads
// through setStatusText, setProgress and setClientReady.
class WindowState {
public:
    // The launcher window, set once creation has returned; owner of every
    // message box. Written by the main thread while a worker may already read it.
    std::atomic<HWND> mainWindow{nullptr};

    // Each status row's hidden label and progress bar, which carry its text
    // and value: made at creation, cleared at destruction.
    struct Carriers {
        std::atomic<HWND> label{nullptr};
        std::atomic<HWND> bar{nullptr};
    };
    std::array<Carriers, kStatusRowCount> carriers;

    std::atomic<bool> clientReady{false};
    std::atomic<bool> workerBusy{false};
    // Set when an update replaced the launcher's own program: the window closes
    // and the new program is started once the single-instance guard is released.
    std::atomic<bool> restartLauncher{false};

    // Whether the pointer is over the main button / the EXIT button, and
    // their animated hover intensities, 0..255 (main thread only).
    bool startHoverTarget = false;
    bool exitHoverTarget = false;
    int startHoverLevel = 0;
    int exitHoverLevel = 0;

    // The images of IDB_FIRST to IDB_LAST, null where one could not be loaded.
    std::array<Gdiplus::GpImage*, kImageCount> images{};
    // The news page; null when no browser control could be made.
    BrowserHost* newsView = nullptr;

    // Stores the row's painted copy, requests a repaint of the band, then
    // sets the text of the row's label.
    void setStatusText(StatusRow row, const std::wstring& text);
    // Stores the row's painted progress, requests a repaint of the band, then
    // sets the position of the row's bar.
    void setProgress(StatusRow row, int percent);
    // Stores the flag and repaints the band, whose main button and CLIENT
    // STATUS row show it.
    void setClientReady(bool ready);
    // A copy of what the band paints.
    PaintedStatus paintedStatus() const;
    // Requests a repaint of the band; nothing before the window is known.
    void invalidateStatusBand() const;

private:
    // Written by the workers, read by the painting on the main thread; the
    // lock makes each hand-over whole.
    mutable std::mutex statusLock_;
    PaintedStatus status_;
};

// The launcher's one window.
extern WindowState windowState;

// The image of `resourceId` from the window's slots, or null.
Gdiplus::GpImage* image(int resourceId);

// ---- The status rows -----------------------------------------------------------------

// How the band shows one status row; its label is kStatusRowLabels'. The
// row's parts hang from `top`, where its label is drawn: the icon and the
// status line below it, the bar beside the status line, the value beside
// the bar.
struct StatusRowLook {
    const wchar_t* initialText;  // shown from creation until a worker reports
    int icon;                    // image id; a badge stands in when it is missing
    unsigned badgeColour;
    const wchar_t* badgeGlyph;
    float top;
    unsigned barColour;
    // The value beside the bar, made from the row's progress.
    std::wstring (*valueText)(int progress);
    unsigned valueColour;
    float valueLeft, valueWidth;
    float separatorY;  // the dashed line below the row
};
// One look per StatusRow, in its order.
extern const std::array<StatusRowLook, kStatusRowCount> kStatusRowLooks;

// ---- Operations offered to the workers ------------------------------------------

// Runs a worker body on a detached thread unless a worker already runs.
bool startWorker(void (*body)());

// Half-open: left and top inside, right and bottom outside.
bool pointInRect(const RECT& rect, int x, int y);
// The button hit areas, from the current images and clientReady.
RECT mainButtonRect();
RECT exitButtonRect();

// MessageBoxW owned by the window with the caption "KIV Launcher".
void showMessage(const std::wstring& text, MessageIcon icon);

// The core's reporting, carried out on the window.
class WindowReporter final : public Reporter {
public:
    void setStatusText(StatusRow row, const std::wstring& text) override;
    void setProgress(StatusRow row, int percent) override;
    void setTitle(const std::wstring& title) override;
    void showMessage(const std::wstring& text, MessageIcon icon) override;
    void setClientReady(bool ready) override;
};

// ---- Rendering ---------------------------------------------------------------------

// The embedded fonts, or null when the collection could not be made. Created
// at start-up, deleted with the window.
extern Gdiplus::GpFontCollection* privateFonts;

// A PNG embedded as RT_RCDATA, or null.
Gdiplus::GpImage* loadPngResource(int resourceId);
// Adds one embedded TrueType font to privateFonts; failures are silent.
void loadEmbeddedFont(int resourceId);
// Gives a hidden label its "Rubik" font of `points` points and `weight`.
void createControlFont(HWND child, int points, int weight);

// Renders the part `area` of the client area through a back buffer of that
// size and copies it to `target` at the area's position.
void renderClientArea(HDC target, const RECT& area);
// WM_PAINT: renders the update rectangle only.
void paintWindow(HWND window);

// ---- The main window -------------------------------------------------------------

inline constexpr const wchar_t* kWindowClassName = L"KobaluneKivLauncher";
inline constexpr UINT_PTR kAnimationTimer = 1001;
inline constexpr UINT kAnimationPeriodMs = 15;

// The patch server the workers talk to: the built-in base URL unless the
// program was built for another one.
extern std::wstring workerBaseUrl;

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Whether the news area shows the placeholder: no page could be created (no
// browser engine) or the page reported a navigation error.
bool newsPlaceholderShown();
// The placeholder's "Open in browser" link, in client coordinates.
inline constexpr RECT kOpenInBrowserLink{333, 258, 453, 282};
// Opens the page's address in the user's default browser, through the shell.
// Replaceable, so that tests can see the link followed without a browser.
extern void (*openPageInBrowser)(const std::wstring& url);

// Offers a keyboard message to the news page before it is dispatched; true
// when the page consumed it.
bool translateNewsPageKey(MSG& message);

// ---- The saved window position ------------------------------------------------

// Registry key under HKEY_CURRENT_USER that keeps the window position.
inline constexpr const wchar_t* kLauncherRegistryKey = L"Software\\Kobalune\\KIV Launcher";

// True only for a REG_DWORD value of exactly four bytes.
bool readDwordValue(HKEY key, const wchar_t* name, std::int32_t& value);

// The stored position when it is still usable on a monitor, otherwise
// CW_USEDEFAULT for both coordinates.
POINT loadSavedPosition(int outerWidth, int outerHeight);

// Stores the restored rectangle's screen left and top when that rectangle is visible
// enough, then destroys the window. The only way the launcher window closes.
void saveWindowPositionAndClose(HWND window);

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

}  // namespace kiv
