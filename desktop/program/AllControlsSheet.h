// The program's one window: a modal property sheet with the world time page, the settings page
// and the Info page; an About entry in its system menu; help per page.
#pragma once

#include "desktop/admin/win/Info.h"
#include "desktop/admin/win/Standard.h"
#include "desktop/framework/PropertySheet.h"
#include "desktop/worldtime/win/DateTimePage.h"

#include <string>

constexpr UINT IDM_ABOUTBOX = 0x0010;

class CAllControlsSheet : public CPropertySheet {
public:
    CAllControlsSheet(const std::string& caption, CWnd* parent, UINT selectPage);

    BOOL OnInitDialog() override;
    void WinHelp(DWORD context) override;

    CDateTimePage m_dateTimePage;
    Standard m_standard;
    Info m_info;
    HICON m_hIcon;

protected:
    LRESULT windowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void openAboutBox();
};
