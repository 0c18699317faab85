// The rights of this program's token, for the decision whether a save may go on.
#pragma once

#include "desktop/admin/SyncSettings.h"

// The token's elevation type and state; unknown where the system has no elevation (before
// Windows Vista) or the token cannot be read.
TokenRights currentTokenRights();
