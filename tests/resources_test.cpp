// The resources every launcher executable embeds, read back by the
// launcher's own loaders: images decoded by GDI+ from RCDATA, fonts added to
// the private font collection from resource memory, the icon and the manifest.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include "ui/ui.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Gdiplus::DllExports;

std::string_view resourceBytes(int id, LPCWSTR type) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (info == nullptr) return {};
    DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    if (size == 0 || loaded == nullptr) return {};
    return {static_cast<const char*>(LockResource(loaded)), size};
}

class GdiplusSession : public testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override {
        if (token_ != 0) Gdiplus::GdiplusShutdown(token_);
    }

private:
    ULONG_PTR token_ = 0;
};

struct ImageSize {
    int id;
    UINT width;
    UINT height;
};

using ResourceImages = GdiplusSession;

// How the images look is checked by the launcher's reference screenshots;
// here, that each decodes at the size its slot is drawn at.
TEST_F(ResourceImages, EveryImageDecodesAtTheSizeItsSlotIsDrawnAt) {
    const ImageSize expected[] = {
        {101, 786, 180}, {102, 279, 93}, {103, 279, 93}, {104, 279, 93}, {105, 279, 93},
        {106, 226, 33},  {107, 226, 33}, {108, 34, 34},  {109, 34, 34},  {110, 34, 34},
    };
    for (const ImageSize& size : expected) {
        SCOPED_TRACE(size.id);
        Gdiplus::GpImage* image = kiv::loadPngResource(size.id);
        ASSERT_NE(image, nullptr);
        UINT width = 0, height = 0;
        EXPECT_EQ(GdipGetImageWidth(image, &width), Gdiplus::Ok);
        EXPECT_EQ(GdipGetImageHeight(image, &height), Gdiplus::Ok);
        EXPECT_EQ(width, size.width);
        EXPECT_EQ(height, size.height);
        GdipDisposeImage(image);
    }
}

std::vector<std::wstring> familyNames(Gdiplus::GpFontCollection* collection) {
    INT count = 0;
    GdipGetFontCollectionFamilyCount(collection, &count);
    std::vector<Gdiplus::GpFontFamily*> families(static_cast<size_t>(count));
    INT found = 0;
    GdipGetFontCollectionFamilyList(collection, count, families.data(), &found);
    std::vector<std::wstring> names;
    for (INT i = 0; i < found; ++i) {
        WCHAR name[LF_FACESIZE] = {};
        GdipGetFamilyName(families[static_cast<size_t>(i)], name, LANG_NEUTRAL);
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

using ResourceFonts = GdiplusSession;

TEST_F(ResourceFonts, EmbeddedFontsGiveTheFamiliesTheBandAsksFor) {
    ASSERT_EQ(GdipNewPrivateFontCollection(&kiv::privateFonts), Gdiplus::Ok);
    for (int id = 201; id <= 205; ++id) kiv::loadEmbeddedFont(id);
    Gdiplus::GpFontCollection* collection = kiv::privateFonts;
    std::vector<std::wstring> names = familyNames(collection);
    for (const wchar_t* family : {L"Rubik", L"Quicksand Light", L"Nunito ExtraLight"}) {
        EXPECT_TRUE(std::find(names.begin(), names.end(), family) != names.end())
            << testing::PrintToString(std::wstring(family)) << " is not among " << testing::PrintToString(names);
    }
    // The web-font master name must not leak into the family names.
    for (const std::wstring& name : names) {
        EXPECT_EQ(name.find(L"Rubik Light"), std::wstring::npos);
    }

    Gdiplus::GpFontFamily* rubik = nullptr;
    ASSERT_EQ(GdipCreateFontFamilyFromName(L"Rubik", collection, &rubik), Gdiplus::Ok);
    BOOL regular = FALSE, bold = FALSE;
    GdipIsStyleAvailable(rubik, Gdiplus::FontStyleRegular, &regular);
    GdipIsStyleAvailable(rubik, Gdiplus::FontStyleBold, &bold);
    EXPECT_TRUE(regular);
    EXPECT_TRUE(bold);
    GdipDeleteFontFamily(rubik);
    GdipDeletePrivateFontCollection(&kiv::privateFonts);
    kiv::privateFonts = nullptr;
}

TEST(ResourceIcon, IconOneLoadsAtTheWindowIconSizes) {
    for (int size : {16, 32, 48}) {
        HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                   size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap{};
        GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
        if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

TEST(ResourceManifest, RunsAsTheInvokingUserWithoutDpiAwareness) {
    std::string_view manifest = resourceBytes(1, MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string_view::npos);
    EXPECT_NE(manifest.find(">false</dpiAware>"), std::string_view::npos);
}

}  // namespace
