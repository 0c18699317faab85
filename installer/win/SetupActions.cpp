// The custom actions of Pendra's installer package. PrepareSettings decides the settings before
// the package writes them, and refuses a property that the settings cannot hold before anything
// is installed, so that a refusal never leaves a half-registered service behind.
// KeepProgramFolder stays in the installed folder; CloseKlemora ends a running Klemora whose
// program the package is about to remove or replace. W32TIME=nosync takes the Windows time
// service off the clock that Pendra sets: PrepareSettings plans it, PlanWindowsTimeRestore plans
// the way back at the removal, and ChangeWindowsTime (deferred, and as its own rollback) carries
// out what they planned.
#include "installer/InstallSettings.h"
#include "win32/Guards.h"
#include "win32/RegistryValues.h"
#include "win32/SystemMessage.h"

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
extern "C" __declspec(dllexport) UINT __stdcall PlanWindowsTimeRestore(MSIHANDLE install);
extern "C" __declspec(dllexport) UINT __stdcall ChangeWindowsTime(MSIHANDLE install);

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

// The Windows time service's mode: it steers the clock when its Type is NTP, NT5DS or AllSync.
constexpr const char* windowsTimeKey = "SYSTEM\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr const char* windowsTimePolicyKey = "SOFTWARE\\Policies\\Microsoft\\W32Time\\Parameters";
// The Type that W32TIME=nosync replaced, kept in the settings key until the removal puts it back:
// REG_SZ or REG_EXPAND_SZ as it stood, REG_NONE for a Type that was missing.
constexpr const char* typeBeforeName = "W32TimeTypeBefore";

struct SeenValue {
    enum class Kind { noKey, missing, text, none, other };
    Kind kind = Kind::noKey;
    DWORD type = REG_NONE;
    std::string text;

    bool isText() const { return kind == Kind::text; }
    bool recorded() const { return kind == Kind::text || kind == Kind::none; }
};

SeenValue readValue(const char* subkey, REGSAM view, const char* name) {
    SeenValue seen;
    RegistryKeyHandle key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | view, key.out()) !=
        ERROR_SUCCESS) {
        return seen;
    }
    const auto found = readRegistryValue(key.get(), name);
    if (!found) {
        seen.kind = SeenValue::Kind::missing;
        return seen;
    }
    seen.type = found->type;
    if (const auto text = readRegistryText(key.get(), name)) {
        seen.kind = SeenValue::Kind::text;
        seen.text = text->text;
    } else {
        seen.kind = found->type == REG_NONE ? SeenValue::Kind::none : SeenValue::Kind::other;
    }
    return seen;
}

SeenValue windowsTimeType() {
    return readValue(windowsTimeKey, 0, "Type");
}

bool isNoSync(const SeenValue& type) {
    return type.isText() && lstrcmpiA(type.text.c_str(), "NoSync") == 0;
}

// How the log names a Type, or a recorded one.
std::string described(const SeenValue& value) {
    return value.isText() ? value.text : std::string("(missing)");
}

// The record, in this width's registry view or, after an upgrade from the package of the other
// width, in that one's; target names it in a change.
struct Record {
    SeenValue value;
    std::string target = "record";
};

Record findRecord() {
    Record record;
    record.value = readValue(settingsKey, 0, typeBeforeName);
    if (!record.value.recorded()) {
        const SeenValue other = readValue(settingsKey, otherView.access, typeBeforeName);
        if (other.recorded()) {
            record = {other, "record-other-view"};
        }
    }
    return record;
}

// One registry change that ChangeWindowsTime makes, a line of its CustomActionData:
// "<target> <kind> <text>". Targets: "type" (the service's Type), "record" and
// "record-other-view"; kinds: "sz", "expand", "none" (REG_NONE without data), "delete" (the
// value goes: for a value that is missing, or a record that there was none of).
std::string changeLine(const std::string& target, const SeenValue& value) {
    if (value.isText()) {
        return target + (value.type == REG_EXPAND_SZ ? " expand " : " sz ") + value.text + "\n";
    }
    return target + (value.kind == SeenValue::Kind::none ? " none\n" : " delete\n");
}

