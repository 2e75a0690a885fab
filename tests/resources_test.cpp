// The resources every launcher executable embeds, read back by the
// launcher's own loaders: images decoded by GDI+ from RCDATA, the icon and
// the manifest.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <string_view>

#include "ui/ui.h"

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

// GDI+ started once, as the launcher does.
class Resources : public testing::Test {
protected:
    static void SetUpTestSuite() { GdiplusStartup(&token, &input, nullptr); }
    static inline GdiplusStartupInput input;
    static inline ULONG_PTR token = 0;
};

// How the images look, and the embedded fonts the band is drawn in, are
// checked by the launcher's reference screenshots; here, that each image
// decodes at the size its slot is drawn at.
TEST_F(Resources, EveryImageDecodesAtTheSizeItsSlotIsDrawnAt) {
    const UINT sizes[][2] = {{786, 180}, {279, 93}, {279, 93}, {279, 93}, {279, 93},
                             {226, 33},  {226, 33}, {34, 34},  {34, 34},  {34, 34}};
    for (int id = IDB_FIRST; id <= IDB_LAST; ++id) {
        GpImage* image = kiv::loadPngResource(id);
        ASSERT_NE(image, nullptr) << id;
        UINT width = 0, height = 0;
        GdipGetImageWidth(image, &width);
        GdipGetImageHeight(image, &height);
        const UINT* size = sizes[id - IDB_FIRST];
        EXPECT_EQ(std::pair(width, height), std::pair(size[0], size[1])) << id;
        GdipDisposeImage(image);
    }
}

TEST_F(Resources, IconLoadsAtTheWindowIconSizes) {
    for (int size : {16, 32, 48}) {
        auto* icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                   IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        ICONINFO info{};
        ASSERT_TRUE(icon != nullptr && GetIconInfo(icon, &info)) << size;
        BITMAP bitmap{};
        GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

TEST_F(Resources, ManifestRunsAsTheInvokingUserWithoutDpiAwareness) {
    HRSRC found = FindResourceW(nullptr, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    ASSERT_NE(found, nullptr);
    std::string_view manifest(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                              SizeofResource(nullptr, found));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string_view::npos);
    EXPECT_NE(manifest.find(">false</dpiAware>"), std::string_view::npos);
}

}  // namespace
