// GDI by guard: a selection puts back what was selected, and owned objects and DCs are deleted.
#include "win32/Gdi.h"

#include <gtest/gtest.h>

TEST(Win32Gdi, ASelectionIsUndoneAndTheObjectsGoWithTheirOwners) {
    HBITMAP bitmap = nullptr;
    HDC dc = nullptr;
    {
        const MemoryDC memory(CreateCompatibleDC(nullptr));
        dc = memory.get();
        ASSERT_NE(dc, nullptr);
        const HGDIOBJ original = GetCurrentObject(dc, OBJ_BITMAP);
        const BitmapHandle owned(CreateCompatibleBitmap(dc, 8, 8));
        bitmap = owned.get();
        {
            const SelectedObject selected(dc, bitmap);
            EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), bitmap);
            // Nested: each puts back its own predecessor.
            const FontHandle font(CreateFontA(12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial"));
            const HGDIOBJ originalFont = GetCurrentObject(dc, OBJ_FONT);
            {
                const SelectedObject fontSelected(dc, font.get());
                EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), font.get());
            }
            EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), originalFont);
        }
        EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), original);
        // Nothing to select: nothing changes, and nothing is put back.
        { const SelectedObject none(dc, nullptr); }
        EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), original);
    }
    EXPECT_EQ(GetObjectType(bitmap), 0u);
    EXPECT_EQ(GetObjectType(dc), 0u);
}
