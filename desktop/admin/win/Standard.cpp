#include "desktop/admin/win/Standard.h"

#include "common/PendraSettings.h"
#include "desktop/admin/PageStatusText.h"
#include "desktop/admin/ServerList.h"
#include "desktop/admin/SyncSettings.h"
#include "desktop/admin/SystemErrorText.h"
#include "desktop/admin/win/ServiceControl.h"
#include "desktop/admin/win/SettingsRegistry.h"
#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "win32/Dpi.h"
#include "win32/Gdi.h"
#include "win32/StatusRegistry.h"
#include "win32/SystemMessage.h"
#include "win32/WindowText.h"
#include "win32/WindowsTimeService.h"

#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// The server list's font height in pixels at 96 DPI.
constexpr int serverListFont = 15;
// The status line is read again this often while the page is shown.
constexpr UINT_PTR statusTimer = 1;
constexpr UINT statusRefreshMilliseconds = 3000;

// A moment as this computer's local time of day, hh:mm:ss.
std::string localClock(UnixSeconds time) {
    const std::uint64_t ticks = fileTimeFromUnix(time);
    const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&utc, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
        local = universal;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", local.wHour, local.wMinute, local.wSecond);
    return text;
}

// The controls that show each setting the page edits, labels included: policy locks them all.
struct SettingControls {
    const pendra_settings::Setting* setting;
    std::array<UINT, 5> ids; // 0 for none
};
constexpr std::array<SettingControls, 8> settingControls{{
    {&pendra_settings::ntpServerName, {IDC_SERVER_LIST}},
    {&pendra_settings::runOnce, {IDC_RUN_ONCE, IDC_RUN_EVERY}},
    {&pendra_settings::ntpPollMilliseconds, {IDC_POLL_VALUE, IDC_POLL_SPIN, IDC_POLL_UNIT}},
    {&pendra_settings::maxAdjustSeconds,
     {IDC_PLAUSIBILITY, IDC_MAX_CORRECTION_LABEL, IDC_MAX_VALUE, IDC_MAX_SPIN, IDC_MAX_UNIT}},
    {&pendra_settings::waitForRas, {IDC_WAIT_RAS}},
    {&pendra_settings::rasPollMilliseconds,
     {IDC_CHECK_EVERY_LABEL, IDC_RAS_VALUE, IDC_RAS_SPIN, IDC_RAS_UNIT}},
    {&pendra_settings::writeLogEntries, {IDC_LOG_ENABLE}},
    {&pendra_settings::logDirectory, {IDC_LOG_DIRECTORY, IDC_LOG_BROWSE}},
}};

// Offered when the server list cannot be read and no server was configured.
constexpr const char* defaultServer = "pool.ntp.org";

struct ShellMalloc {
    IMalloc* allocator = nullptr;
    ShellMalloc() { SHGetMalloc(&allocator); }
    ~ShellMalloc() {
        if (allocator != nullptr) {
            allocator->Release();
        }
    }
    ShellMalloc(const ShellMalloc&) = delete;
    ShellMalloc& operator=(const ShellMalloc&) = delete;
};

// The save's messages, in boxes owned by the sheet, so that it waits while one is open.
class SaveDialogue : public SettingsDialogue {
public:
    void warn(const std::string& text) override {
        applicationMessageBox(owner(), text.c_str(), "Horvane Error", MB_ICONWARNING | MB_OK);
    }
    bool confirmCreate(const std::string& text) override {
        return applicationMessageBox(owner(), text.c_str(), "Log Directory Error",
                                     MB_ICONQUESTION | MB_OKCANCEL) == IDOK;
    }
    void showSystemError(const std::string& caption, std::uint32_t error) override {
        const std::string text = systemErrorText(caption, error, &systemText);
        applicationMessageBox(owner(), text.c_str(), "Horvane Error", MB_ICONWARNING | MB_OK);
    }
    void showRestartMessage(const std::string& text) override {
        applicationMessageBox(owner(), text.c_str(), "Pendra", MB_ICONWARNING);
    }

private:
    static HWND owner() {
        CWinApp* app = AfxGetApp();
        return app != nullptr && app->m_pMainWnd != nullptr ? app->m_pMainWnd->m_hWnd : nullptr;
    }
    static std::string systemText(std::uint32_t code) { return systemMessage(code); }
};

} // namespace

Standard::Standard() : CPropertyPage(IDD_STANDARD) {}

Standard::~Standard() = default;

