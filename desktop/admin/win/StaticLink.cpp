#include "desktop/admin/win/StaticLink.h"

#include "win32/WindowText.h"

#include <shellapi.h>

namespace {

// One hand cursor for every link of the process, looked for once.
HCURSOR handCursor() {
    static bool attempted = false;
    static HCURSOR cursor = nullptr;
    if (!attempted) {
        attempted = true;
        char path[MAX_PATH] = {};
        GetWindowsDirectoryA(path, MAX_PATH);
        lstrcatA(path, "\\winhlp32.exe");
        if (HMODULE module = LoadLibraryA(path)) {
            if (HCURSOR found = LoadCursorA(module, MAKEINTRESOURCEA(106))) {
                cursor = CopyIcon(found);
            }
            FreeLibrary(module);
        }
        // Without the help program's cursor the system's own hand serves.
        if (cursor == nullptr) {
            cursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)); // IDC_HAND
        }
    }
    return cursor;
}

} // namespace

INT_PTR CLinkTarget::navigate() {
    if (m_link.empty()) {
        return 0;
    }
    return reinterpret_cast<INT_PTR>(
        ShellExecuteA(nullptr, "open", m_link.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

CStaticLink::CStaticLink(const char* link, bool deleteOnDestroy)
    : m_color(unvisitedColor), m_bDeleteOnDestroy(deleteOnDestroy) {
    if (link != nullptr) {
        m_link.m_link = link;
    }
}

CStaticLink::~CStaticLink() = default;

void CStaticLink::PostNcDestroy() {
    if (m_bDeleteOnDestroy) {
        delete this;
    }
}

LRESULT CStaticLink::drawAsLink(HDC dc) {
    // Only text statics look like links; an icon keeps its look.
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(m_hWnd, GWL_STYLE)) & 0xFF;
    if (style > SS_RIGHT) {
        return 0;
    }
    if (!m_font) {
        LOGFONTA description{};
        const auto current = reinterpret_cast<HFONT>(SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
        GetObjectA(current != nullptr ? static_cast<HGDIOBJ>(current)
                                      : GetStockObject(DEFAULT_GUI_FONT),
                   sizeof description, &description);
        description.lfUnderline = TRUE;
        m_font.reset(CreateFontIndirectA(&description));
    }
    SelectObject(dc, m_font.get());
    SetTextColor(dc, m_color);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

void CStaticLink::follow() {
    if (m_link.m_link.empty()) {
        m_link.m_link = windowText(m_hWnd);
    }
    if (m_link.m_link.empty()) {
        return;
    }
    if (m_link.navigate() > 32) {
        m_color = visitedColor;
        InvalidateRect(m_hWnd, nullptr, TRUE);
    } else {
        MessageBeep(0);
    }
}

LRESULT CStaticLink::windowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCHITTEST:
        return HTCLIENT;
    case reflectedMessageBase + WM_CTLCOLORSTATIC:
        return drawAsLink(reinterpret_cast<HDC>(wParam));
    case WM_SETFONT:
        // A new font (the dialog manager sends one when the DPI changes): the link's underlined
        // copy is made again from it at the next paint, which the control may do at once.
        m_font.reset();
        return Default();
    case WM_LBUTTONDOWN:
        follow();
        return 0;
    case WM_SETCURSOR:
        if (HCURSOR cursor = handCursor()) {
            SetCursor(cursor);
            return TRUE;
        }
        return FALSE;
    default:
        return CStatic::windowProc(message, wParam, lParam);
    }
}
