#include "desktop/framework/Dialog.h"

#include "desktop/framework/HelpContext.h"
#include "desktop/framework/WinApp.h"

#include <algorithm>
#include <vector>

namespace {

// The modeless dialogs of this thread. They run in a message loop that is not this layer's (the
// sheet's), so a message hook gives them their keys (Tab, Esc, Enter, mnemonics) through
// IsDialogMessage, as a loop of their own would.
class ModelessDialogs {
public:
    ModelessDialogs() = default;
    ModelessDialogs(const ModelessDialogs&) = delete;
    ModelessDialogs& operator=(const ModelessDialogs&) = delete;
    ~ModelessDialogs() { unhook(); }

    void add(HWND dialog) {
        if (hook_ == nullptr) {
            hook_ = SetWindowsHookExA(WH_GETMESSAGE, &ModelessDialogs::keysHook, nullptr,
                                      GetCurrentThreadId());
        }
        windows_.push_back(dialog);
    }
    void remove(HWND dialog) {
        windows_.erase(std::remove(windows_.begin(), windows_.end(), dialog), windows_.end());
        if (windows_.empty()) {
            unhook();
        }
    }

private:
    void unhook() {
        if (hook_ != nullptr) {
            UnhookWindowsHookEx(hook_);
            hook_ = nullptr;
        }
    }
    static LRESULT CALLBACK keysHook(int code, WPARAM removal, LPARAM lParam);

    std::vector<HWND> windows_;
    HHOOK hook_ = nullptr;
};

thread_local ModelessDialogs modelessDialogs;

LRESULT CALLBACK ModelessDialogs::keysHook(int code, WPARAM removal, LPARAM lParam) {
    auto* message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && message->message >= WM_KEYFIRST &&
        message->message <= WM_KEYLAST) {
        // A copy: the dialog may close, and leave this list, while it handles the key.
        const std::vector<HWND> dialogs = modelessDialogs.windows_;
        for (const HWND dialog : dialogs) {
            if (message->hwnd == dialog || IsChild(dialog, message->hwnd)) {
                if (IsDialogMessageA(dialog, message)) {
                    // Handled: the loop that took the message dispatches nothing.
                    message->message = WM_NULL;
                    message->wParam = 0;
                    message->lParam = 0;
                }
                break;
            }
        }
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

} // namespace

CDialog::CDialog(UINT templateId, CWnd* parent) : parent_(parent), templateId_(templateId) {}

INT_PTR CDialog::DoModal() {
    modal_ = true;
    return DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(templateId_),
                           parent_ != nullptr ? parent_->m_hWnd : nullptr, &CDialog::dialogProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::Create(UINT templateId, CWnd* parent) {
    templateId_ = templateId;
    parent_ = parent;
    modal_ = false;
    const HWND window = CreateDialogParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(templateId),
                                           parent != nullptr ? parent->m_hWnd : nullptr,
                                           &CDialog::dialogProc, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
        return FALSE;
    }
    modelessDialogs.add(window);
    return TRUE;
}

RECT CDialog::itemRectangle(UINT id) const {
    RECT area{};
    GetWindowRect(GetDlgItem(id), &area);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&area), 2);
    return area;
}

void showDialogFailure(const char* text) {
    AfxMessageBox(text);
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::EndDialog(INT_PTR result) {
    if (modal_) {
        ::EndDialog(m_hWnd, result);
    } else {
        DestroyWindow(m_hWnd);
    }
}

bool CDialog::onCommand(UINT id, UINT code, HWND) {
    if (code != BN_CLICKED) {
        return false;
    }
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

namespace {

// Posted to itself at WM_DPICHANGED: arrives once the dialog manager has scaled the controls.
constexpr UINT WM_DPI_SCALED = WM_APP + 0x3F0;

} // namespace

bool CDialog::onMessage(UINT, WPARAM, LPARAM, INT_PTR&) {
    return false;
}

void CDialog::attach(HWND window, CDialog* dialog) {
    dialog->m_hWnd = window;
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
}

INT_PTR CDialog::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = 0;
    if (onMessage(message, wParam, lParam, result)) {
        return result;
    }
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return onCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        // A control that draws itself answers with its brush; others get the default.
        return reflectControlColor(message, wParam, lParam);
    case WM_DPICHANGED:
        dpiSuggestedRect_ = *reinterpret_cast<const RECT*>(lParam);
        PostMessageA(m_hWnd, WM_DPI_SCALED, LOWORD(wParam), 0);
        return FALSE; // the dialog manager scales the template's controls
    case WM_DPI_SCALED: {
        // Windows asks a window to take the rectangle it suggests for the new DPI.
        const RECT& rect = dpiSuggestedRect_;
        SetWindowPos(m_hWnd, nullptr, rect.left, rect.top, rect.right - rect.left,
                     rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
        OnDpiChanged(static_cast<UINT>(wParam));
        return TRUE;
    }
    case WM_HELP:
        // F1 in a dialog that is no page: its own context, the maker's topic unless the help
        // table names another.
        if (CWinApp* app = AfxGetApp()) {
            app->WinHelp(helpContextOf(templateId_));
        }
        return TRUE;
    case WM_NCDESTROY: {
        if (!modal_) {
            modelessDialogs.remove(m_hWnd);
        }
        m_hWnd = nullptr;
        PostNcDestroy(); // may delete this
        return FALSE;
    }
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK CDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        attach(window, reinterpret_cast<CDialog*>(lParam));
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) {
        return FALSE; // messages before WM_INITDIALOG
    }
    return dialog->dispatch(message, wParam, lParam);
}
