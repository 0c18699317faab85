#include "win32/Dpi.h"

#include <utility>

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

GetDpiForWindowFn getDpiForWindow() {
    static const auto function = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    return function;
}

using SetDialogControlDpiChangeBehaviorFn = BOOL(WINAPI*)(HWND, UINT, UINT);
constexpr UINT disableFontUpdate = 1; // DCDC_DISABLE_FONT_UPDATE

} // namespace

void keepOwnFont(HWND control) {
    static const auto function =
        reinterpret_cast<SetDialogControlDpiChangeBehaviorFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "SetDialogControlDpiChangeBehavior")));
    if (function != nullptr) {
        function(control, disableFontUpdate, disableFontUpdate);
    }
}

void giveArialFont(HWND control, FontHandle& kept, int heightAt96, UINT dpi) {
    FontHandle font = arialFont(forDpi(heightAt96, dpi));
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    kept = std::move(font);
    keepOwnFont(control);
}

UINT windowDpi(HWND window) {
    if (const GetDpiForWindowFn function = getDpiForWindow(); function != nullptr && window) {
        if (const UINT dpi = function(window); dpi != 0) {
            return dpi;
        }
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

int forDpi(int pixelsAt96, UINT dpi) {
    return MulDiv(pixelsAt96, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}
