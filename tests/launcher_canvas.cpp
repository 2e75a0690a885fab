#include "tests/launcher_canvas.h"

#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace kiv::test {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {
constexpr int kWidth = 786;
constexpr int kHeight = 620;
// The graphics library's PNG encoder.
constexpr CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
ULONG_PTR gdiplusToken = 0;

int channel(std::uint32_t colour, int shift) { return static_cast<int>((colour >> shift) & 0xFF); }

// The image slot of `resourceId`, its image disposed of.
GpImage*& emptySlot(int resourceId) {
    GpImage*& slot = windowState.images[static_cast<std::size_t>(resourceId - kFirstImageId)];
    if (slot != nullptr) GdipDisposeImage(slot);
    slot = nullptr;
    return slot;
}
}  // namespace

bool closeTo(std::uint32_t actual, std::uint32_t expected, int tolerance) {
    for (int shift : {16, 8, 0})
        if (std::abs(channel(actual, shift) - channel(expected, shift)) > tolerance) return false;
    return true;
}

Canvas::Canvas(const RECT& area, std::uint32_t background) : bits_(kWidth * kHeight, background) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, kWidth, -kHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};  // top-down rows
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    std::copy(bits_.begin(), bits_.end(), static_cast<std::uint32_t*>(bits));
    renderClientArea(dc, area);
    GdiFlush();
    std::copy_n(static_cast<const std::uint32_t*>(bits), bits_.size(), bits_.begin());
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

std::uint32_t Canvas::pixel(int x, int y) const {
    return bits_.at(static_cast<std::size_t>(y * kWidth + x)) & 0xFFFFFF;
}

template <typename Test>
int Canvas::count(const RECT& area, Test test) const {
    int found = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x) found += test(x, y) ? 1 : 0;
    return found;
}

bool Canvas::sameIn(const Canvas& other, const RECT& area) const {
    return count(area, [&](int x, int y) { return pixel(x, y) != other.pixel(x, y); }) == 0;
}

int Canvas::inkIn(const RECT& area, std::uint32_t colour, int tolerance) const {
    return count(area, [&](int x, int y) { return closeTo(pixel(x, y), colour, tolerance); });
}

long Canvas::differencesFromReference(const char* name, const RECT& area, int tolerance) const {
    const auto path = std::filesystem::path(KIV_SOURCE_DIR) / "tests/data/screens" / (name + std::string(".png"));
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (const char* update = std::getenv("KIV_UPDATE_REFERENCE_SCREENS"); update != nullptr && *update != '\0') {
        // The area's rows, straight from the canvas (32-bit, stride of a full row).
        auto* first = reinterpret_cast<BYTE*>(const_cast<std::uint32_t*>(&bits_.at(area.top * kWidth + area.left)));
        GpBitmap* bitmap = nullptr;
        GdipCreateBitmapFromScan0(width, height, kWidth * 4, PixelFormat32bppRGB, first, &bitmap);
        GpStatus saved = GdipSaveImageToFile(bitmap, path.wstring().c_str(), &kPngEncoder, nullptr);
        GdipDisposeImage(bitmap);
        return saved == Ok ? 0 : -1;
    }
    GpBitmap* reference = nullptr;
    if (GdipCreateBitmapFromFile(path.wstring().c_str(), &reference) != Ok || reference == nullptr) return -1;
    UINT referenceWidth = 0, referenceHeight = 0;
    GdipGetImageWidth(reference, &referenceWidth);
    GdipGetImageHeight(reference, &referenceHeight);
    long different = -1;
    if (static_cast<int>(referenceWidth) == width && static_cast<int>(referenceHeight) == height) {
        different = 0;
        for (INT y = 0; y < height; ++y) {
            for (INT x = 0; x < width; ++x) {
                ARGB colour = 0;
                GdipBitmapGetPixel(reference, x, y, &colour);
                if (!closeTo(pixel(area.left + x, area.top + y), colour & 0xFFFFFF, tolerance)) ++different;
            }
        }
    }
    GdipDisposeImage(reference);
    return different;
}

bool waitUntil(const std::function<bool()>& done, DWORD limitMs, const std::function<void()>& onTick) {
    MSG message;
    for (const DWORD start = GetTickCount(); !done(); Sleep(1)) {
        if (GetTickCount() - start > limitMs) return false;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message != WM_QUIT) DispatchMessageW(&message);
            if (message.message == WM_TIMER && message.wParam == kAnimationTimer) onTick();
        }
    }
    return true;
}

void startGraphicsOnce() {
    // Started once for the whole program, as the launcher does: the graphics
    // library keeps some families across a shutdown and a new start.
    if (gdiplusToken != 0) return;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    GdiplusStartupInput input;
    GdiplusStartup(&gdiplusToken, &input, nullptr);
}

void LauncherFixture::SetUp() {
    startGraphicsOnce();
    // The band's fonts, embedded as in the launcher.
    GdipNewPrivateFontCollection(&privateFonts);
    for (int id = IDF_FIRST; id <= IDF_LAST; ++id) loadEmbeddedFont(id);

    window_ = CreateWindowExW(0, L"STATIC", L"canvas", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    auto child = [&](const wchar_t* className) {
        return CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 1, 1, window_, nullptr, nullptr, nullptr);
    };
    for (std::size_t row = 0; row < kStatusRowCount; ++row) {
        windowState.carriers[row].label = child(L"STATIC");
        windowState.carriers[row].bar = child(PROGRESS_CLASSW);
        windowState.setStatusText(static_cast<StatusRow>(row), kStatusRowLooks[row].initialText);
        windowState.setProgress(static_cast<StatusRow>(row), 0);
    }
    windowState.clientReady = false;
    windowState.startHoverLevel = windowState.exitHoverLevel = 0;
}

void LauncherFixture::TearDown() {
    for (int id = kFirstImageId; id < kFirstImageId + kImageCount; ++id) emptySlot(id);
    DestroyWindow(window_);
    for (auto& carriers : windowState.carriers) carriers.label = carriers.bar = nullptr;
    if (privateFonts != nullptr) GdipDeletePrivateFontCollection(&privateFonts);
    privateFonts = nullptr;
}

void LauncherFixture::setImage(int resourceId, int width, int height, std::uint32_t colour) {
    GpImage*& slot = emptySlot(resourceId);
    GpBitmap* bitmap = nullptr;
    if (GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppARGB, nullptr, &bitmap) != Ok) return;
    GpGraphics* graphics = nullptr;
    GdipGetImageGraphicsContext(bitmap, &graphics);
    GdipGraphicsClear(graphics, 0xFF000000 | colour);
    GdipDeleteGraphics(graphics);
    slot = bitmap;
}

bool LauncherFixture::loadShippedImages() {
    bool all = true;
    for (int id = kFirstImageId; id < kFirstImageId + kImageCount; ++id) {
        emptySlot(id) = loadPngResource(id);
        all = all && image(id) != nullptr;
    }
    return all;
}

void expectStoredPosition(const RECT& frame) {
    const POINT stored = loadSavedPosition(frame.right - frame.left, frame.bottom - frame.top);
    EXPECT_TRUE(stored.x == frame.left && stored.y == frame.top) << stored.x << "," << stored.y;
}

}  // namespace kiv::test
