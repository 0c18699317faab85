// Property pages and the sheet that holds them, through PropertySheetA. A page's lParam
// carries its object; the sheet window is subclassed when comctl32 has made it, so that the
// sheet's own messages (system menu, help) reach its object.
#pragma once

#include "desktop/framework/Dialog.h"

#include <commctrl.h>

#include <string>
#include <vector>

class CPropertySheet;

class CPropertyPage : public CDialog {
public:
    explicit CPropertyPage(UINT templateId);

    // Enables Apply (or disables it, with FALSE) on the sheet.
    void SetModified(BOOL changed = TRUE);
    virtual BOOL OnSetActive() { return TRUE; }
    virtual BOOL OnKillActive() { return TRUE; }
    // Apply: the page saves; the default calls OnOK and reports success.
    virtual BOOL OnApply();
    // Called by OnApply; a page saves its changes here.
    void OnOK() override {}
    void OnCancel() override {}

    PROPSHEETPAGEA m_psp{};
    CPropertySheet* sheet_ = nullptr;

protected:
    bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    static INT_PTR CALLBACK pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

class CPropertySheet : public CWnd {
public:
    CPropertySheet(const std::string& caption, CWnd* parent, UINT selectPage);

    void AddPage(CPropertyPage* page);
    INT_PTR DoModal();
    CPropertyPage* GetActivePage() const;

    // Once the sheet window exists, before it is shown.
    virtual BOOL OnInitDialog() { return TRUE; }

    PROPSHEETHEADERA m_psh{};

protected:
    LRESULT windowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    static int CALLBACK sheetCallback(HWND window, UINT message, LPARAM lParam);

    std::string caption_;
    std::vector<CPropertyPage*> pages_;
    std::vector<HPROPSHEETPAGE> handles_;
    CWnd* parent_;
};
