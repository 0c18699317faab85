// The Set Time and Date dialog: a month calendar and a time picker, and a button that sets the
// local date and time from both. Modeless, one more per press on the page; each deletes itself
// when it is closed.
#pragma once

#include "desktop/framework/Dialog.h"
#include "win32/Gdi.h"

#include <functional>

class CSetTimeDlg : public CDialog {
public:
    CSetTimeDlg();
    ~CSetTimeDlg() override;
    BOOL OnInitDialog() override;
    void OnDpiChanged(UINT dpi) override;
    void OnCancel() override;

    SYSTEMTIME m_chosenDate{};
    SYSTEMTIME m_newTime{};
    HWND m_timePicker = nullptr;
    HWND m_monthCalendar = nullptr;
    FontHandle m_font;
    // How the clock is set: SetLocalTime, or what a test puts in its place.
    std::function<BOOL(const SYSTEMTIME&)> m_setLocalTime = [](const SYSTEMTIME& time) {
        return SetLocalTime(&time);
    };

protected:
    bool onCommand(UINT id, UINT code, HWND control) override;
    void PostNcDestroy() override { delete this; }

private:
    HWND replacePlaceholder(UINT id, const char* windowClass, DWORD style);
    // Gives the calendar the room its month needs in this font and grows the dialog around it.
    void fitCalendar();
    void apply();
};
