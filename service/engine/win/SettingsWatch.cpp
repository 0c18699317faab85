#include "service/engine/win/SettingsWatch.h"

SettingsWatch::SettingsWatch() {
    for (Watched& watched : watched_) {
        arm(watched);
    }
}

bool SettingsWatch::arm(Watched& watched) {
    constexpr DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    if (!watched.key && RegOpenKeyExA(HKEY_LOCAL_MACHINE, watched.path, 0, KEY_NOTIFY,
                                      watched.key.out()) != ERROR_SUCCESS) {
        return false;
    }
    if (RegNotifyChangeKeyValue(watched.key.get(), watched.subtree, filter, watched.event.get(),
                                TRUE) != ERROR_SUCCESS) {
        // Deleted since it was opened: opened again at the next look.
        watched.key.reset();
        return false;
    }
    return true;
}

bool SettingsWatch::changed() {
    bool any = false;
    for (Watched& watched : watched_) {
        if (!watched.key) {
            // A key that was missing: its arrival counts as a change.
            any = arm(watched) || any;
        } else if (WaitForSingleObject(watched.event.get(), 0) == WAIT_OBJECT_0) {
            // Opened afresh: the key may have been deleted and made again.
            watched.key.reset();
            arm(watched);
            any = true;
        }
    }
    return any;
}
