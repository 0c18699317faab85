// The page "Show Time && Date": the world clock over the map, the list of every zone Windows
// knows, and the buttons that show a zone, switch between local time and UTC, and set the time.
#pragma once

#include "desktop/framework/PropertySheet.h"
#include "desktop/worldtime/TimeZoneCatalogue.h"
#include "desktop/worldtime/win/StaticWorldClock.h"
#include "win32/Gdi.h"

#include <string>

class CDateTimePage : public CPropertyPage {
public:
    CDateTimePage();
    ~CDateTimePage() override;

    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnKillActive() override;
    void OnDpiChanged(UINT dpi) override;
    // Fills the catalogue and the zone list from the registry; selects the computer's zone.
    void LoadTimeZones();

    int m_selectedZone = -1;
    int m_downloadCountdown = 1080;
    TimeZoneCatalogue m_catalogue;
    FontHandle m_font;
    HWND m_zoneList = nullptr; // a child of the page, destroyed with it
    CStaticWorldClock m_worldClock;
    std::string m_displayMode;
    std::string m_currentStandardName;
    std::string m_tickerText;

protected:
    bool onCommand(UINT id, UINT code, HWND control) override;
    bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    // Gives the "<- select" label the width its text needs in the page's font.
    void fitSelectHint();
    void switchClockMode();
    void takeChosenZone();

    HWND m_clockFrame = nullptr; // the hidden frame whose rectangle the clock takes
    RECT m_clockArea{};
};

// The banner that the ticker shows until a news text arrives.
extern const char* const tickerBanner;
