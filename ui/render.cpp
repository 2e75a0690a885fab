// The status band, drawn with GDI+ into a back buffer the size of the update
// rectangle, from the embedded images and fonts.
#include "ui/ui.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

namespace kiv {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

GpFontCollection* privateFonts = nullptr;

namespace {

// Owners for the flat interface's objects, so that every paint deletes what
// it made whatever step failed.
struct GraphicsDeleter {
    void operator()(GpGraphics* p) const { GdipDeleteGraphics(p); }
};
struct BrushDeleter {
    void operator()(GpBrush* p) const { GdipDeleteBrush(p); }
};
struct PenDeleter {
    void operator()(GpPen* p) const { GdipDeletePen(p); }
};
struct FontDeleter {
    void operator()(GpFont* p) const { GdipDeleteFont(p); }
};
struct FamilyDeleter {
    void operator()(GpFontFamily* p) const { GdipDeleteFontFamily(p); }
};
struct FormatDeleter {
    void operator()(GpStringFormat* p) const { GdipDeleteStringFormat(p); }
};
struct PathDeleter {
    void operator()(GpPath* p) const { GdipDeletePath(p); }
};
struct AttributesDeleter {
    void operator()(GpImageAttributes* p) const { GdipDisposeImageAttributes(p); }
};
using Brush = std::unique_ptr<GpBrush, BrushDeleter>;
using Pen = std::unique_ptr<GpPen, PenDeleter>;
using Font = std::unique_ptr<GpFont, FontDeleter>;
using Family = std::unique_ptr<GpFontFamily, FamilyDeleter>;
using Format = std::unique_ptr<GpStringFormat, FormatDeleter>;

Brush solidBrush(ARGB colour) {
    GpSolidFill* brush = nullptr;
    GdipCreateSolidFill(colour, &brush);
    return Brush(brush);
}

Brush verticalGradient(float x, float y, float width, float height, ARGB top, ARGB bottom) {
    GpRectF rect{x, y, width, height};
    GpLineGradient* brush = nullptr;
    GdipCreateLineBrushFromRect(&rect, top, bottom, LinearGradientModeVertical, WrapModeTile, &brush);
    return Brush(brush);
}

Pen makePen(ARGB colour, float width) {
    GpPen* pen = nullptr;
    GdipCreatePen1(colour, width, UnitPixel, &pen);
    return Pen(pen);
}

Font makeFont(GpFontFamily* family, float pixels, int style) {
    GpFont* font = nullptr;
    if (family != nullptr) GdipCreateFont(family, pixels, style, UnitPixel, &font);
    return Font(font);
}

// The named family from privateFonts (or the installed fonts when there is no
// collection), else among the installed fonts, else "Arial". Owned by the caller.
GpFontFamily* findFontFamily(const wchar_t* name) {
    GpFontFamily* family = nullptr;
    if (GdipCreateFontFamilyFromName(name, privateFonts, &family) == Ok && family != nullptr) return family;
    family = nullptr;
    if (privateFonts != nullptr && GdipCreateFontFamilyFromName(name, nullptr, &family) == Ok && family != nullptr)
        return family;
    family = nullptr;
    if (GdipCreateFontFamilyFromName(L"Arial", nullptr, &family) == Ok && family != nullptr) return family;
    return nullptr;
}

// A family among the installed fonts, else the generic sans-serif one, else
// the embedded family of that name.
Family installedOrSansSerif(const wchar_t* name) {
    GpFontFamily* family = nullptr;
    if (GdipCreateFontFamilyFromName(name, nullptr, &family) == Ok && family != nullptr) return Family(family);
    GpFontFamily* generic = nullptr;
    GpFontFamily* copy = nullptr;
    // The generic family is shared; a copy is ours to delete.
    if (GdipGetGenericFontFamilySansSerif(&generic) == Ok && generic != nullptr) GdipCloneFontFamily(generic, &copy);
    if (copy != nullptr) return Family(copy);
    // A system without even a generic face still gets its captions, from the
    // embedded fonts.
    return Family(findFontFamily(name));
}

Format textFormat(int flags, StringAlignment horizontal, StringAlignment vertical) {
    GpStringFormat* format = nullptr;
    if (GdipCreateStringFormat(flags, LANG_NEUTRAL, &format) != Ok) return Format();
    GdipSetStringFormatTrimming(format, StringTrimmingNone);
    GdipSetStringFormatAlign(format, horizontal);
    GdipSetStringFormatLineAlign(format, vertical);
    return Format(format);
}

void drawCentredText(GpGraphics* graphics, const wchar_t* text, GpFont* font, const RECT& rect, GpBrush* brush) {
    Format format = textFormat(0, StringAlignmentCenter, StringAlignmentCenter);
    RectF layout(static_cast<REAL>(rect.left), static_cast<REAL>(rect.top), static_cast<REAL>(rect.right - rect.left),
                 static_cast<REAL>(rect.bottom - rect.top));
    if (font != nullptr && brush != nullptr) GdipDrawString(graphics, text, -1, font, &layout, format.get(), brush);
}

void drawImage(GpGraphics* graphics, GpImage* picture, float x, float y, float width, float height) {
    if (picture != nullptr) GdipDrawImageRect(graphics, picture, x, y, width, height);
}

float width(const RECT& rect) { return static_cast<float>(rect.right - rect.left); }
float height(const RECT& rect) { return static_cast<float>(rect.bottom - rect.top); }

}  // namespace

// ---- Resources ----------------------------------------------------------------------

GpImage* loadPngResource(int resourceId) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), RT_RCDATA);
    if (found == nullptr) return nullptr;
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (size == 0 || bytes == nullptr) return nullptr;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) return nullptr;
    void* target = GlobalLock(block);
    if (target == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(block);

    IStream* stream = nullptr;
    // The stream frees the block when its last reference goes.
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK || stream == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    GpImage* picture = nullptr;
    if (GdipLoadImageFromStream(stream, &picture) != Ok) picture = nullptr;
    stream->Release();
    return picture;
}

