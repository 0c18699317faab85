#include "desktop/framework/PropertySheet.h"

#include "desktop/framework/HelpContext.h"
#include "desktop/framework/WinApp.h"

namespace {
// The sheet's callback gets no context: the sheet being made is handed over per thread, as
// the creation data of a window would be.
thread_local CPropertySheet* sheetBeingCreated = nullptr;
} // namespace

CPropertyPage::CPropertyPage(UINT templateId) : CDialog(templateId) {
    m_psp.dwSize = sizeof m_psp;
    m_psp.dwFlags = PSP_HASHELP;
    m_psp.hInstance = AfxGetInstanceHandle();
    m_psp.pszTemplate = MAKEINTRESOURCEA(templateId);
    m_psp.pfnDlgProc = &CPropertyPage::pageProc;
    m_psp.lParam = reinterpret_cast<LPARAM>(this);
}

void CPropertyPage::SetModified(BOOL changed) {
    const HWND sheet = GetParent(m_hWnd);
    SendMessageA(sheet, changed ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(m_hWnd), 0);
}

BOOL CPropertyPage::OnApply() {
    OnOK();
    return TRUE;
}

bool CPropertyPage::onMessage(UINT message, WPARAM, LPARAM lParam, INT_PTR& result) {
    if (message == WM_HELP) {
        // F1 anywhere on the page: the page's topic.
        sheet_->WinHelp(helpContextOf(templateId()));
        result = TRUE;
        return true;
    }
    if (message != WM_NOTIFY) {
        return false;
    }
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    // The sheet's notifications only: a control's own codes are not the page's business here.
    if (header->hwndFrom != GetParent(m_hWnd) && header->hwndFrom != m_hWnd) {
        return false;
    }
    LONG_PTR answer = 0;
    switch (header->code) {
    case PSN_SETACTIVE:
        answer = OnSetActive() ? 0 : -1;
        break;
    case PSN_KILLACTIVE:
        answer = OnKillActive() ? FALSE : TRUE;
        break;
    case PSN_APPLY:
        answer = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
        break;
    case PSN_HELP:
        sheet_->WinHelp(helpContextOf(templateId()));
        break;
    default:
        return false;
    }
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, answer);
    result = TRUE;
    return true;
}

INT_PTR CALLBACK CPropertyPage::pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* sheetPage = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
        attach(window, reinterpret_cast<CPropertyPage*>(sheetPage->lParam));
    }
    auto* page = reinterpret_cast<CPropertyPage*>(GetWindowLongPtrA(window, DWLP_USER));
    if (page == nullptr) {
        return FALSE;
    }
    return page->dispatch(message, wParam, lParam);
}

CPropertySheet::CPropertySheet(const std::string& caption, CWnd* parent, UINT selectPage)
    : caption_(caption), parent_(parent) {
    m_psh.dwSize = sizeof m_psh;
    m_psh.dwFlags = PSH_USECALLBACK | PSH_HASHELP;
    m_psh.hInstance = AfxGetInstanceHandle();
    m_psh.nStartPage = selectPage;
    m_psh.pfnCallback = &CPropertySheet::sheetCallback;
}

void CPropertySheet::AddPage(CPropertyPage* page) {
    page->sheet_ = this;
    pages_.push_back(page);
}

CPropertyPage* CPropertySheet::GetActivePage() const {
    if (m_hWnd == nullptr) {
        return nullptr;
    }
    const auto current = reinterpret_cast<HWND>(SendMessageA(m_hWnd, PSM_GETCURRENTPAGEHWND, 0, 0));
    for (CPropertyPage* page : pages_) {
        if (page->m_hWnd == current) {
            return page;
        }
    }
    return nullptr;
}

INT_PTR CPropertySheet::DoModal() {
    handles_.clear();
    for (CPropertyPage* page : pages_) {
        handles_.push_back(CreatePropertySheetPageA(&page->m_psp));
    }
    m_psh.hwndParent = parent_ != nullptr ? parent_->m_hWnd : nullptr;
    m_psh.pszCaption = caption_.c_str();
    m_psh.nPages = static_cast<UINT>(handles_.size());
    m_psh.phpage = handles_.data();
    sheetBeingCreated = this;
    // The sheet destroys the pages' handles itself when it closes.
    const INT_PTR result = PropertySheetA(&m_psh);
    sheetBeingCreated = nullptr;
    handles_.clear();
    return result;
}

int CALLBACK CPropertySheet::sheetCallback(HWND window, UINT message, LPARAM) {
    if (message == PSCB_INITIALIZED && sheetBeingCreated != nullptr) {
        sheetBeingCreated->SubclassWindow(window);
        sheetBeingCreated->OnInitDialog();
    }
    return 0;
}

LRESULT CPropertySheet::windowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DPICHANGED) {
        const RECT suggested = *reinterpret_cast<const RECT*>(lParam);
        // The sheet is a dialog: the dialog manager scales its controls and pages first.
        const LRESULT result = Default();
        SetWindowPos(m_hWnd, nullptr, suggested.left, suggested.top,
                     suggested.right - suggested.left, suggested.bottom - suggested.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        for (CPropertyPage* page : pages_) {
            if (page->m_hWnd != nullptr) {
                page->OnDpiChanged(LOWORD(wParam));
            }
        }
        return result;
    }
    if (message == WM_HELP) {
        // F1 with the focus on the sheet's own buttons: the active page's topic.
        if (CPropertyPage* page = GetActivePage()) {
            WinHelp(helpContextOf(page->templateId()));
            return TRUE;
        }
    }
    return Default();
}
