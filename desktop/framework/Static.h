// A static control of a dialog, subclassed so that it can answer its own messages, its colour
// requests among them (reflected by the dialog).
#pragma once

#include "desktop/framework/Wnd.h"

class CStatic : public CWnd {};