bool Standard::isChecked(UINT id) const {
    return SendMessageA(GetDlgItem(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Standard::setChecked(UINT id, bool on) {
    SendMessageA(GetDlgItem(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Standard::enable(std::initializer_list<UINT> ids, bool on) {
    for (const UINT id : ids) {
        EnableWindow(GetDlgItem(id), on && !m_lockedByPolicy.contains(id));
    }
}

void Standard::lockWhatPolicySets() {
    for (const UINT id : m_lockedByPolicy) {
        EnableWindow(GetDlgItem(id), FALSE);
    }
    // The note takes its place under the settings only when it has something to say; else
    // the status line moves up into it.
    const HWND note = GetDlgItem(IDC_POLICY_NOTE);
    if (!m_lockedByPolicy.empty()) {
        ShowWindow(note, SW_SHOW);
        return;
    }
    const RECT noteArea = itemRectangle(IDC_POLICY_NOTE);
    const RECT status = itemRectangle(IDC_PENDRA_STATUS);
    SetWindowPos(GetDlgItem(IDC_PENDRA_STATUS), nullptr, status.left, noteArea.top,
                 status.right - status.left, status.bottom - noteArea.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void Standard::changed() {
    syncSettings.dirty = true;
    SetModified(TRUE);
}

void Standard::fillUnits(UINT unitList, StoredUnit stored) {
    static constexpr std::array<const char*, 4> milliseconds{"Milliseconds", "Seconds", "Minutes",
                                                             "Hours"};
    const HWND list = GetDlgItem(unitList);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    // Seconds are the millisecond list without its first entry.
    const std::size_t first = stored == StoredUnit::seconds ? 1 : 0;
    for (std::size_t i = first; i < milliseconds.size(); ++i) {
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(milliseconds[i]));
    }
    SendMessageA(list, CB_SETCURSEL, 0, 0);
}

void Standard::showStored(UINT spin, UINT unitList, StoredUnit stored, std::uint32_t value) {
    const ShownValue shown = showValue(stored, value);
    // The up-down control writes its position into its edit: at most 16 bits of it.
    SendMessageA(GetDlgItem(spin), UDM_SETPOS, 0, MAKELPARAM(shown.number & 0xFFFF, 0));
    SendMessageA(GetDlgItem(unitList), CB_SETCURSEL, static_cast<WPARAM>(shown.unitIndex), 0);
}

void Standard::readTyped(UINT edit, UINT unitList, StoredUnit stored, std::uint32_t& field) {
    const HWND editWindow = GetDlgItem(edit);
    const int unit = static_cast<int>(SendMessageA(GetDlgItem(unitList), CB_GETCURSEL, 0, 0));
    const auto typed = readTypedValue(windowText(editWindow), stored, unit);
    if (typed) {
        field = typed->stored;
        if (typed->correctedNumber) {
            // What is stored, shown at once: the user sees the number was limited.
            correcting_ = true;
            SetWindowTextA(editWindow, std::to_string(*typed->correctedNumber).c_str());
            SendMessageA(editWindow, EM_SETSEL, 0, -1);
            correcting_ = false;
        }
    }
    changed();
}

BOOL Standard::OnInitDialog() {
    m_bInitializing = true;
    for (const auto& [setting, ids] : settingControls) {
        if (syncSettings.setByPolicy(setting->name)) {
            m_lockedByPolicy.insert(ids.begin(), std::find(ids.begin(), ids.end(), 0u));
        }
    }
    fillUnits(IDC_MAX_UNIT, StoredUnit::seconds);
    fillUnits(IDC_RAS_UNIT, StoredUnit::milliseconds);
    fillUnits(IDC_POLL_UNIT, StoredUnit::milliseconds);
    for (const UINT spin : {IDC_MAX_SPIN, IDC_RAS_SPIN, IDC_POLL_SPIN}) {
        SendMessageA(GetDlgItem(spin), UDM_SETRANGE, 0, MAKELPARAM(0x7FFF, 0));
    }
    showStored(IDC_MAX_SPIN, IDC_MAX_UNIT, StoredUnit::seconds, syncSettings.maxAdjustSeconds);
    showStored(IDC_RAS_SPIN, IDC_RAS_UNIT, StoredUnit::milliseconds,
               syncSettings.rasPollMilliseconds);
    showStored(IDC_POLL_SPIN, IDC_POLL_UNIT, StoredUnit::milliseconds,
               syncSettings.ntpPollMilliseconds);

    setChecked(IDC_PLAUSIBILITY, syncSettings.plausibilityCheck);
    setChecked(IDC_WAIT_RAS, syncSettings.waitForRas != 0);
    setChecked(IDC_RUN_ONCE, syncSettings.runOnce != 0);
    setChecked(IDC_RUN_EVERY, syncSettings.runOnce == 0);
    enable({IDC_MAX_CORRECTION_LABEL, IDC_MAX_VALUE, IDC_MAX_SPIN, IDC_MAX_UNIT},
           syncSettings.plausibilityCheck);
    enable({IDC_CHECK_EVERY_LABEL, IDC_RAS_VALUE, IDC_RAS_SPIN, IDC_RAS_UNIT},
           syncSettings.waitForRas != 0);
    enable({IDC_POLL_VALUE, IDC_POLL_SPIN, IDC_POLL_UNIT}, syncSettings.runOnce == 0);

    setChecked(IDC_LOG_ENABLE, syncSettings.writeLogEntries != 0);
    if (syncSettings.logDirectory) {
        SetWindowTextA(GetDlgItem(IDC_LOG_DIRECTORY), syncSettings.logDirectory->c_str());
    }
    enable({IDC_LOG_DIRECTORY, IDC_LOG_BROWSE}, syncSettings.writeLogEntries != 0);

    if (isWindowsNT) {
        // Pendra starts as a service there; the next save removes any autostart entry.
        enable({IDC_AUTOSTART}, false);
        syncSettings.autostart = false;
    } else {
        setChecked(IDC_AUTOSTART, syncSettings.autostart);
    }

    createServerList();
    fillServerList();
    lockWhatPolicySets();
    m_bInitializing = false;
    return TRUE;
}

BOOL Standard::OnSetActive() {
    showPendraStatus();
    SetTimer(m_hWnd, statusTimer, statusRefreshMilliseconds, nullptr);
    return CPropertyPage::OnSetActive();
}

BOOL Standard::OnKillActive() {
    KillTimer(m_hWnd, statusTimer);
    return CPropertyPage::OnKillActive();
}

bool Standard::onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    if (message == WM_TIMER && wParam == statusTimer) {
        showPendraStatus();
        result = 0;
        return true;
    }
    return CPropertyPage::onMessage(message, wParam, lParam, result);
}

void Standard::showPendraStatus() {
    const std::string line = pageStatusText(statusLine(readStatusRegistry(), unixNow(), localClock),
                                            windowsTimeServiceSynchronising());
    // Set only when it changed: no flicker every few seconds.
    if (windowText(GetDlgItem(IDC_PENDRA_STATUS)) != line) {
        SetDlgItemTextA(m_hWnd, IDC_PENDRA_STATUS, line.c_str());
    }
}

void Standard::OnDpiChanged(UINT dpi) {
    giveArialFont(m_comboServer, m_font, serverListFont, dpi);
}

void Standard::createServerList() {
    const HWND placeholder = GetDlgItem(IDC_SERVER_LIST);
    const RECT area = itemRectangle(IDC_SERVER_LIST);
    // The list takes the placeholder's id; the placeholder steps aside. Its edit takes any
    // name, address or blank-separated list of servers.
    SetWindowLongPtrA(placeholder, GWLP_ID, 0);
    m_comboServer =
        CreateWindowExA(0, "COMBOBOX", "",
                        WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN |
                            CBS_AUTOHSCROLL,
                        area.left, area.top, area.right - area.left, area.bottom - area.top, m_hWnd,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_SERVER_LIST)),
                        AfxGetInstanceHandle(), nullptr);
    giveArialFont(m_comboServer, m_font, serverListFont, windowDpi(m_hWnd));
    // In the tab order where the placeholder stood.
    SetWindowPos(m_comboServer, placeholder, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Standard::fillServerList() {
    const std::string path = programFolder() + "NTPServ.dat";
    // Read only: a list in a folder the user may not write to must still open.
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        AfxMessageBox("Couldn't open " + path + "!");
        // The configured server stays the choice; without one the usual public pool is offered.
        const std::string fallback = syncSettings.serverName.value_or(defaultServer);
        SendMessageA(m_comboServer, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(fallback.c_str()));
        if (syncSettings.serverName) {
            SendMessageA(m_comboServer, CB_SETCURSEL, 0, 0);
        }
        return;
    }
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    for (const std::string& entry : serverListEntries(content)) {
        SendMessageA(m_comboServer, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    if (!syncSettings.serverName) {
        return;
    }
    // The whole name: the prefix search would show "time.nist.gov" for a stored "time".
    const LRESULT listed = SendMessageA(m_comboServer, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                        reinterpret_cast<LPARAM>(syncSettings.serverName->c_str()));
    if (listed != CB_ERR) {
        SendMessageA(m_comboServer, CB_SETCURSEL, static_cast<WPARAM>(listed), 0);
    } else {
        // A server or a list that the file does not name is shown as it is stored.
        SetWindowTextA(m_comboServer, syncSettings.serverName->c_str());
    }
}

void Standard::chooseLogDirectory() {
    ShellMalloc shell;
    char displayName[MAX_PATH] = {};
    BROWSEINFOA browse{};
    browse.hwndOwner = m_hWnd;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = "Select directory for Horvane log files";
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    if (chosen == nullptr) {
        return;
    }
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(chosen, path)) {
        SetWindowTextA(GetDlgItem(IDC_LOG_DIRECTORY), path);
        syncSettings.logDirectory = path;
        syncSettings.logDirectoryType = registry_type::string;
        changed();
    }
    if (shell.allocator != nullptr) {
        shell.allocator->Free(chosen);
    }
}

bool Standard::onCommand(UINT id, UINT code, HWND control) {
    // The page's own filling, and its corrections of a typed number, change nothing.
    const bool quiet = m_bInitializing || correcting_;
    switch (id) {
    case IDC_PLAUSIBILITY:
        if (code == BN_CLICKED && !quiet) {
            syncSettings.plausibilityCheck = isChecked(IDC_PLAUSIBILITY);
            enable({IDC_MAX_CORRECTION_LABEL, IDC_MAX_VALUE, IDC_MAX_SPIN, IDC_MAX_UNIT},
                   syncSettings.plausibilityCheck);
            changed();
        }
        return true;
    case IDC_MAX_VALUE:
    case IDC_MAX_UNIT:
        if ((code == EN_CHANGE || code == CBN_SELCHANGE) && !quiet) {
            readTyped(IDC_MAX_VALUE, IDC_MAX_UNIT, StoredUnit::seconds,
                      syncSettings.maxAdjustSeconds);
        }
        return true;
    case IDC_WAIT_RAS:
        if (code == BN_CLICKED && !quiet) {
            syncSettings.waitForRas = isChecked(IDC_WAIT_RAS) ? 1 : 0;
            enable({IDC_CHECK_EVERY_LABEL, IDC_RAS_VALUE, IDC_RAS_SPIN, IDC_RAS_UNIT},
                   syncSettings.waitForRas != 0);
            changed();
        }
        return true;
    case IDC_RAS_VALUE:
    case IDC_RAS_UNIT:
        if ((code == EN_CHANGE || code == CBN_SELCHANGE) && !quiet) {
            readTyped(IDC_RAS_VALUE, IDC_RAS_UNIT, StoredUnit::milliseconds,
                      syncSettings.rasPollMilliseconds);
        }
        return true;
    case IDC_RUN_ONCE:
    case IDC_RUN_EVERY:
        if (code == BN_CLICKED && !quiet) {
            syncSettings.runOnce = isChecked(IDC_RUN_ONCE) ? 1 : 0;
            enable({IDC_POLL_VALUE, IDC_POLL_SPIN, IDC_POLL_UNIT}, syncSettings.runOnce == 0);
            changed();
        }
        return true;
    case IDC_POLL_VALUE:
    case IDC_POLL_UNIT:
        if ((code == EN_CHANGE || code == CBN_SELCHANGE) && !quiet) {
            readTyped(IDC_POLL_VALUE, IDC_POLL_UNIT, StoredUnit::milliseconds,
                      syncSettings.ntpPollMilliseconds);
        }
        return true;
    case IDC_LOG_ENABLE:
        if (code == BN_CLICKED) {
            syncSettings.writeLogEntries = isChecked(IDC_LOG_ENABLE) ? 1 : 0;
            enable({IDC_LOG_DIRECTORY, IDC_LOG_BROWSE}, syncSettings.writeLogEntries != 0);
            changed();
        }
        return true;
    case IDC_LOG_BROWSE:
        if (code == BN_CLICKED) {
            chooseLogDirectory();
        }
        return true;
    case IDC_AUTOSTART:
        if (code == BN_CLICKED) {
            syncSettings.autostart = isChecked(IDC_AUTOSTART);
            changed();
        }
        return true;
    case IDC_SERVER_LIST:
        if (code == CBN_EDITCHANGE && control == m_comboServer && !m_bInitializing) {
            // Typed: kept exactly, blanks and all; the save refuses only an empty one.
            m_strServer = windowText(m_comboServer);
            syncSettings.serverName = m_strServer;
            changed();
        }
        if (code == CBN_SELCHANGE && control == m_comboServer) {
            const LRESULT index = SendMessageA(m_comboServer, CB_GETCURSEL, 0, 0);
            const LRESULT length = SendMessageA(m_comboServer, CB_GETLBTEXTLEN, index, 0);
            if (index != CB_ERR && length != CB_ERR) {
                std::string text(static_cast<std::size_t>(length) + 1, '\0');
                SendMessageA(m_comboServer, CB_GETLBTEXT, index,
                             reinterpret_cast<LPARAM>(text.data()));
                text.resize(static_cast<std::size_t>(length));
                m_strServer = text;
                syncSettings.serverName = text;
                changed();
            }
        }
        return true;
    default:
        return CPropertyPage::onCommand(id, code, control);
    }
}

void Standard::OnOK() {
    if (!m_bInitializing) {
        SaveDialogue dialogue;
        SaveSettings(dialogue);
    }
}
