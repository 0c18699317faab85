// GDI by guard: an owned object, a memory device context, and a selection that puts back what
// was selected before at scope exit. No object is restored or deleted by hand.
#pragma once

#include "win32/Guards.h"

template <typename Object> struct GdiObjectTraits {
    using Handle = Object;
    static Object empty() { return nullptr; }
    static bool isValid(Object object) { return object != nullptr; }
    static void close(Object object) { DeleteObject(object); }
};

struct MemoryDCTraits {
    using Handle = HDC;
    static HDC empty() { return nullptr; }
    static bool isValid(HDC dc) { return dc != nullptr; }
    static void close(HDC dc) { DeleteDC(dc); }
};

using FontHandle = ScopedHandle<GdiObjectTraits<HFONT>>;
using BitmapHandle = ScopedHandle<GdiObjectTraits<HBITMAP>>;
using BrushHandle = ScopedHandle<GdiObjectTraits<HBRUSH>>;
using RegionHandle = ScopedHandle<GdiObjectTraits<HRGN>>;
using MemoryDC = ScopedHandle<MemoryDCTraits>;

// Arial in pixels: a cell height, an average width (0: the face's own) and a weight (0: normal).
inline FontHandle arialFont(LONG height, LONG width = 0, LONG weight = 0) {
    LOGFONTA description{};
    lstrcpynA(description.lfFaceName, "Arial", LF_FACESIZE);
    description.lfHeight = height;
    description.lfWidth = width;
    description.lfWeight = weight;
    return FontHandle(CreateFontIndirectA(&description));
}

// Selects object into dc for the owner's lifetime; the object must outlive the selection.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object)
        : dc_(dc),
          previous_(dc != nullptr && object != nullptr ? SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() {
        if (previous_ != nullptr) {
            SelectObject(dc_, previous_);
        }
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};
