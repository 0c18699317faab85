#include "desktop/admin/win/TokenRights.h"

#include "win32/Guards.h"

#include <windows.h>

TokenRights currentTokenRights() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return {};
    }
    const ThreadHandle token(opened);
    TOKEN_ELEVATION_TYPE type{};
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    // Both classes came with Windows Vista; older systems refuse them.
    if (!GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size) ||
        !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
        return {};
    }
    TokenRights rights;
    rights.elevated = elevation.TokenIsElevated != 0;
    switch (type) {
    case TokenElevationTypeDefault:
        rights.type = TokenRights::Elevation::defaultType;
        break;
    case TokenElevationTypeFull:
        rights.type = TokenRights::Elevation::full;
        break;
    case TokenElevationTypeLimited:
        rights.type = TokenRights::Elevation::limited;
        break;
    }
    return rights;
}