// The Type to record, and the one to put back from a record.
SeenValue asRecord(SeenValue type) {
    if (!type.isText()) {
        type.kind = SeenValue::Kind::none;
    }
    return type;
}

SeenValue asType(SeenValue record) {
    if (!record.isText()) {
        record.kind = SeenValue::Kind::missing;
    }
    return record;
}

SeenValue missingValue() {
    SeenValue value;
    value.kind = SeenValue::Kind::missing;
    return value;
}

SeenValue noSync() {
    SeenValue value;
    value.kind = SeenValue::Kind::text;
    value.type = REG_SZ;
    value.text = "NoSync";
    return value;
}

struct WindowsTimePlan {
    std::string problem;
    std::string note;
    std::string change; // the CustomActionData of ChangeWindowsTime; empty: nothing to do
    std::string undo;   // and of its rollback
};

// W32TIME: "keep" (or none) leaves the service as it is, and a record made before for the
// removal; "nosync" records its Type, unless the record already holds the Type that NoSync
// replaced, and sets NoSync.
WindowsTimePlan planWindowsTime(MSIHANDLE install) {
    WindowsTimePlan plan;
    const std::string given = property(install, "W32TIME");
    const std::string wanted = lowered(given);
    if (!wanted.empty() && wanted != "keep" && wanted != "nosync") {
        plan.problem = "W32TIME=" + given + ": must be keep or nosync";
        return plan;
    }
    const Record record = findRecord();
    const SeenValue type = windowsTimeType();
    const SeenValue gone = missingValue();
    SeenValue recordWanted = record.value;
    bool setNoSync = false;
    if (wanted != "nosync") {
        plan.note = "W32TIME = keep: the Windows time service is left as it is";
        if (record.value.recorded()) {
            plan.note += " (the removal puts back its Type " + described(record.value) +
                         ", recorded before)";
        }
    } else if (type.kind == SeenValue::Kind::noKey) {
        plan.note = "W32TIME = nosync: the Windows time service is not installed";
    } else if (type.kind == SeenValue::Kind::none || type.kind == SeenValue::Kind::other ||
               type.text.find_first_of("\r\n") != std::string::npos) {
        plan.problem = "W32TIME=nosync: the Windows time service's Type is no text that the "
                       "package can record and put back";
        return plan;
    } else if (isNoSync(type)) {
        // Set by this package before, whose record holds the Type to put back; or by someone
        // else, and then the removal has nothing to put back either.
        plan.note = "W32TIME = nosync: the Windows time service's Type is NoSync already";
        plan.note += record.value.recorded()
                         ? " (the removal puts back " + described(record.value) + ")"
                         : " (not set by this package: the removal leaves it)";
    } else {
        // A Type set by hand since an earlier NoSync is the one to put back now.
        recordWanted = asRecord(type);
        setNoSync = true;
        plan.note = "W32TIME = nosync: the Windows time service's Type " + described(type) +
                    " is recorded as " + typeBeforeName + " and set to NoSync";
    }
    // Where Group Policy sets the service's Type, the service follows that, not the local one.
    if (wanted == "nosync") {
        if (const SeenValue policy = readValue(windowsTimePolicyKey, 0, "Type"); policy.isText()) {
            plan.note += "; but Group Policy sets its Type to " + policy.text +
                         ", which the service follows: set NoSync there";
        }
    }
    // A major upgrade removes the older package first, after this plan. Windows tells that
    // removal (UPGRADINGPRODUCTCODE), which then leaves Type and record to this package; Wine's
    // installer does not, and the removal puts the Type back and deletes the record. So this
    // package sets again what it takes over, in its own view.
    const bool upgrading = !property(install, "WIX_UPGRADE_DETECTED").empty();
    const bool takeOver = upgrading && record.value.recorded();
    setNoSync = setNoSync || (takeOver && isNoSync(type));
    if (!setNoSync && !takeOver) {
        return plan;
    }
    plan.change = changeLine("record", recordWanted);
    plan.undo = setNoSync ? changeLine("type", type) : std::string();
    if (record.target != "record") {
        plan.change += changeLine(record.target, gone);
        plan.undo += changeLine("record", gone);
    }
    plan.undo += changeLine(record.target, record.value);
    plan.change += setNoSync ? changeLine("type", noSync()) : std::string();
    if (takeOver) {
        plan.note += "; taken over from the package this one replaces";
    }
    return plan;
}

