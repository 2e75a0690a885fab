#include "tests/launcher_canvas.h"


#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kiv::test {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {
constexpr int kWidth = 786;
constexpr int kHeight = 620;
ULONG_PTR gdiplusToken = 0;

int channel(std::uint32_t colour, int shift) { return static_cast<int>((colour >> shift) & 0xFF); }

bool pngEncoder(CLSID& clsid) {
    UINT count = 0, size = 0;
    GdipGetImageEncodersSize(&count, &size);
    if (size == 0) return false;
    std::vector<unsigned char> buffer(size);
    auto* codecs = reinterpret_cast<ImageCodecInfo*>(buffer.data());
    GdipGetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i) {
        if (std::wstring(codecs[i].MimeType) == L"image/png") {
            clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}
}  // namespace

std::uint32_t blend(std::uint32_t under, std::uint32_t over, double overShare) {
    std::uint32_t out = 0;
    for (int shift : {16, 8, 0}) {
        double value = channel(under, shift) * (1 - overShare) + channel(over, shift) * overShare;
        out |= static_cast<std::uint32_t>(std::lround(value)) << shift;
    }
    return out;
}

bool closeTo(std::uint32_t actual, std::uint32_t expected, int tolerance) {
    for (int shift : {16, 8, 0})
        if (std::abs(channel(actual, shift) - channel(expected, shift)) > tolerance) return false;
    return true;
}

Canvas::Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
}

Canvas::Canvas(Canvas&& other) noexcept
    : dc_(other.dc_), bitmap_(other.bitmap_), previous_(other.previous_), bits_(other.bits_) {
    other.dc_ = nullptr;
    other.bitmap_ = nullptr;
    other.bits_ = nullptr;
}

Canvas::~Canvas() {
    if (dc_ == nullptr) return;
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
}

void Canvas::fill(std::uint32_t colour) {
    GdiFlush();
    std::fill(bits_, bits_ + kWidth * kHeight, colour);
}

void Canvas::renderAll() { renderClientArea(dc_, RECT{0, 0, kWidth, kHeight}); }

std::uint32_t Canvas::pixel(int x, int y) const {
    GdiFlush();
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return 0;
    return bits_[y * kWidth + x] & 0xFFFFFF;
}

bool Canvas::sameIn(const Canvas& other, const RECT& area) const {
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (pixel(x, y) != other.pixel(x, y)) return false;
    return true;
}

int Canvas::inkIn(const RECT& area, std::uint32_t colour, int tolerance) const {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (closeTo(pixel(x, y), colour, tolerance)) ++count;
    return count;
}

bool Canvas::savePng(const std::filesystem::path& path, const RECT& area) const {
    GdiFlush();
    const int width = area.right - area.left, height = area.bottom - area.top;
    GpBitmap* bitmap = nullptr;
    // The area's rows, straight from the canvas (32-bit, stride of a full row).
    if (GdipCreateBitmapFromScan0(width, height, kWidth * 4, PixelFormat32bppRGB,
                                  reinterpret_cast<BYTE*>(bits_ + area.top * kWidth + area.left), &bitmap) != Ok)
        return false;
    CLSID png{};
    bool saved = pngEncoder(png) && GdipSaveImageToFile(bitmap, path.wstring().c_str(), &png, nullptr) == Ok;
    GdipDisposeImage(bitmap);
    return saved;
}

Comparison Canvas::compareWithPng(const std::filesystem::path& path, const RECT& area, int tolerance) const {
    Comparison result;
    GpBitmap* reference = nullptr;
    if (GdipCreateBitmapFromFile(path.wstring().c_str(), &reference) != Ok || reference == nullptr) return result;
    UINT width = 0, height = 0;
    GdipGetImageWidth(reference, &width);
    GdipGetImageHeight(reference, &height);
    if (static_cast<LONG>(width) == area.right - area.left && static_cast<LONG>(height) == area.bottom - area.top) {
        result.loaded = true;
        for (UINT y = 0; y < height; ++y) {
            for (UINT x = 0; x < width; ++x) {
                ARGB colour = 0;
                GdipBitmapGetPixel(reference, static_cast<INT>(x), static_cast<INT>(y), &colour);
                ++result.totalPixels;
                if (!closeTo(pixel(area.left + static_cast<int>(x), area.top + static_cast<int>(y)), colour & 0xFFFFFF,
                          tolerance))
                    ++result.differentPixels;
            }
        }
    }
    GdipDisposeImage(reference);
    return result;
}

std::filesystem::path referenceScreenPath(const char* name) {
    return std::filesystem::path(KIV_SOURCE_DIR) / "tests" / "data" / "screens" / (std::string(name) + ".png");
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
    // The band's fonts as the launcher embeds them.
    GdipNewPrivateFontCollection(&privateFonts);
    for (const char* face : {"Quicksand-Light", "Nunito-ExtraLight", "Rubik-Regular", "Rubik-Medium", "Rubik-Bold"}) {
        auto file = std::filesystem::path(KIV_SOURCE_DIR) / "resources" / "fonts" / (std::string(face) + ".ttf");
        GdipPrivateAddFontFile(privateFonts, file.wstring().c_str());
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KivCanvasTest";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, L"KivCanvasTest", L"canvas", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    auto child = [&](const wchar_t* className) {
        return CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 1, 1, window_, nullptr, GetModuleHandleW(nullptr),
                               nullptr);
    };
    versionStatusLabel = child(L"STATIC");
    downloadProgressBar = child(PROGRESS_CLASSW);
    downloadStatusLabel = child(L"STATIC");
    versionProgressBar = child(PROGRESS_CLASSW);
    SendMessageW(versionProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(downloadProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    setStatusText(versionStatusLabel, L"Ready to update");
    setStatusText(downloadStatusLabel, L"Press Update");
    setProgress(versionProgressBar, 0);
    setProgress(downloadProgressBar, 0);
    clientReady = false;
    startHoverLevel = exitHoverLevel = 0;
}

void LauncherFixture::TearDown() {
    for (auto& slot : images) {
        if (slot != nullptr) GdipDisposeImage(slot);
        slot = nullptr;
    }
    DestroyWindow(window_);
    versionStatusLabel = downloadStatusLabel = versionProgressBar = downloadProgressBar = nullptr;
    if (privateFonts != nullptr) GdipDeletePrivateFontCollection(&privateFonts);
    privateFonts = nullptr;
    clientReady = false;
    startHoverLevel = exitHoverLevel = 0;
}

void LauncherFixture::setImage(int resourceId, int width, int height, std::uint32_t colour) {
    auto& slot = images[static_cast<std::size_t>(resourceId - kFirstImageId)];
    if (slot != nullptr) GdipDisposeImage(slot);
    slot = nullptr;
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
        auto& slot = images[static_cast<std::size_t>(id - kFirstImageId)];
        if (slot != nullptr) GdipDisposeImage(slot);
        slot = loadPngResource(id);
        all = all && slot != nullptr;
    }
    return all;
}

void expectStoredPosition(const RECT& frame) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::int32_t left = 0, top = 0;
    EXPECT_TRUE(readDwordValue(key, L"WindowLeft", left));
    EXPECT_TRUE(readDwordValue(key, L"WindowTop", top));
    RegCloseKey(key);
    EXPECT_EQ(left, frame.left);
    EXPECT_EQ(top, frame.top);
}

}  // namespace kiv::test
