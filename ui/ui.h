// The launcher window's shared state and the operations through which the
// worker threads report to it; starting the game client.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/base.h"

namespace Gdiplus {
class GpImage;
class GpGraphics;
class GpFontFamily;
class GpFontCollection;
class GpBrush;
class GpPen;
class GpFont;
}

namespace kiv {

// ---- Shared window state -------------------------------------------------------

// The launcher window, set once creation has returned; owner of every message
// box. Written by the main thread while a worker may already read it.
extern std::atomic<HWND> mainWindow;

// Hidden carriers of the two status lines and two progress values, made and
// cleared by the main thread, read by the workers.
extern std::atomic<HWND> versionStatusLabel;
extern std::atomic<HWND> downloadStatusLabel;
extern std::atomic<HWND> versionProgressBar;
extern std::atomic<HWND> downloadProgressBar;

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
// Set when an update replaced the launcher's own program: the window closes
// and the new program is started once the single-instance guard is released.
extern std::atomic<bool> restartLauncher;

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
// The upper part, where the news page lives.
inline constexpr RECT kNewsArea{0, 0, 786, 440};

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

// ---- Rendering ---------------------------------------------------------------------

// The embedded fonts, or null when the collection could not be made. Created
// at start-up, deleted with the window.
extern Gdiplus::GpFontCollection* privateFonts;

// A PNG embedded as RT_RCDATA, or null.
Gdiplus::GpImage* loadPngResource(int resourceId);
// Adds one embedded TrueType font to privateFonts; failures are silent.
void loadEmbeddedFont(int resourceId);
// The named family from privateFonts (or the installed fonts when there is no
// collection), else among the installed fonts, else "Arial". Owned by the caller.
Gdiplus::GpFontFamily* findFontFamily(const wchar_t* name);
// Gives a hidden label its "Rubik" font of `points` points and `weight`.
void createControlFont(HWND child, int points, int weight);

// A rectangle with rounded corners, filled and, when a pen is given, outlined.
void fillRoundedRect(Gdiplus::GpGraphics* graphics, float x, float y, float width, float height, float radius,
                     Gdiplus::GpBrush* brush, Gdiplus::GpPen* pen);
// Draws `picture` stretched into the rectangle with opacity 0..255.
void drawImageFaded(Gdiplus::GpGraphics* graphics, Gdiplus::GpImage* picture, float x, float y, float width,
                    float height, int opacity);
// A rounded track with a fill for `value` percent (clamped to 0..100).
void drawProgressBar(Gdiplus::GpGraphics* graphics, float x, float y, float width, float height, int value,
                     unsigned fillColour);
// The drawn stand-in for a missing row icon: a ringed disc with a glyph.
void drawSymbolBadge(Gdiplus::GpGraphics* graphics, float x, float y, unsigned colour, const wchar_t* glyph);
// One unclipped line of text at the rectangle's top left.
void drawTextLine(Gdiplus::GpGraphics* graphics, const std::wstring& text, Gdiplus::GpFont* font, float x, float y,
                  float width, float height, Gdiplus::GpBrush* brush);
// The main button and the EXIT button, with their hover cross-fades.
void drawButtons(Gdiplus::GpGraphics* graphics);

// What the news area shows when there is no page: the launcher's art, the
// line "News is not available right now." and the link "Open in browser".
void drawNewsPlaceholder(Gdiplus::GpGraphics* graphics);

// Draws the client area's content (banner, status panel, buttons) in client
// coordinates onto `graphics`.
void drawClientArea(Gdiplus::GpGraphics* graphics);
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

// Whether the pointer is over the main button / the EXIT button.
extern bool startHoverTarget;
extern bool exitHoverTarget;

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
// Stores new hover targets, (re)starting the animation timer and repainting
// the band; nothing when they are unchanged.
void setHoverTargets(bool start, bool exit);
// Moves `level` 42 steps toward 255 (target) or 0; whether it changed.
bool stepHoverLevel(int& level, bool target);

// ---- The saved window position ------------------------------------------------

// Registry key under HKEY_CURRENT_USER that keeps the window position.
inline constexpr const wchar_t* kLauncherRegistryKey = L"Software\\Kobalune\\KIV Launcher";

// True only for a REG_DWORD value of exactly four bytes.
bool readDwordValue(HKEY key, const wchar_t* name, std::int32_t& value);

// The stored position when it is still usable on a monitor, otherwise
// CW_USEDEFAULT for both coordinates.
POINT loadSavedPosition(int outerWidth, int outerHeight);

// Whether at least min(80, width) x min(80, height) pixels of `rect` lie in
// the work area of the monitor it is mostly on.
bool isPlacementVisible(const RECT& rect);

// The restored (normal) outer rectangle of a top-level window in screen
// coordinates, also while the window is minimised or maximised.
RECT restoredScreenRect(HWND window, const WINDOWPLACEMENT& placement);

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
