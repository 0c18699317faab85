// Watches the settings key and the policy keys for a change of their values, so that the
// service can read its settings again at its next poll. Arms RegNotifyChangeKeyValue on the
// thread that runs the loop: a notification ends with the thread that asked for it.
#pragma once

#include "win32/Guards.h"

#include <windows.h>

#include <array>

class SettingsWatch {
public:
    SettingsWatch();
    SettingsWatch(const SettingsWatch&) = delete;
    SettingsWatch& operator=(const SettingsWatch&) = delete;

    // True once after a value changed, or a watched key came or went; arms that watch again.
    bool changed();

private:
    struct Watched {
        const char* path;
        BOOL subtree;
        RegistryKeyHandle key;
        EventHandle event; // one a key: a key re-armed while its request is pending gets two
    };

    // Opens the key where needed and asks for its next change; true when the key is watched.
    static bool arm(Watched& watched);

    // The vendor key sees the settings key made or deleted, which ends a watch on the settings
    // key itself; the policy keys come and go below Software\Policies.
    std::array<Watched, 3> watched_{{{"Software\\Tarnwick", FALSE, {}, {}},
                                     {"Software\\Tarnwick\\NTP Client", FALSE, {}, {}},
                                     {"Software\\Policies", TRUE, {}, {}}}};
};