void loadEmbeddedFont(int resourceId) {
    if (privateFonts == nullptr) return;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), RT_RCDATA);
    if (found == nullptr) return;
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    if (size == 0 || loaded == nullptr) return;
    const void* bytes = LockResource(loaded);
    // Resource memory lives as long as the module, so the collection may keep
    // pointing into it.
    if (bytes != nullptr) GdipPrivateAddMemoryFont(privateFonts, bytes, static_cast<INT>(size));
}

void createControlFont(HWND child, int points, int weight) {
    HDC dc = GetDC(child);
    int dotsPerInch = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc != nullptr) ReleaseDC(child, dc);
    int pixelHeight = -MulDiv(points, dotsPerInch, 72);
    // The font is kept until the process ends; the labels are never shown.
    HFONT font = CreateFontW(pixelHeight, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Rubik");
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

// ---- The status rows ----------------------------------------------------------------------

namespace {

// "..." until the row's work is done, then "OK".
std::wstring doneValue(int progress) { return progress < 100 ? L"..." : L"OK"; }
// The percentage, clamped to 0..100.
std::wstring percentValue(int progress) { return std::to_wstring(std::clamp(progress, 0, 100)) + L"%"; }

}  // namespace

constexpr std::array<StatusRowLook, kStatusRowCount> kStatusRowLooks{{
    {.initialText = L"Ready to update",
     .icon = IDB_VERSION_ICON,
     .badgeColour = 0xFF57B124,
     .badgeGlyph = L"\u2713",
     .top = 463,
     .barColour = 0xFF3EB71C,
     .valueText = doneValue,
     .valueColour = 0xFF2AA618,
     .valueLeft = 462,
     .valueWidth = 36,
     .separatorY = 501},
    {.initialText = L"Press Update",
     .icon = IDB_DOWNLOAD_ICON,
     .badgeColour = 0xFF46A8E2,
     .badgeGlyph = L"\u2193",
     .top = 505,
     .barColour = 0xFF349DE1,
     .valueText = percentValue,
     .valueColour = 0xFF148FD8,
     .valueLeft = 454,
     .valueWidth = 46,
     .separatorY = 542},
}};
// A row added to StatusRow without its look here would paint from nothing.
static_assert(std::ranges::none_of(kStatusRowLooks, [](const StatusRowLook& row) { return row.valueText == nullptr; }),
              "every status row has a look");

// ---- Drawing primitives ----------------------------------------------------------------

namespace {

// A rectangle with rounded corners, filled and, when a pen is given, outlined.
void fillRoundedRect(GpGraphics* graphics, float x, float y, float width, float height, float radius, GpBrush* brush,
                     GpPen* pen) {
    GpPath* made = nullptr;
    if (GdipCreatePath(FillModeAlternate, &made) != Ok) return;
    std::unique_ptr<GpPath, PathDeleter> path(made);
    float diameter = radius * 2;
    GdipAddPathArc(made, x, y, diameter, diameter, 180, 90);
    GdipAddPathArc(made, x + width - diameter, y, diameter, diameter, 270, 90);
    GdipAddPathArc(made, x + width - diameter, y + height - diameter, diameter, diameter, 0, 90);
    GdipAddPathArc(made, x, y + height - diameter, diameter, diameter, 90, 90);
    GdipClosePathFigure(made);
    if (brush != nullptr) GdipFillPath(graphics, brush, made);
    if (pen != nullptr) GdipDrawPath(graphics, pen, made);
}

// Draws `picture` stretched into the rectangle with opacity 0..255.
void drawImageFaded(GpGraphics* graphics, GpImage* picture, float x, float y, float width, float height, int opacity) {
    if (picture == nullptr || opacity <= 0) return;
    if (opacity >= 255) {
        GdipDrawImageRect(graphics, picture, x, y, width, height);
        return;
    }
    GpImageAttributes* made = nullptr;
    if (GdipCreateImageAttributes(&made) != Ok) return;
    std::unique_ptr<GpImageAttributes, AttributesDeleter> attributes(made);
    ColorMatrix matrix{};
    for (int i = 0; i < 5; ++i) matrix.m[i][i] = 1.0f;
    matrix.m[3][3] = static_cast<REAL>(opacity) / 255.0f;
    GdipSetImageAttributesColorMatrix(made, ColorAdjustTypeBitmap, TRUE, &matrix, nullptr, ColorMatrixFlagsDefault);
    UINT imageWidth = 0, imageHeight = 0;
    GdipGetImageWidth(picture, &imageWidth);
    GdipGetImageHeight(picture, &imageHeight);
    GdipDrawImageRectRect(graphics, picture, x, y, width, height, 0, 0, static_cast<REAL>(imageWidth),
                          static_cast<REAL>(imageHeight), UnitPixel, made, nullptr, nullptr);
}

// A rounded track with a fill for `value` percent (clamped to 0..100).
void drawProgressBar(GpGraphics* graphics, float x, float y, float width, float height, int value,
                     unsigned fillColour) {
    Brush track = solidBrush(0xFFDFEEE1);
    Pen outline = makePen(0xFFAACDAA, 1.0f);
    fillRoundedRect(graphics, x, y, width, height, height / 2, track.get(), outline.get());
    int clamped = std::clamp(value, 0, 100);
    float fillWidth = static_cast<float>(clamped) * width / 100.0f;
    // A fill narrower than the bar is high would be a malformed capsule.
    if (fillWidth > height) {
        Brush fill = solidBrush(fillColour);
        fillRoundedRect(graphics, x, y, fillWidth, height, height / 2, fill.get(), nullptr);
    }
}

// The drawn stand-in for a missing row icon: a ringed disc with a glyph.
void drawSymbolBadge(GpGraphics* graphics, float x, float y, unsigned colour, const wchar_t* glyph) {
    Brush disc = solidBrush(colour);
    if (disc) GdipFillEllipse(graphics, disc.get(), x, y, 34, 34);
    Pen ring = makePen(0xB4FFFFFF, 2.0f);
    if (ring) GdipDrawEllipse(graphics, ring.get(), x + 2, y + 2, 30, 30);
    Family family = installedOrSansSerif(L"Segoe UI Symbol");
    Font font = makeFont(family.get(), 22, FontStyleBold);
    Brush white = solidBrush(0xFFFFFFFF);
    RECT box{static_cast<LONG>(x), static_cast<LONG>(y) - 1, static_cast<LONG>(x) + 34, static_cast<LONG>(y) + 33};
    drawCentredText(graphics, glyph, font.get(), box, white.get());
}

// One unclipped line of text at the rectangle's top left.
void drawTextLine(GpGraphics* graphics, const std::wstring& text, GpFont* font, float x, float y, float width,
                  float height, GpBrush* brush) {
    if (font == nullptr || brush == nullptr) return;
    // One line that runs on to the right, never wrapped into the next row nor
    // cut: near-aligned text is placed the same in any wider layout, so the
    // layout reaches to the client area's right edge, as some renderers cut
    // unwrapped text at the layout's width even when told not to clip.
    Format format =
        textFormat(StringFormatFlagsNoClip | StringFormatFlagsNoWrap, StringAlignmentNear, StringAlignmentNear);
    RectF layout(x, y, std::max(width, 786.0f - x), height);
    GdipDrawString(graphics, text.c_str(), static_cast<INT>(text.size()), font, &layout, format.get(), brush);
}

// The main button and the EXIT button, with their hover cross-fades.
void drawButtons(GpGraphics* graphics) {
    const RECT main = mainButtonRect();
    const bool ready = windowState.clientReady;
    GpImage* normal = image(ready ? IDB_START_BUTTON : IDB_UPDATE_BUTTON);
    GpImage* hover = image(ready ? IDB_START_BUTTON_HOVER : IDB_UPDATE_BUTTON_HOVER);
    if (normal != nullptr) {
        drawImage(graphics, normal, static_cast<float>(main.left), static_cast<float>(main.top), width(main),
                  height(main));
        drawImageFaded(graphics, hover, static_cast<float>(main.left), static_cast<float>(main.top), width(main),
                       height(main), windowState.startHoverLevel);
    } else {
        bool lit = windowState.startHoverLevel >= 128;
        Brush fill = verticalGradient(static_cast<float>(main.left), static_cast<float>(main.top), width(main),
                                      height(main), lit ? 0xFF96EE2D : 0xFF7EDF1B, lit ? 0xFF34B40C : 0xFF299E09);
        Pen outline = makePen(0xFFEAC433, 2.0f);
        fillRoundedRect(graphics, static_cast<float>(main.left), static_cast<float>(main.top), width(main),
                        height(main), 20, fill.get(), outline.get());
        Family family = installedOrSansSerif(L"Rubik");
        Font font = makeFont(family.get(), 34, FontStyleBold);
        Brush caption = solidBrush(0xFFFFFFF5);
        drawCentredText(graphics, ready ? L"GAME START" : L"UPDATE", font.get(), main, caption.get());
    }

    const RECT exit = exitButtonRect();
    GpImage* exitNormal = image(IDB_EXIT_BUTTON);
    if (exitNormal != nullptr) {
        drawImage(graphics, exitNormal, static_cast<float>(exit.left), static_cast<float>(exit.top), width(exit),
                  height(exit));
        drawImageFaded(graphics, image(IDB_EXIT_BUTTON_HOVER), static_cast<float>(exit.left),
                       static_cast<float>(exit.top), width(exit), height(exit), windowState.exitHoverLevel);
    } else {
        Brush fill = solidBrush(windowState.exitHoverLevel >= 128 ? 0xFFFAFFEB : 0xEEFFFFF8);
        Pen outline = makePen(0xFFD2DAB4, 1.5f);
        fillRoundedRect(graphics, static_cast<float>(exit.left), static_cast<float>(exit.top), width(exit),
                        height(exit), 9, fill.get(), outline.get());
        Family family = installedOrSansSerif(L"Rubik");
        Font font = makeFont(family.get(), 18, FontStyleBold);
        Brush caption = solidBrush(0xFF505C46);
        drawCentredText(graphics, L"EXIT", font.get(), exit, caption.get());
    }
}

// ---- The client area ---------------------------------------------------------------------

// What the news area shows when there is no page: the launcher's art, the
// line "News is not available right now." and the link "Open in browser".
void drawNewsPlaceholder(GpGraphics* graphics) {
    // A card like the status panel, centred in the news area.
    Brush shadow = solidBrush(0x375A6E48);
    Brush card = solidBrush(0xF2FFFFF8);
    Pen border = makePen(0xFFD2DAB4, 1.5f);
    fillRoundedRect(graphics, 170, 94, 450, 208, 14, shadow.get(), nullptr);
    fillRoundedRect(graphics, 168, 92, 450, 208, 14, card.get(), border.get());
    // The launcher's own art: its banner, as a picture on the card.
    if (GpImage* banner = image(IDB_BANNER)) drawImage(graphics, banner, 182, 106, 422, 97);

    Family rubik(findFontFamily(L"Rubik"));
    Font lineFont = makeFont(rubik.get(), 15, FontStyleRegular);
    Font linkFont = makeFont(rubik.get(), 13, FontStyleBold | FontStyleUnderline);
    Brush lineBrush = solidBrush(0xFF42423A);
    Brush linkBrush = solidBrush(0xFF148FD8);
    drawCentredText(graphics, L"News is not available right now.", lineFont.get(), RECT{168, 218, 618, 248},
                    lineBrush.get());
    drawCentredText(graphics, L"Open in browser", linkFont.get(), kOpenInBrowserLink, linkBrush.get());
}

// Draws the client area's content (banner, status panel, buttons) in client
// coordinates onto `graphics`.
void drawClientArea(GpGraphics* graphics) {
    // The placeholder only when some of the news area is being painted: the
    // band's frequent repaints leave it alone.
    BOOL newsVisible = FALSE;
    if (newsPlaceholderShown() &&
        GdipIsVisibleRectI(graphics, kNewsArea.left, kNewsArea.top, kNewsArea.right - kNewsArea.left,
                           kNewsArea.bottom - kNewsArea.top, &newsVisible) == Ok &&
        newsVisible) {
        drawNewsPlaceholder(graphics);
    }
    drawImage(graphics, image(IDB_BANNER), 0, 440, 786, 180);
    Brush veil = verticalGradient(0, 440, 786, 180, 0x23FFFFFF, 0x0AFFFFFF);
    if (veil) GdipFillRectangle(graphics, veil.get(), 0, 440, 786, 180);

    Family rubik(findFontFamily(L"Rubik"));
    Font titleFont = makeFont(rubik.get(), 12, FontStyleBold);
    Font statusFont = makeFont(rubik.get(), 10, FontStyleRegular);
    Font valueFont = makeFont(rubik.get(), 13, FontStyleBold);
    Brush shadow = solidBrush(0x375A6E48);
    Brush panel = solidBrush(0xF2FFFFF8);
    Pen border = makePen(0xFFD2DAB4, 1.5f);
    Pen separator = makePen(0x78D7CDAC, 1.0f);
    if (separator) GdipSetPenDashStyle(separator.get(), DashStyleDash);
    Brush titleBrush = solidBrush(0xFF2D2D2A);
    Brush statusBrush = solidBrush(0xFF42423A);
    Brush valueBrush = solidBrush(0xFF2AA618);
    Brush versionBrush = solidBrush(0xBE585C50);

    fillRoundedRect(graphics, 178, 460, 324, 128, 14, shadow.get(), nullptr);
    fillRoundedRect(graphics, 176, 458, 325, 130, 14, panel.get(), border.get());

    const PaintedStatus status = windowState.paintedStatus();
    const bool ready = windowState.clientReady;
    auto icon = [&](int resourceId, float y, unsigned badgeColour, const wchar_t* glyph) {
        if (GpImage* picture = image(resourceId)) {
            drawImage(graphics, picture, 195, y, 34, 34);
        } else {
            drawSymbolBadge(graphics, 195, y, badgeColour, glyph);
        }
    };

    for (std::size_t index = 0; index < kStatusRowCount; ++index) {
        const StatusRowLook& row = kStatusRowLooks[index];
        const RowStatus& shown = status[index];
        icon(row.icon, row.top + 1, row.badgeColour, row.badgeGlyph);
        drawTextLine(graphics, std::wstring(kStatusRowLabels[index]), titleFont.get(), 238, row.top, 120, 22,
                     titleBrush.get());
        drawTextLine(graphics, shown.text, statusFont.get(), 238, row.top + 17, 130, 20, statusBrush.get());
        drawProgressBar(graphics, 345, row.top + 18, 100, 7, shown.progress, row.barColour);
        Brush rowValueBrush = solidBrush(row.valueColour);
        drawTextLine(graphics, row.valueText(shown.progress), valueFont.get(), row.valueLeft, row.top + 8,
                     row.valueWidth, 24, rowValueBrush.get());
        if (separator) GdipDrawLine(graphics, separator.get(), 195, row.separatorY, 484, row.separatorY);
    }

    // Below the status rows: whether the client may be started.
    icon(IDB_CLIENT_ICON, 546, 0xFF43BC4D, L"\u2713");
    drawTextLine(graphics, L"CLIENT STATUS", titleFont.get(), 238, 545, 120, 22, titleBrush.get());
    drawTextLine(graphics, ready ? L"You are ready to play." : L"Preparing your client.", statusFont.get(), 238, 562,
                 180, 20, statusBrush.get());
    drawTextLine(graphics, ready ? L"Ready!" : L"Wait", valueFont.get(), 446, 554, 58, 24, valueBrush.get());

    Format versionFormat = textFormat(0, StringAlignmentNear, StringAlignmentCenter);
    RectF versionRect(176, 592, 325, 24);
    if (statusFont && versionBrush)
        GdipDrawString(graphics, L"Launcher Ver. 2.1.2", -1, statusFont.get(), &versionRect, versionFormat.get(),
                       versionBrush.get());

    drawButtons(graphics);
}

}  // namespace

void renderClientArea(HDC target, const RECT& area) {
    const int areaWidth = area.right - area.left;
    const int areaHeight = area.bottom - area.top;
    if (areaWidth < 1 || areaHeight < 1) return;

    HDC memory = CreateCompatibleDC(target);
    if (memory == nullptr) return;
    HBITMAP bitmap = CreateCompatibleBitmap(target, areaWidth, areaHeight);
    if (bitmap == nullptr) {
        DeleteDC(memory);
        return;
    }
    HGDIOBJ previous = SelectObject(memory, bitmap);
    // A compatible bitmap starts with undefined contents: it is copied to the
    // screen only once something has been drawn into it.
    bool drawn = false;
    {
        GpGraphics* made = nullptr;
        if (GdipCreateFromHDC(memory, &made) == Ok && made != nullptr) {
            drawn = true;
            std::unique_ptr<GpGraphics, GraphicsDeleter> graphics(made);
            GdipSetSmoothingMode(made, SmoothingModeAntiAlias);
            GdipSetTextRenderingHint(made, TextRenderingHintClearTypeGridFit);
            GdipGraphicsClear(made, 0xFFC2E8F7);
            // Everything is drawn in client coordinates; the buffer holds only the area.
            GdipTranslateWorldTransform(made, static_cast<REAL>(-area.left), static_cast<REAL>(-area.top),
                                        MatrixOrderPrepend);
            drawClientArea(made);
        }
    }
    if (drawn) BitBlt(target, area.left, area.top, areaWidth, areaHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
}

void paintWindow(HWND window) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) renderClientArea(dc, paint.rcPaint);
    EndPaint(window, &paint);
}

}  // namespace kiv