void scheduleWindowsTimeChange(MSIHANDLE install, const WindowsTimePlan& plan) {
    MsiSetPropertyA(install, "ChangeWindowsTime", plan.change.c_str());
    MsiSetPropertyA(install, "UndoWindowsTimeChange", plan.undo.c_str());
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
    const WindowsTimePlan windowsTime = planWindowsTime(install);
    if (!plan.problems.empty() || !windowsTime.problem.empty()) {
        std::string text = "Pendra cannot be installed with these settings:";
        for (const std::string& problem : plan.problems) {
            text += "\r\n" + problem;
        }
        if (!windowsTime.problem.empty()) {
            text += "\r\n" + windowsTime.problem;
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
    report(install, INSTALLMESSAGE_INFO, "Pendra setting " + windowsTime.note);
    scheduleWindowsTimeChange(install, windowsTime);
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

// At the removal: the recorded Type goes back, if the service still has the NoSync that the
// package set, and the record goes. Not when Windows says that a newer package replaces this
// one: that one keeps NoSync and takes the record over (and sets both again where the
// installer does not say so).
UINT __stdcall PlanWindowsTimeRestore(MSIHANDLE install) {
    const Record record = findRecord();
    if (!record.value.recorded()) {
        return ERROR_SUCCESS;
    }
    if (const std::string next = property(install, "UPGRADINGPRODUCTCODE"); !next.empty()) {
        report(install, INSTALLMESSAGE_INFO,
               "Pendra removal: the Windows time service stays as it is, and its Type " +
                   described(record.value) + " recorded, for " + next + ", which replaces it");
        return ERROR_SUCCESS;
    }
    WindowsTimePlan plan;
    const SeenValue type = windowsTimeType();
    const SeenValue gone = missingValue();
    if (isNoSync(type)) {
        plan.change = changeLine("type", asType(record.value)) + changeLine(record.target, gone);
        plan.undo = changeLine(record.target, record.value) + changeLine("type", type);
        plan.note = record.value.isText()
                        ? "Pendra removal: the Windows time service's Type goes back to " +
                              record.value.text
                        : "Pendra removal: the Windows time service's Type goes, as it was "
                          "missing before";
    } else {
        plan.change = changeLine(record.target, gone);
        plan.undo = changeLine(record.target, record.value);
        plan.note = type.kind == SeenValue::Kind::noKey
                        ? "Pendra removal: the Windows time service is not installed any more"
                        : "Pendra removal: the Windows time service's Type " + described(type) +
                              " was set since the install and stays";
    }
    report(install, INSTALLMESSAGE_INFO, plan.note);
    scheduleWindowsTimeChange(install, plan);
    return ERROR_SUCCESS;
}

namespace {

// The system's text for an error, without its line end.
std::string errorText(DWORD code) {
    std::string text = systemMessage(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

LONG applyChange(const std::string& line) {
    const std::size_t kindAt = line.find(' ');
    const std::size_t textAt = kindAt == std::string::npos ? kindAt : line.find(' ', kindAt + 1);
    const std::string target = line.substr(0, kindAt);
    const std::string kind =
        kindAt == std::string::npos ? std::string() : line.substr(kindAt + 1, textAt - kindAt - 1);
    const std::string text = textAt == std::string::npos ? std::string() : line.substr(textAt + 1);
    const char* subkey = target == "type" ? windowsTimeKey : settingsKey;
    const char* name = target == "type" ? "Type" : typeBeforeName;
    const REGSAM view = target == "record-other-view" ? otherView.access : 0;
    if (target != "type" && target != "record" && target != "record-other-view") {
        return ERROR_INVALID_DATA;
    }
    RegistryKeyHandle key;
    if (kind == "delete") {
        const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0,
                                          KEY_SET_VALUE | KEY_QUERY_VALUE | view, key.out());
        const LONG deleted = opened == ERROR_SUCCESS ? RegDeleteValueA(key.get(), name) : opened;
        // The record may have made the settings key: a rollback that leaves it empty takes it
        // away as well.
        DWORD subkeys = 1;
        DWORD values = 1;
        if (deleted == ERROR_SUCCESS && target != "type" &&
            RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0) {
            key.reset();
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subkey, view, 0);
        }
        return deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleted;
    }
    if (kind != "sz" && kind != "expand" && kind != "none") {
        return ERROR_INVALID_DATA;
    }
    const DWORD type = kind == "sz" ? REG_SZ : kind == "expand" ? REG_EXPAND_SZ : REG_NONE;
    const LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0,
                                         KEY_SET_VALUE | view, nullptr, key.out(), nullptr);
    if (created != ERROR_SUCCESS) {
        return created;
    }
    const auto* data = type == REG_NONE ? nullptr : reinterpret_cast<const BYTE*>(text.c_str());
    const auto size = static_cast<DWORD>(type == REG_NONE ? 0 : text.size() + 1);
    return RegSetValueExA(key.get(), name, 0, type, data, size);
}

// W32Time reads its Type when it starts, or when "w32tm /config /update" asks it to: asked, it
// stops steering the clock (or takes it up again at the removal) now, not after the next
// restart, until which it would fight Pendra. Where w32tm is missing (Wine) or fails (the
// service is stopped), the new Type applies at the service's next start.
void askWindowsTimeToUpdate(MSIHANDLE install) {
    char system[MAX_PATH] = "";
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    const std::string program =
        (length > 0 && length < sizeof system ? std::string(system, length) : std::string()) +
        "\\w32tm.exe";
    if (length == 0 || length >= sizeof system ||
        GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
        report(install, INSTALLMESSAGE_INFO,
               "Pendra: w32tm.exe is missing; the Windows time service takes its new Type at "
               "its next start");
        return;
    }
    std::string command = "\"" + program + "\" /config /update";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, system, &startup, &started)) {
        report(install, INSTALLMESSAGE_INFO,
               "Pendra: w32tm /config /update did not start (" + errorText(GetLastError()) +
                   "); the Windows time service takes its new Type at its next start");
        return;
    }
    const ProcessHandle process(started.hProcess);
    const ProcessHandle thread(started.hThread);
    if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
        report(install, INSTALLMESSAGE_INFO,
               "Pendra: w32tm /config /update did not end within 30 s");
        return;
    }
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    report(install, INSTALLMESSAGE_INFO,
           code == 0 ? std::string("Pendra: the Windows time service took its new Type "
                                   "(w32tm /config /update)")
                     : "Pendra: w32tm /config /update ended with " + std::to_string(code) +
                           "; the Windows time service takes its new Type at its next start");
}

} // namespace

// Deferred, without impersonation, and as its own rollback: makes the registry changes that
// PrepareSettings or PlanWindowsTimeRestore planned, line by line.
UINT __stdcall ChangeWindowsTime(MSIHANDLE install) {
    const std::string data = property(install, "CustomActionData");
    bool typeChanged = false;
    for (std::size_t start = 0; start < data.size();) {
        const std::size_t end = std::min(data.find('\n', start), data.size());
        const std::string line = data.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        const LONG result = applyChange(line);
        if (result != ERROR_SUCCESS) {
            report(install,
                   static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR),
                   "Pendra could not change the Windows time service's settings (" + line +
                       "): " + errorText(static_cast<DWORD>(result)));
            return ERROR_INSTALL_FAILURE;
        }
        report(install, INSTALLMESSAGE_INFO, "Pendra changed: " + line);
        typeChanged = typeChanged || line.rfind("type ", 0) == 0;
    }
    if (typeChanged) {
        askWindowsTimeToUpdate(install);
    }
    return ERROR_SUCCESS;
}
