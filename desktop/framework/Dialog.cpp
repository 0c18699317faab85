#include "desktop/framework/Dialog.h"

#include "desktop/framework/WinApp.h"

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
    return CreateDialogParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(templateId),
                              parent != nullptr ? parent->m_hWnd : nullptr, &CDialog::dialogProc,
                              reinterpret_cast<LPARAM>(this)) != nullptr;
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
    case WM_NCDESTROY: {
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
