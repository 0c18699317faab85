// The custom actions of Pendra's installer package. PrepareSettings decides the settings before
// the package writes them, and refuses a property that the settings cannot hold before anything
// is installed, so that a refusal never leaves a half-registered service behind.
// KeepProgramFolder stays in the installed folder; CloseKlemora ends a running Klemora whose
// program the package is about to remove or replace.
#include "installer/InstallSettings.h"
#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct MsiHandleTraits {
    using Handle = MSIHANDLE;
    static MSIHANDLE empty() { return 0; }
    static bool isValid(MSIHANDLE handle) { return handle != 0; }
    static void close(MSIHANDLE handle) { MsiCloseHandle(handle); }
};

using MsiRecord = ScopedHandle<MsiHandleTraits>;

constexpr const char* settingsKey = "SOFTWARE\\Tarnwick\\NTP Client";

struct RegistryView {
    REGSAM access;
    const char* name;
};

#ifdef _WIN64
constexpr RegistryView otherView{KEY_WOW64_32KEY, "the 32-bit registry view"};
#else
constexpr RegistryView otherView{KEY_WOW64_64KEY, "the 64-bit registry view"};
#endif

std::string property(MSIHANDLE install, const char* name) {
    char empty[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(install, name, empty, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyA(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

// Read as Klemora reads the key, so that both see the same values.
StoredValue storedValue(HKEY key, const std::string& name) {
    StoredValue value;
    if (const auto text = readRegistryText(key, name.c_str())) {
        value.kind = text->type == REG_SZ ? StoredValue::Kind::text : StoredValue::Kind::expandText;
        value.text = text->text;
    } else if (const auto found = readRegistryValue(key, name.c_str())) {
        const bool number = found->type == REG_DWORD && found->data.size() == sizeof(DWORD);
        value.kind = number ? StoredValue::Kind::number : StoredValue::Kind::other;
        if (number) {
            std::memcpy(&value.number, found->data.data(), sizeof(DWORD));
        }
    }
    return value;
}

std::string expanded(const std::string& text) {
    const DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (needed == 0) {
        return text;
    }
    std::string result(needed, '\0');
    const DWORD written = ExpandEnvironmentStringsA(text.c_str(), result.data(), needed);
    if (written == 0 || written > needed) {
        return text;
    }
    result.resize(written - 1);
    return result;
}

bool rootExists(const std::string& root) {
    const DWORD attributes = GetFileAttributesA(root.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The same test that Pendra -install makes before it declares the dependency.
bool rasManInstalled() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? OpenServiceA(manager.get(), "RasMan", SERVICE_QUERY_CONFIG)
                                  : nullptr);
    return static_cast<bool>(service);
}

// Into the installer's log; an error also into the user's message box when there is a UI.
void report(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& text) {
    MsiRecord record(MsiCreateRecord(1));
    if (!record) {
        return;
    }
    MsiRecordSetStringA(record.get(), 0, "[1]");
    MsiRecordSetStringA(record.get(), 1, text.c_str());
    MsiProcessMessage(install, kind, record.get());
}

// Where an installed product of this family lies, as it was registered at its install.
std::string installLocation(const std::string& productCode) {
    char location[MAX_PATH + 1] = "";
    DWORD size = sizeof location;
    if (productCode.empty() || MsiGetProductInfoA(productCode.c_str(), "InstallLocation", location,
                                                  &size) != ERROR_SUCCESS) {
        return {};
    }
    return location;
}

using ProcessHandle = ScopedHandle<KernelHandleTraits>;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The installed path of one of the package's files, "[#key]" as the installer resolves it.
std::string installedFile(MSIHANDLE install, const char* key) {
    MsiRecord record(MsiCreateRecord(1));
    if (!record) {
        return {};
    }
    MsiRecordSetStringA(record.get(), 0, (std::string("[#") + key + "]").c_str());
    char path[MAX_PATH + 1] = "";
    DWORD size = sizeof path;
    if (MsiFormatRecordA(install, record.get(), path, &size) != ERROR_SUCCESS) {
        return {};
    }
    return path;
}

std::string imagePath(HANDLE process) {
    char path[MAX_PATH + 1] = "";
    DWORD size = sizeof path;
    return QueryFullProcessImageNameA(process, 0, path, &size) ? std::string(path, size)
                                                               : std::string();
}

struct ProgramWindows {
    std::string program; // lower case
    std::vector<DWORD> processes;
};

BOOL CALLBACK askToClose(HWND window, LPARAM context) {
    auto& found = *reinterpret_cast<ProgramWindows*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!IsWindowVisible(window) || processId == GetCurrentProcessId()) {
        return TRUE;
    }
    ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process && lowered(imagePath(process.get())) == found.program) {
        // As the close box does: the sheet ends as with "Ende", a message box as cancelled.
        PostMessageA(window, WM_CLOSE, 0, 0);
        if (std::find(found.processes.begin(), found.processes.end(), processId) ==
            found.processes.end()) {
            found.processes.push_back(processId);
        }
    }
    return TRUE;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall PrepareSettings(MSIHANDLE install);
extern "C" __declspec(dllexport) UINT __stdcall KeepProgramFolder(MSIHANDLE install);
extern "C" __declspec(dllexport) UINT __stdcall CloseKlemora(MSIHANDLE install);

// Asked as the close box would ask it, for up to ten seconds; a Klemora that is still open
// then (a modal box that will not close) is ended: it holds nothing that Apply has not saved.
UINT __stdcall CloseKlemora(MSIHANDLE install) {
    const std::string program = lowered(installedFile(install, "Klemora.exe"));
    if (program.empty()) {
        return ERROR_SUCCESS;
    }
    ProgramWindows found{program, {}};
    EnumWindows(askToClose, reinterpret_cast<LPARAM>(&found));
    for (DWORD processId : found.processes) {
        ProcessHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId));
        if (!process) {
            continue;
        }
        report(install, INSTALLMESSAGE_INFO,
               "Klemora (process " + std::to_string(processId) + ") was asked to close");
        for (int round = 0; round < 40; ++round) {
            if (WaitForSingleObject(process.get(), 250) == WAIT_OBJECT_0) {
                break;
            }
            EnumWindows(askToClose, reinterpret_cast<LPARAM>(&found));
        }
        if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
            report(install, INSTALLMESSAGE_INFO, "Klemora did not close within 10 s and was ended");
        }
    }
    return ERROR_SUCCESS;
}

