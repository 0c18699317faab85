// A dialog from a template: modal (DoModal) or modeless (Create). Its messages reach the
// object through the this pointer kept in the dialog's user data from WM_INITDIALOG on.
#pragma once

#include "desktop/framework/Wnd.h"

#include <new>

// The box of a dialog that could not be opened (AfxMessageBox).
void showDialogFailure(const char* text);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);

    INT_PTR DoModal();
    BOOL Create(UINT templateId, CWnd* parent);

    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK();
    virtual void OnCancel();

    // The dialog is shown at another DPI (it moved to another monitor, or the scale changed):
    // after the dialog manager scaled the template's controls, the dialog makes again what it
    // sized or made in pixels itself. A page hears it from its sheet.
    virtual void OnDpiChanged(UINT /*dpi*/) {}

    UINT templateId() const { return templateId_; }
    // A control's rectangle in this dialog's client coordinates: where a placeholder stands.
    RECT itemRectangle(UINT id) const;

protected:
    // A command of a control or button; true when handled.
    virtual bool onCommand(UINT id, UINT code, HWND control);
    // Every message before the default handling; true when handled, with its result.
    virtual bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);
    void EndDialog(INT_PTR result);

    // Attaches the object to the dialog window at WM_INITDIALOG.
    static void attach(HWND window, CDialog* dialog);
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // The dialog's answer to one message, the object's handlers first.
    INT_PTR dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    CWnd* parent_;

private:
    UINT templateId_;
    bool modal_ = false;
    RECT dpiSuggestedRect_{};
};

// Opens one more modeless dialog of type D from its template, owned by parent; it deletes
// itself when its window is gone. A failure is shown with the framework's texts.
template <typename D> void openModelessDialog(UINT templateId, CWnd* parent) {
    auto* dialog = new (std::nothrow) D;
    if (dialog == nullptr) {
        showDialogFailure("Error Creating Dialog Object");
        return;
    }
    if (!dialog->Create(templateId, parent)) {
        delete dialog;
        showDialogFailure("Error creating Dialog");
        return;
    }
    ShowWindow(dialog->m_hWnd, SW_SHOW);
}
