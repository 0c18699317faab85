#include "desktop/admin/win/HtmlHelp.h"

#include "desktop/admin/HelpTopics.h"
#include "desktop/admin/SyncSettings.h"

#include <shellapi.h>

namespace {

using HtmlHelpEntry = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);

// Stays loaded for the life of the process, like the help windows it makes.
HMODULE helpLibrary = nullptr;
HtmlHelpEntry helpEntry = nullptr;
bool helpFailed = false;

HMODULE loadHelpControl() {
    // Where the help control is registered, else by its name.
    char path[MAX_PATH] = {};
    LONG size = sizeof path;
    if (RegQueryValueA(HKEY_CLASSES_ROOT,
                       "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32", path,
                       &size) == ERROR_SUCCESS &&
        path[0] != '\0') {
        if (HMODULE module = LoadLibraryA(path)) {
            return module;
        }
    }
    return LoadLibraryA("hhctrl.ocx");
}

} // namespace

HWND HtmlHelpA(HWND caller, const char* file, UINT command, DWORD_PTR data) {
    if (helpFailed) {
        return nullptr;
    }
    if (helpLibrary == nullptr) {
        helpLibrary = loadHelpControl();
        if (helpLibrary == nullptr) {
            helpFailed = true;
            return nullptr;
        }
    }
    if (helpEntry == nullptr) {
        helpEntry = reinterpret_cast<HtmlHelpEntry>(
            reinterpret_cast<void*>(GetProcAddress(helpLibrary, MAKEINTRESOURCEA(14))));
        if (helpEntry == nullptr) {
            helpFailed = true;
            return nullptr;
        }
    }
    return helpEntry(caller, file, command, data);
}

void showHelpTopic(DWORD context) {
    const char* topic = helpTopicFor(context);
    const std::string compiled = compiledHelpPath(syncSettings.appRoot, topic);
    if (HtmlHelpA(nullptr, compiled.c_str(), 0 /* HH_DISPLAY_TOPIC */, 0) != nullptr) {
        return;
    }
    const std::string page = singlePageHelpPath(syncSettings.appRoot, topic);
    ShellExecuteA(nullptr, "open", page.c_str(), "", nullptr, SW_SHOWNORMAL);
}
