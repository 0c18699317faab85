#include "desktop/framework/Wnd.h"

#include <commctrl.h>

namespace {
constexpr UINT_PTR subclassId = 1;
}

CWnd::~CWnd() {
    if (m_hWnd != nullptr) {
        RemoveWindowSubclass(m_hWnd, &CWnd::subclassProc, subclassId);
    }
}

bool CWnd::SubclassWindow(HWND window) {
    if (window == nullptr || !SetWindowSubclass(window, &CWnd::subclassProc, subclassId,
                                                reinterpret_cast<DWORD_PTR>(this))) {
        return false;
    }
    m_hWnd = window;
    return true;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
    return SubclassWindow(parent->GetDlgItem(id));
}

void CWnd::WinHelp(DWORD) {}

LRESULT CWnd::windowProc(UINT, WPARAM, LPARAM) {
    return Default();
}

LRESULT CWnd::Default() {
    return DefSubclassProc(m_hWnd, currentMessage_, currentWParam_, currentLParam_);
}

LRESULT CALLBACK CWnd::subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<CWnd*>(data);
    // Kept for Default(); a nested message saves and restores the outer one.
    const UINT outerMessage = self->currentMessage_;
    const WPARAM outerWParam = self->currentWParam_;
    const LPARAM outerLParam = self->currentLParam_;
    self->currentMessage_ = message;
    self->currentWParam_ = wParam;
    self->currentLParam_ = lParam;
    LRESULT result = 0;
    if (message == WM_NCDESTROY) {
        result = DefSubclassProc(window, message, wParam, lParam);
        RemoveWindowSubclass(window, &CWnd::subclassProc, subclassId);
        self->m_hWnd = nullptr;
        self->PostNcDestroy(); // may delete self
        return result;
    }
    result = self->windowProc(message, wParam, lParam);
    self->currentMessage_ = outerMessage;
    self->currentWParam_ = outerWParam;
    self->currentLParam_ = outerLParam;
    return result;
}

LRESULT reflectControlColor(UINT message, WPARAM wParam, LPARAM lParam) {
    const auto control = reinterpret_cast<HWND>(lParam);
    if (control == nullptr) {
        return 0;
    }
    return SendMessageA(control, reflectedMessageBase + message, wParam, lParam);
}
