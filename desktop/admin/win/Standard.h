// The page "NTP Synchronization Settings": edits syncSettings at once and marks it changed;
// Apply saves through SaveSettings, which restarts Pendra; the page shows what went wrong. The
// controls of values that Group Policy sets show them, disabled, under a note that says so.
#pragma once

#include "desktop/admin/UnitConversion.h"
#include "desktop/framework/PropertySheet.h"
#include "win32/Gdi.h"

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>

class Standard : public CPropertyPage {
public:
    Standard();
    ~Standard() override;

    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnKillActive() override;
    void OnDpiChanged(UINT dpi) override;
    void OnOK() override;

protected:
    bool onCommand(UINT id, UINT code, HWND control) override;
    bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    void showStored(UINT spin, UINT unitList, StoredUnit stored, std::uint32_t value);
    void readTyped(UINT edit, UINT unitList, StoredUnit stored, std::uint32_t& field);
    void fillUnits(UINT unitList, StoredUnit stored);
    // Enables or disables the controls; one that shows a value set by policy stays disabled.
    void enable(std::initializer_list<UINT> ids, bool on);
    void lockWhatPolicySets();
    bool isChecked(UINT id) const;
    void setChecked(UINT id, bool on);
    void changed();
    void chooseLogDirectory();
    void createServerList();
    void fillServerList();
    // The line under the settings: Pendra's state from its status record.
    void showPendraStatus();

    bool m_bInitializing = false;
    bool correcting_ = false; // the page itself rewrites an edit
    std::set<UINT> m_lockedByPolicy;
    std::string m_strServer;
    HWND m_comboServer = nullptr; // a child of the page, destroyed with it
    FontHandle m_font;
};