namespace {

// The settings key of a view when it holds settings: a key that an uninstall left behind keeps
// only the service's status record.
bool openSettings(REGSAM view, RegistryKeyHandle& key) {
    key.reset();
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, settingsKey, 0, KEY_QUERY_VALUE | view, key.out()) ==
               ERROR_SUCCESS &&
           RegQueryValueExA(key.get(), "NTPServerName", nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
}

} // namespace

UINT __stdcall PrepareSettings(MSIHANDLE install) {
    // Without settings every value reads as missing, as on a first install. The package of the
    // other width keeps its settings in its own registry view, and its removal by this
    // upgrade deletes them there: read them before, and write them into this view.
    InstallInputs inputs;
    RegistryKeyHandle key;
    if (!openSettings(0, key)) {
        if (openSettings(otherView.access, key)) {
            inputs.storedFrom = otherView.name;
        } else {
            openSettings(0, key); // what the own key holds besides, if anything
        }
    }
    inputs.property = [install](const std::string& name) {
        return property(install, name.c_str());
    };
    inputs.stored = [&key](const std::string& name) { return storedValue(key.get(), name); };
    inputs.expand = expanded;
    inputs.rootExists = rootExists;
    InstallDefaults defaults;
    defaults.serverName = property(install, "PendraDefaultServer");
    defaults.logDirectory = property(install, "CommonAppDataFolder") + "Tarnwick\\Pendra\\Logs";

    const SettingsPlan plan = planSettings(inputs, defaults);
    if (!plan.problems.empty()) {
        std::string text = "Pendra cannot be installed with these settings:";
        for (const std::string& problem : plan.problems) {
            text += "\r\n" + problem;
        }
        report(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
               text);
        return ERROR_INSTALL_FAILURE;
    }
    for (const ChosenValue& value : plan.values) {
        MsiSetPropertyA(install, ("PendraValue." + value.valueName).c_str(),
                        value.registryData.c_str());
    }
    for (const std::string& note : plan.notes) {
        report(install, INSTALLMESSAGE_INFO, "Pendra setting " + note);
    }
    if (!plan.logFolder.empty()) {
        MsiSetPropertyA(install, "PendraLogFolder", plan.logFolder.c_str());
    }
    MsiSetPropertyA(install, "PendraDependencies", rasManInstalled() ? "RasMan" : "");
    return ERROR_SUCCESS;
}

// A repair, an upgrade or the removal works in the folder chosen at the first install, unless
// the command line names another: Wine's installer would go back to the default folder.
UINT __stdcall KeepProgramFolder(MSIHANDLE install) {
    if (!property(install, "INSTALLDIR").empty()) {
        return ERROR_SUCCESS;
    }
    std::string location;
    if (!property(install, "Installed").empty()) {
        location = installLocation(property(install, "ProductCode"));
    } else {
        const std::string related = property(install, "WIX_UPGRADE_DETECTED");
        location = installLocation(related.substr(0, related.find(';')));
    }
    if (!location.empty()) {
        MsiSetPropertyA(install, "INSTALLDIR", location.c_str());
        report(install, INSTALLMESSAGE_INFO, "Pendra program folder " + location + " (kept)");
    }
    return ERROR_SUCCESS;
}
