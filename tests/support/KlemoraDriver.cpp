// Drives Klemora's property sheet from another process by control id and window messages, the
// way Wine's conformance tests drive controls. Usage:
//   klemora-driver [--desktop NAME] [--timeout MS] [--title TITLE | --title-hex HEX] SCRIPT
// SCRIPT is one or more commands separated by a lone ";" argument, run in order:
//   start PROGRAM [ARGS...]  only first: starts PROGRAM in its folder without waiting, pid=N
//   wait, wait-gone          until the sheet is there; until no visible window has TITLE
//   tabs                     each tab caption on a line
//   select-tab N             activates page N (from 0) and waits until it is the current page
//   text ID, set-text ID TEXT  a control's text; WM_SETTEXT (an edit then sends EN_CHANGE; an
//                            editable combo box's edit gets the text typed, and so notifies)
//   click ID                 BM_CLICK, posted; waits until the program has handled it
//   checked ID               BM_GETCHECK: 0, 1 or 2
//   ask ID MESSAGE           the control's answer to MESSAGE (decimal) with both parameters 0
//   enabled ID, visible ID   1 or 0
//   combo ID                 the items, one a line, then selected=N
//   combo-select ID N        selects item N as a user would: CBN_SELCHANGE to the parent
//   sysmenu CMD              WM_SYSCOMMAND CMD (decimal), posted to the sheet
//   key ENTER|TAB|ESC|F1 [ID]  the key pressed and released, as keyboard input to the window
//                            with the focus; with ID posted to that control of the current
//                            page as if it had the focus, through the program's message loop
//   focus                    the control id of the focus window, a blank, its top-level title
//   windows TITLE2, windows-hex HEX  how many visible top-level windows have that title
//   box                      waits for a message box of the program: title=..., text=, its lines
//   answer OK|CANCEL|YES|NO  presses that button of the message box and waits until it is gone
//   about-close              presses IDOK of one "Info über Klemora" window, waits until it went
//   dialog-close TITLE ID    presses button ID of one window titled TITLE, waits until it went
//   layout FACE POINTS [TITLE], layout-hex FACE POINTS HEX
//                            a line per visible control: the sheet's own but for its pages,
//                            then the current page's; with TITLE, those of the program's one
//                            window TITLE:
//                            client width height x y (the client area, its origin on the
//                            screen), then for each control:
//                            owner id class left top right bottom needw needh text
//                            owner: sheet, page or dialog; the rectangle in the client area of
//                            the top-level window; class as GetClassName gives it, a button's
//                            with its kind: Button/push, /check, /radio, /group or /other.
//                            needw needh: the room its text needs in the font FACE of POINTS
//                            made as the dialog manager makes it; - - for a control without
//                            text, in another font than its dialog's, or of a kind not measured
//                            (only buttons and text statics are). Wine carries no WM_GETFONT
//                            between processes: there every control counts as in its dialog's
//                            font. text last, as it is but for control characters, written \r,
//                            \n, \t or \xHH
//   close                    presses the sheet's "Ende" (IDCANCEL)
//   sleep MS                 at most 10000
//   hold PID, exit-code      keeps a handle of that process; waits for the process held or
//                            started by this script to end: its exit code
// The sheet is the visible top-level window titled TITLE (default "Klemora") that has a tab
// control: a message box may bear the same title. Controls (decimal ids) are looked up on the
// current page, then on the sheet. A user can reach only enabled, visible controls in an
// enabled window, so click, set-text and combo-select refuse others. Every wait ends after the
// timeout (default 10000 ms). Texts are the program's single-byte texts, printed as they are.
// Exit code 0; 1 at the first failing command, with the reason on standard error; 2 on a usage
// error, found before anything runs. --desktop: works on that Wine desktop and starts PROGRAM
// there. --title-hex: the title as hexadecimal bytes, for a title the C runtime cannot pass.
#include "win32/Gdi.h"
#include "win32/Guards.h"

#include <windows.h>

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string aboutTitle = "Info \xFC"
                               "ber Klemora";
constexpr DWORD defaultTimeout = 10000;
constexpr DWORD maximumTimeout = 600000;
constexpr unsigned long maximumSleep = 10000;
constexpr DWORD pollInterval = 20;
// After posting, the tool lets the program take the message from its queue (settleStep), then
// waits for its answer to a sent message; settleRounds times.
constexpr DWORD settleStep = 50;
constexpr int settleRounds = 3;
constexpr int messageBoxTextId = 0xFFFF;
// An inch: more than any dialog font asks for.
constexpr unsigned long maximumPoints = 72;
constexpr int pointsPerInch = 72;
// Far more controls than a dialog has; only bounds a walk over a list of windows that changes.
constexpr int maximumChildren = 1000;
// A push button draws a one-pixel dotted focus rectangle inside its 3-D border (SM_CXEDGE,
// SM_CYEDGE), one pixel in from it: the text must keep clear of both across. Down, a line's
// internal leading may touch the focus line, but the text must stay inside the border.
constexpr int focusGap = 1;
constexpr int focusLine = 1;

using ProcessHandle = ScopedHandle<KernelHandleTraits>;

// The screen's device context from GetDC, given back at scope exit.
struct ScreenDCTraits {
    using Handle = HDC;
    static HDC empty() { return nullptr; }
    static bool isValid(HDC dc) { return dc != nullptr; }
    static void close(HDC dc) { ReleaseDC(nullptr, dc); }
};
using ScreenDC = ScopedHandle<ScreenDCTraits>;

// Memory in another process, for messages whose structures Wine does not carry across.
class RemoteMemory {
public:
    RemoteMemory(HANDLE process, SIZE_T size)
        : process_(process), address_(VirtualAllocEx(process, nullptr, size,
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteMemory() {
        if (address_ != nullptr) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        }
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    char* get() const { return static_cast<char*>(address_); }

private:
    HANDLE process_;
    void* address_;
};

using Command = std::vector<std::string>;

class Deadline {
public:
    explicit Deadline(DWORD timeout) : end_(GetTickCount64() + timeout) {}
    bool passed() const { return GetTickCount64() >= end_; }

private:
    ULONGLONG end_;
};

int usage(const std::string& why) {
    std::fprintf(stderr, "klemora-driver: %s\n", why.c_str());
    std::fputs("usage: klemora-driver [--desktop NAME] [--timeout MS] [--title TITLE | "
               "--title-hex HEX] COMMAND [ARGS...] [; COMMAND [ARGS...]]...\n"
               "commands: start PROGRAM [ARGS...] (first only), wait, wait-gone, tabs,\n"
               "  select-tab N, text ID, set-text ID TEXT, click ID, checked ID, enabled ID,\n"
               "  visible ID, combo ID, combo-select ID N, sysmenu CMD, windows TITLE2,\n"
               "  windows-hex HEX, box, answer OK|CANCEL|YES|NO, about-close, close, sleep MS,\n"
               "  key ENTER|TAB|ESC|F1 [ID], focus, layout FACE POINTS [TITLE],\n"
               "  layout-hex FACE POINTS HEX\n",
               stderr);
    return 2;
}

bool parseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
    return !text.empty() && error == std::errc{} && stop == end && value <= maximum;
}

bool parseHex(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned int byte = 0;
        const char* end = text.data() + i + 2;
        const auto [stop, error] = std::from_chars(text.data() + i, end, byte, 16);
        if (error != std::errc{} || stop != end) {
            return false;
        }
        bytes += static_cast<char>(byte);
    }
    return true;
}

int buttonId(const std::string& name) {
    if (name == "OK") {
        return IDOK;
    } else if (name == "CANCEL") {
        return IDCANCEL;
    } else if (name == "YES") {
        return IDYES;
    } else if (name == "NO") {
        return IDNO;
    }
    return 0;
}

UINT virtualKey(const std::string& name) {
    return name == "ENTER" ? VK_RETURN
           : name == "TAB" ? VK_TAB
           : name == "ESC" ? VK_ESCAPE
           : name == "F1"  ? VK_F1
                           : 0;
}

// Whether the command is known and its arguments are well formed; the reason when not.
std::string checkCommand(const Command& command, bool first) {
    const std::string& name = command[0];
    const std::size_t arguments = command.size() - 1;
    unsigned long number = 0;
    std::string bytes;
    auto isId = [&](std::size_t index) { return parseNumber(command[index], 0xFFFF, number); };
    if (name == "start") {
        return !first ? "start must be the first command" : arguments < 1 ? "start PROGRAM" : "";
    }
    if (name == "wait" || name == "wait-gone" || name == "tabs" || name == "box" ||
        name == "about-close" || name == "close" || name == "exit-code") {
        return arguments == 0 ? "" : name + " takes no arguments";
    }
    if (name == "text" || name == "click" || name == "press" || name == "checked" ||
        name == "enabled" || name == "visible" || name == "combo") {
        return arguments == 1 && isId(1) ? "" : name + " ID";
    }
    if (name == "set-text") {
        return arguments == 2 && isId(1) ? "" : "set-text ID TEXT";
    }
    if (name == "combo-select") {
        return arguments == 2 && isId(1) && parseNumber(command[2], 0x7FFFFFFF, number)
                   ? ""
                   : "combo-select ID N";
    }
    if (name == "select-tab") {
        return arguments == 1 && parseNumber(command[1], 0x7FFFFFFF, number) ? "" : "select-tab N";
    }
    if (name == "ask") {
        return arguments == 2 && isId(1) && parseNumber(command[2], 0xFFFF, number)
                   ? ""
                   : "ask ID MESSAGE";
    }
    if (name == "sysmenu") {
        return arguments == 1 && parseNumber(command[1], 0xFFFFFFFF, number) ? "" : "sysmenu CMD";
    }
    if (name == "key") {
        return (arguments == 1 || (arguments == 2 && isId(2))) && virtualKey(command[1]) != 0
                   ? ""
                   : "key ENTER|TAB|ESC|F1 [ID]";
    }
    if (name == "focus") {
        return arguments == 0 ? "" : "focus takes no arguments";
    }
    if (name == "windows") {
        return arguments == 1 ? "" : "windows TITLE2";
    }
    if (name == "dialog-close") {
        return arguments == 2 && parseNumber(command[2], 0xFFFF, number) ? ""
                                                                         : "dialog-close TITLE ID";
    }
    if (name == "windows-hex") {
        return arguments == 1 && parseHex(command[1], bytes) ? "" : "windows-hex HEX";
    }
    if (name == "layout" || name == "layout-hex") {
        const bool hex = name == "layout-hex";
        const bool counted =
            hex ? arguments == 3 && parseHex(command[3], bytes) : arguments == 2 || arguments == 3;
        const std::string form = hex ? "layout-hex FACE POINTS HEX" : "layout FACE POINTS [TITLE]";
        return counted && !command[1].empty() && command[1].size() < LF_FACESIZE &&
                       parseNumber(command[2], maximumPoints, number) && number > 0
                   ? ""
                   : form + " (FACE up to " + std::to_string(LF_FACESIZE - 1) +
                         " characters, POINTS from 1 to " + std::to_string(maximumPoints) + ")";
    }
    if (name == "answer") {
        return arguments == 1 && buttonId(command[1]) != 0 ? "" : "answer OK|CANCEL|YES|NO";
    }
    if (name == "hold") {
        return arguments == 1 && parseNumber(command[1], 0xFFFFFFFF, number) ? "" : "hold PID";
    }
    if (name == "sleep") {
        return arguments == 1 && parseNumber(command[1], maximumSleep, number)
                   ? ""
                   : "sleep MS (at most 10000)";
    }
    return "unknown command " + name;
}

unsigned long numberArgument(const Command& command, std::size_t index) {
    unsigned long value = 0;
    parseNumber(command[index], 0xFFFFFFFF, value);
    return value;
}

// One argument of a command line, quoted so that the C runtime splits it back unchanged.
void appendQuoted(std::string& line, const std::string& argument) {
    if (!line.empty()) {
        line += ' ';
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// Read without a message: a window of another process answers from the window manager.
std::string windowTitle(HWND window) {
    char title[1024] = {};
    const int length = GetWindowTextA(window, title, sizeof title);
    return std::string(title, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::string windowClass(HWND window) {
    char name[256] = {};
    const int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

BOOL CALLBACK collectWindow(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

std::vector<HWND> visibleTopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
    std::erase_if(windows, [](HWND window) { return !IsWindowVisible(window); });
    return windows;
}

int countWindows(const std::string& title) {
    int count = 0;
    for (HWND window : visibleTopLevelWindows()) {
        count += windowTitle(window) == title ? 1 : 0;
    }
    return count;
}

HWND firstTitled(const std::string& title) {
    for (HWND window : visibleTopLevelWindows()) {
        if (windowTitle(window) == title) {
            return window;
        }
    }
    return nullptr;
}

bool hasTabControl(HWND window) {
    return FindWindowExA(window, nullptr, WC_TABCONTROLA, nullptr) != nullptr;
}

// The visible direct children of parent, top of the z-order first: a dialog's in the order of its
// template.
std::vector<HWND> visibleChildren(HWND parent) {
    std::vector<HWND> children;
    HWND child = GetWindow(parent, GW_CHILD);
    for (int i = 0; child != nullptr && i < maximumChildren; ++i) {
        if (IsWindowVisible(child)) {
            children.push_back(child);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    return children;
}

// Kinds of control that draw their text differently, and so need different room for it.
enum class Kind { push, check, radio, group, otherButton, staticText, other };

Kind kindOf(const std::string& className, LONG_PTR style) {
    if (lstrcmpiA(className.c_str(), WC_BUTTONA) == 0) {
        switch (style & BS_TYPEMASK) {
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON:
            return Kind::push;
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
            return Kind::check;
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return Kind::radio;
        case BS_GROUPBOX:
            return Kind::group;
        default:
            return Kind::otherButton;
        }
    }
    if (lstrcmpiA(className.c_str(), WC_STATICA) == 0) {
        switch (style & SS_TYPEMASK) {
        case SS_LEFT:
        case SS_CENTER:
        case SS_RIGHT:
        case SS_LEFTNOWORDWRAP:
        case SS_SIMPLE:
            return Kind::staticText;
        default:
            return Kind::other;
        }
    }
    return Kind::other;
}

std::string kindSuffix(Kind kind) {
    switch (kind) {
    case Kind::push:
        return "/push";
    case Kind::check:
        return "/check";
    case Kind::radio:
        return "/radio";
    case Kind::group:
        return "/group";
    case Kind::otherButton:
        return "/other";
    default:
        return "";
    }
}

// The font that the dialog manager makes for a template with DS_SETFONT, made again in this
// process: the program's font handle means nothing here. PROOF_QUALITY as Wine's dialog manager
// asks for it: a raster face is then not scaled.
FontHandle dialogFont(HDC screen, const std::string& face, int points) {
    const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), pointsPerInch);
    return FontHandle(CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, PROOF_QUALITY,
                                  FF_DONTCARE, face.c_str()));
}

// Width and height of text drawn with format in the font selected into dc; width: where
// DT_WORDBREAK breaks the lines.
SIZE textExtent(HDC dc, const std::string& text, UINT format, LONG width = 0) {
    RECT area{0, 0, width, 0};
    DrawTextA(dc, text.data(), static_cast<int>(text.size()), &area, format | DT_CALCRECT);
    return SIZE{area.right - area.left, area.bottom - area.top};
}

// A static control draws its text in its client area with tabs expanded, and breaks the lines
// between words unless its style says not to. The widest line may be wider than the control,
// when one word is.
SIZE staticTextNeeds(HDC dc, HWND control, LONG_PTR style, const std::string& text) {
    const LONG_PTR type = style & SS_TYPEMASK;
    const UINT format = DT_EXPANDTABS | ((style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0) |
                        (type == SS_SIMPLE ? DT_SINGLELINE : 0);
    const SIZE unbroken = textExtent(dc, text, format);
    RECT client{};
    GetClientRect(control, &client);
    if (unbroken.cx <= client.right || type == SS_LEFTNOWORDWRAP || type == SS_SIMPLE) {
        return unbroken;
    }
    return textExtent(dc, text, format | DT_WORDBREAK, client.right);
}

// The room that a control of that kind needs for its text in the font selected into dc: the text
// itself ("&" marks the next character and takes no room) and what the control draws beside it.
std::optional<SIZE> textNeeds(HDC dc, const TEXTMETRICA& font, HWND control, Kind kind,
                              LONG_PTR style, const std::string& text) {
    const SIZE line = textExtent(dc, text, DT_SINGLELINE);
    switch (kind) {
    case Kind::push:
        return SIZE{line.cx + 2 * (GetSystemMetrics(SM_CXEDGE) + focusGap + focusLine),
                    line.cy + 2 * GetSystemMetrics(SM_CYEDGE)};
    case Kind::check:
    case Kind::radio:
        // The box or circle, half an average character of space, the text; as tall as the taller.
        return SIZE{GetSystemMetrics(SM_CXMENUCHECK) + font.tmAveCharWidth / 2 + line.cx,
                    std::max<LONG>(line.cy, GetSystemMetrics(SM_CYMENUCHECK))};
    case Kind::group:
        // The caption sits an average character in from the frame's left end, and keeps as much
        // of the frame on its right.
        return SIZE{line.cx + 2 * font.tmAveCharWidth, line.cy};
    case Kind::staticText:
        return staticTextNeeds(dc, control, style, text);
    default:
        return std::nullopt;
    }
}

// The text on one line: its control characters as escapes, everything else as it is.
std::string oneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (byte < ' ') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            line += escape;
        } else {
            line += c;
        }
    }
    return line;
}

DWORD processOf(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

// A path of this machine ("/...") names a file of Wine's drive Z:.
std::string windowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string converted = "Z:" + path;
    for (char& c : converted) {
        c = c == '/' ? '\\' : c;
    }
    return converted;
}

class Driver {
public:
    Driver(std::string title, DWORD timeout, const char* desktop)
        : title_(std::move(title)), timeout_(timeout), desktop_(desktop) {}

    const std::string& error() const { return error_; }

    bool run(const Command& command) {
        const std::string& name = command[0];
        if (name == "start") {
            return start(command);
        } else if (name == "wait") {
            HWND sheet = nullptr;
            return findSheet(sheet);
        } else if (name == "wait-gone") {
            return waitGone();
        } else if (name == "tabs") {
            return tabs();
        } else if (name == "select-tab") {
            return selectTab(static_cast<int>(numberArgument(command, 1)));
        } else if (name == "text") {
            return text(id(command));
        } else if (name == "set-text") {
            return setText(id(command), command[2]);
        } else if (name == "click") {
            return click(id(command));
        } else if (name == "press") {
            return press(id(command));
        } else if (name == "checked") {
            return checked(id(command));
        } else if (name == "enabled" || name == "visible") {
            return state(id(command), name == "enabled");
        } else if (name == "combo") {
            return combo(id(command));
        } else if (name == "combo-select") {
            return comboSelect(id(command), static_cast<int>(numberArgument(command, 2)));
        } else if (name == "ask") {
            return ask(id(command), static_cast<UINT>(numberArgument(command, 2)));
        } else if (name == "sysmenu") {
            return sysmenu(numberArgument(command, 1));
        } else if (name == "key") {
            return key(virtualKey(command[1]), command.size() > 2 ? id(command) : -1);
        } else if (name == "focus") {
            return focus();
        } else if (name == "windows" || name == "windows-hex") {
            std::string title = command[1];
            if (name == "windows-hex") {
                parseHex(command[1], title);
            }
            printLine(std::to_string(countWindows(title)));
            return true;
        } else if (name == "layout" || name == "layout-hex") {
            std::optional<std::string> dialogTitle;
            if (command.size() > 3) {
                dialogTitle = command[3];
                if (name == "layout-hex") {
                    parseHex(command[3], *dialogTitle);
                }
            }
            return layout(command[1], static_cast<int>(numberArgument(command, 2)), dialogTitle);
        } else if (name == "box") {
            return box();
        } else if (name == "answer") {
            return answer(buttonId(command[1]));
        } else if (name == "about-close") {
            return aboutClose();
        } else if (name == "dialog-close") {
            return dialogClose(command[1], static_cast<int>(numberArgument(command, 2)));
        } else if (name == "close") {
            return close();
        } else if (name == "sleep") {
            Sleep(static_cast<DWORD>(numberArgument(command, 1)));
            return true;
        } else if (name == "hold") {
            return hold(static_cast<DWORD>(numberArgument(command, 1)));
        } else if (name == "exit-code") {
            return exitCode();
        }
        return fail("unknown command");
    }

private:
    static int id(const Command& command) { return static_cast<int>(numberArgument(command, 1)); }

    bool fail(std::string reason) {
        error_ = std::move(reason);
        return false;
    }

    std::string timeoutText() const { return std::to_string(timeout_) + " ms"; }

    // Polls until condition holds or the timeout has passed.
    template <typename Condition> bool waitFor(Condition condition) const {
        const Deadline deadline(timeout_);
        for (;;) {
            if (condition()) {
                return true;
            }
            if (deadline.passed()) {
                return false;
            }
            Sleep(pollInterval);
        }
    }

    bool noAnswer(UINT message) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", message);
        return fail(std::string("no answer to message ") + hex + " within " + timeoutText() +
                    " (error " + std::to_string(GetLastError()) + ")");
    }

    // SendMessage with the timeout: a program that hangs must not hang the tool.
    bool send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeout_, &answer) ==
            0) {
            return noAnswer(message);
        }
        result = static_cast<LRESULT>(answer);
        return true;
    }

    bool sendWide(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, timeout_, &answer) ==
            0) {
            return noAnswer(message);
        }
        result = static_cast<LRESULT>(answer);
        return true;
    }

    bool post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (!PostMessageA(window, message, wParam, lParam)) {
            return fail("cannot post to the window: error " + std::to_string(GetLastError()));
        }
        return true;
    }

    HWND visibleSheet() const {
        for (HWND window : visibleTopLevelWindows()) {
            if (windowTitle(window) == title_ && hasTabControl(window)) {
                return window;
            }
        }
        return nullptr;
    }

    // The window with the keyboard focus in the sheet's user-interface thread.
    bool focusWindow(HWND& window) {
        HWND sheet = nullptr;
        if (!findSheet(sheet)) {
            return false;
        }
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(sheet, nullptr), &info)) {
            return fail("no thread information: error " + std::to_string(GetLastError()));
        }
        window = info.hwndFocus;
        return window != nullptr || fail("no window of the program has the focus");
    }

    bool key(UINT virtualKey, int controlId) {
        HWND target = nullptr;
        if (!(controlId >= 0 ? findControl(controlId, target) : focusWindow(target))) {
            return false;
        }
        const UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
        if (controlId < 0) {
            // As from the keyboard: F1 becomes a help request only on the way from the input.
            INPUT strokes[2]{};
            for (INPUT& stroke : strokes) {
                stroke.type = INPUT_KEYBOARD;
                stroke.ki.wVk = static_cast<WORD>(virtualKey);
                stroke.ki.wScan = static_cast<WORD>(scan);
            }
            strokes[1].ki.dwFlags = KEYEVENTF_KEYUP;
            if (SendInput(2, strokes, sizeof(INPUT)) != 2) {
                return fail("cannot send the key: error " + std::to_string(GetLastError()));
            }
            return settle(survivor(target));
        }
        const auto down = static_cast<LPARAM>(1 | scan << 16);
        const auto up = static_cast<LPARAM>(down | 0xC0000000u);
        return post(target, WM_KEYDOWN, virtualKey, down) &&
               post(target, WM_KEYUP, virtualKey, up) && settle(survivor(target));
    }

    bool focus() {
        HWND window = nullptr;
        if (!focusWindow(window)) {
            return false;
        }
        printLine(std::to_string(GetDlgCtrlID(window)) + " " +
                  windowTitle(GetAncestor(window, GA_ROOT)));
        return true;
    }

    bool findSheet(HWND& sheet) {
        if (!waitFor([&] { return (sheet = visibleSheet()) != nullptr; })) {
            return fail("no sheet: no visible window \"" + title_ + "\" with tabs within " +
                        timeoutText());
        }
        return true;
    }

    bool currentPage(HWND sheet, HWND& page) {
        LRESULT result = 0;
        if (!send(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, result)) {
            return false;
        }
        page = reinterpret_cast<HWND>(result);
        return true;
    }

    bool tabControl(HWND sheet, HWND& tab) {
        LRESULT result = 0;
        if (!send(sheet, PSM_GETTABCONTROL, 0, 0, result)) {
            return false;
        }
        tab = reinterpret_cast<HWND>(result);
        return tab != nullptr || fail("the sheet gives no tab control");
    }

    bool findControl(int controlId, HWND& control) {
        HWND sheet = nullptr;
        HWND page = nullptr;
        if (!findSheet(sheet) || !currentPage(sheet, page)) {
            return false;
        }
        control = page != nullptr ? GetDlgItem(page, controlId) : nullptr;
        if (control == nullptr) {
            control = GetDlgItem(sheet, controlId);
        }
        if (control == nullptr) {
            return fail("no control " + std::to_string(controlId) +
                        " on the current page or the sheet");
        }
        return true;
    }

    // What a user can click or type into: enabled and visible, in windows that are enabled
    // (a modal window disables its owner).
    bool reachable(HWND control, int controlId) {
        return reachable(control, "control " + std::to_string(controlId));
    }

    bool reachable(HWND control, const std::string& what) {
        if (!IsWindowVisible(control)) {
            return fail(what + " is not visible");
        }
        if (!IsWindowEnabled(control)) {
            return fail(what + " is disabled");
        }
        for (HWND parent = GetAncestor(control, GA_PARENT);
             parent != nullptr && parent != GetDesktopWindow();
             parent = GetAncestor(parent, GA_PARENT)) {
            if (!IsWindowEnabled(parent)) {
                return fail(what + " is in a disabled window (is a modal window open?)");
            }
        }
        return true;
    }

    // Waits until the program has handled what was just posted to it: its UI thread answers a
    // sent message only when it reads its queue again, after the handler or inside a modal loop.
    // Sent messages overtake posted ones, hence the pauses. WaitForInputIdle cannot tell: under
    // Wine 8 a process stays idle once its UI thread has waited for input. window: any window of
    // that thread; without one, the pauses alone.
    bool settle(HWND window) {
        for (int round = 0; round < settleRounds; ++round) {
            Sleep(settleStep);
            DWORD_PTR answer = 0;
            if (window != nullptr &&
                SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeout_, &answer) == 0 &&
                IsWindow(window)) {
                return fail("the program was still busy after " + timeoutText());
            }
        }
        return true;
    }

    // A window of the same UI thread that outlives window (a message box, an About window).
    HWND survivor(HWND window) const {
        HWND owner = GetWindow(window, GW_OWNER);
        HWND sheet = visibleSheet();
        return owner != nullptr                                            ? owner
               : sheet != nullptr && processOf(sheet) == processOf(window) ? sheet
                                                                           : nullptr;
    }

    bool start(const Command& command) {
        const std::string program = windowsPath(command[1]);
        char full[MAX_PATH] = {};
        char* name = nullptr;
        const DWORD length = GetFullPathNameA(program.c_str(), sizeof full, full, &name);
        if (length == 0 || length >= sizeof full || name == nullptr) {
            return fail("bad program path " + program);
        }
        const std::string folder(full, static_cast<std::size_t>(name - full));
        std::string commandLine;
        appendQuoted(commandLine, full);
        for (std::size_t i = 2; i < command.size(); ++i) {
            appendQuoted(commandLine, command[i]);
        }
        std::string desktopName = desktop_ != nullptr ? desktop_ : "";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop_ != nullptr ? desktopName.data() : nullptr;
        // No standard handles: Wine would hand the program this tool's output pipe, and whoever
        // reads the tool's output would then wait for the program to end.
        startup.dwFlags = STARTF_USESTDHANDLES;
        PROCESS_INFORMATION started{};
        if (!CreateProcessA(full, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder.c_str(), &startup, &started)) {
            return fail(std::string("cannot start ") + full + ": error " +
                        std::to_string(GetLastError()));
        }
        held_.emplace(started.hProcess);
        const ThreadHandle threadHandle(started.hThread);
        startedProcess_ = started.dwProcessId;
        printLine("pid=" + std::to_string(started.dwProcessId));
        return true;
    }

    // A handle held from before the program ends, so that its exit code can still be read.
    bool hold(DWORD process) {
        held_.emplace(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process));
        return held_->valid() || fail("no process " + std::to_string(process));
    }

    bool exitCode() {
        DWORD code = 0;
        if (!held_ || !held_->valid()) {
            return fail("exit-code needs hold PID first");
        }
        if (WaitForSingleObject(held_->get(), timeout_) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(held_->get(), &code)) {
            return fail("the process has not ended after " + timeoutText());
        }
        printLine(std::to_string(code));
        return true;
    }

    bool waitGone() {
        if (!waitFor([&] { return countWindows(title_) == 0; })) {
            return fail("a window \"" + title_ + "\" is still there after " + timeoutText());
        }
        return true;
    }

    // Reads TCM_GETITEMA's answer through memory in the program's process: the tab control
    // writes the caption where the TCITEMA points, and Wine carries neither across processes.
    bool tabs() {
        HWND sheet = nullptr;
        HWND tab = nullptr;
        LRESULT count = 0;
        if (!findSheet(sheet) || !tabControl(sheet, tab) ||
            !send(tab, TCM_GETITEMCOUNT, 0, 0, count)) {
            return false;
        }
        ProcessHandle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ |
                                              PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                                          FALSE, processOf(tab)));
        if (!process.valid()) {
            return fail("cannot open the program's process: error " +
                        std::to_string(GetLastError()));
        }
        BOOL ownWow = FALSE;
        BOOL theirWow = FALSE;
        if (!IsWow64Process(GetCurrentProcess(), &ownWow) ||
            !IsWow64Process(process.get(), &theirWow) || ownWow != theirWow) {
            return fail("the program's TCITEMA differs from the tool's (32 and 64 bits)");
        }
        constexpr int textSize = 1024;
        const RemoteMemory memory(process.get(), sizeof(TCITEMA) + textSize);
        if (memory.get() == nullptr) {
            return fail("no memory in the program's process: error " +
                        std::to_string(GetLastError()));
        }
        char* remoteText = memory.get() + sizeof(TCITEMA);
        std::vector<std::string> captions;
        for (LRESULT i = 0; i < count; ++i) {
            TCITEMA item{};
            item.mask = TCIF_TEXT;
            item.pszText = remoteText;
            item.cchTextMax = textSize;
            const char nothing = '\0';
            LRESULT done = FALSE;
            if (!WriteProcessMemory(process.get(), memory.get(), &item, sizeof item, nullptr) ||
                !WriteProcessMemory(process.get(), remoteText, &nothing, 1, nullptr)) {
                return fail("cannot write to the program's memory: error " +
                            std::to_string(GetLastError()));
            }
            if (!send(tab, TCM_GETITEMA, static_cast<WPARAM>(i),
                      reinterpret_cast<LPARAM>(memory.get()), done)) {
                return false;
            }
            char caption[textSize] = {};
            // The control may point pszText at its own copy instead of filling the buffer.
            if (!done ||
                !ReadProcessMemory(process.get(), memory.get(), &item, sizeof item, nullptr) ||
                !ReadProcessMemory(process.get(), item.pszText, caption, textSize - 1, nullptr)) {
                return fail("no caption for tab " + std::to_string(i));
            }
            captions.emplace_back(caption);
        }
        for (const std::string& caption : captions) {
            printLine(caption);
        }
        return true;
    }

    bool selectTab(int index) {
        HWND sheet = nullptr;
        HWND tab = nullptr;
        HWND before = nullptr;
        LRESULT count = 0;
        LRESULT selected = -1;
        if (!findSheet(sheet) || !tabControl(sheet, tab) ||
            !send(tab, TCM_GETITEMCOUNT, 0, 0, count) || !currentPage(sheet, before) ||
            !send(tab, TCM_GETCURSEL, 0, 0, selected)) {
            return false;
        }
        if (index >= count) {
            return fail("no tab " + std::to_string(index) + ": the sheet has " +
                        std::to_string(count));
        }
        if (selected == index && before != nullptr) {
            return true;
        }
        // Posted: a page that refuses to be left may show a message box.
        if (!reachable(tab, "the tab control") ||
            !post(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0)) {
            return false;
        }
        bool failed = false;
        HWND message = nullptr;
        auto switched = [&] {
            HWND page = nullptr;
            failed = !currentPage(sheet, page) || !send(tab, TCM_GETCURSEL, 0, 0, selected);
            return !failed && page != before && page != nullptr && selected == index;
        };
        waitFor([&] { return switched() || failed || (message = messageBox()) != nullptr; });
        // A message box may come from the page left or from the page shown.
        if (!failed && message != nullptr && settle(sheet)) {
            switched();
        }
        if (failed) {
            return false;
        }
        if (!switched()) {
            return fail("page " + std::to_string(index) + " did not become current within " +
                        timeoutText() +
                        (message != nullptr ? "; message box \"" + windowTitle(message) + "\""
                                            : std::string()));
        }
        return settle(sheet);
    }

    bool text(int controlId) {
        HWND control = nullptr;
        std::string value;
        if (!findControl(controlId, control) || !windowText(control, value)) {
            return false;
        }
        printLine(value);
        return true;
    }

    bool windowText(HWND window, std::string& value) {
        LRESULT length = 0;
        if (!send(window, WM_GETTEXTLENGTH, 0, 0, length)) {
            return false;
        }
        std::vector<char> buffer(static_cast<std::size_t>(length) + 2, '\0');
        LRESULT copied = 0;
        if (!send(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                  copied)) {
            return false;
        }
        value.assign(buffer.data(), static_cast<std::size_t>(copied));
        return true;
    }

    bool setText(int controlId, const std::string& value) {
        HWND control = nullptr;
        LRESULT result = 0;
        if (!findControl(controlId, control) || !reachable(control, controlId)) {
            return false;
        }
        if (const HWND edit = FindWindowExA(control, nullptr, "Edit", nullptr)) {
            // A combo box's edit reports no WM_SETTEXT to its parent: the text is typed over
            // the whole selection instead, one character at a time, as a user would.
            if (!send(edit, EM_SETSEL, 0, -1, result)) {
                return false;
            }
            for (const char c : value.empty() ? std::string("\b") : value) {
                if (!send(edit, WM_CHAR, static_cast<unsigned char>(c), 1, result)) {
                    return false;
                }
            }
            return true;
        }
        if (!send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()), result)) {
            return false;
        }
        return result != FALSE ||
               fail("control " + std::to_string(controlId) + " refused the text");
    }

    bool click(int controlId) {
        HWND control = nullptr;
        return findControl(controlId, control) && reachable(control, controlId) &&
               post(control, BM_CLICK, 0, 0) && settle(control);
    }

    bool press(int controlId) {
        HWND control = nullptr;
        if (!findControl(controlId, control) || !reachable(control, controlId)) {
            return false;
        }
        RECT area{};
        GetClientRect(control, &area);
        const LPARAM middle = MAKELPARAM(area.right / 2, area.bottom / 2);
        return post(control, WM_LBUTTONDOWN, MK_LBUTTON, middle) &&
               post(control, WM_LBUTTONUP, 0, middle) && settle(control);
    }

    bool checked(int controlId) {
        HWND control = nullptr;
        LRESULT state = 0;
        if (!findControl(controlId, control) || !send(control, BM_GETCHECK, 0, 0, state)) {
            return false;
        }
        printLine(std::to_string(state));
        return true;
    }

    // A control's answer to a message without parameters (sent, bounded by the timeout).
    bool ask(int controlId, UINT message) {
        HWND control = nullptr;
        LRESULT answer = 0;
        if (!findControl(controlId, control) || !send(control, message, 0, 0, answer)) {
            return false;
        }
        printLine(std::to_string(answer));
        return true;
    }

    bool state(int controlId, bool enabled) {
        HWND control = nullptr;
        if (!findControl(controlId, control)) {
            return false;
        }
        printLine((enabled ? IsWindowEnabled(control) : IsWindowVisible(control)) ? "1" : "0");
        return true;
    }

    // Wine carries CB_GETLBTEXT across processes, but hands an ANSI caller the UTF-16 text
    // unconverted: ask in UTF-16 and convert here, to the same code page the program used.
    bool combo(int controlId) {
        HWND control = nullptr;
        LRESULT count = 0;
        if (!findControl(controlId, control) || !send(control, CB_GETCOUNT, 0, 0, count)) {
            return false;
        }
        if (count == CB_ERR) {
            return fail("control " + std::to_string(controlId) + " is no combo box");
        }
        std::vector<std::string> items;
        for (LRESULT i = 0; i < count; ++i) {
            std::string item;
            if (!comboItem(control, i, item)) {
                return false;
            }
            items.push_back(std::move(item));
        }
        LRESULT selected = CB_ERR;
        if (!send(control, CB_GETCURSEL, 0, 0, selected)) {
            return false;
        }
        for (const std::string& item : items) {
            printLine(item);
        }
        printLine("selected=" + std::to_string(selected));
        return true;
    }

    bool comboItem(HWND control, LRESULT index, std::string& item) {
        LRESULT length = 0;
        if (!sendWide(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0, length)) {
            return false;
        }
        if (length == CB_ERR) {
            return fail("no text for item " + std::to_string(index));
        }
        std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 2, L'\0');
        LRESULT copied = 0;
        if (!sendWide(control, CB_GETLBTEXT, static_cast<WPARAM>(index),
                      reinterpret_cast<LPARAM>(buffer.data()), copied)) {
            return false;
        }
        if (copied == CB_ERR || copied > length) {
            return fail("no text for item " + std::to_string(index));
        }
        if (copied == 0) {
            item.clear();
            return true;
        }
        const int wide = static_cast<int>(copied);
        const int size =
            WideCharToMultiByte(CP_ACP, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
        item.assign(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        if (size <= 0 || WideCharToMultiByte(CP_ACP, 0, buffer.data(), wide, item.data(), size,
                                             nullptr, nullptr) != size) {
            return fail("cannot convert item " + std::to_string(index));
        }
        return true;
    }

    // The notification that the combo box itself sends when a user picks an item; posted, like
    // a click, in case the page answers with a message box.
    bool comboSelect(int controlId, int index) {
        HWND control = nullptr;
        LRESULT result = CB_ERR;
        if (!findControl(controlId, control) || !reachable(control, controlId) ||
            !send(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0, result)) {
            return false;
        }
        if (result != index) {
            return fail("combo box " + std::to_string(controlId) + " has no item " +
                        std::to_string(index));
        }
        const WPARAM command = MAKEWPARAM(static_cast<WORD>(controlId), CBN_SELCHANGE);
        return post(GetParent(control), WM_COMMAND, command, reinterpret_cast<LPARAM>(control)) &&
               settle(control);
    }

    bool sysmenu(unsigned long command) {
        HWND sheet = nullptr;
        return findSheet(sheet) && post(sheet, WM_SYSCOMMAND, command, 0) && settle(sheet);
    }

    bool isMessageBoxOf(HWND window, DWORD sheetProcess) const {
        const DWORD process = processOf(window);
        return (process == sheetProcess || process == startedProcess_) &&
               windowClass(window) == "#32770" && !hasTabControl(window) &&
               windowTitle(window) != aboutTitle && GetDlgItem(window, messageBoxTextId) != nullptr;
    }

    // A message box of the sheet's program, or of the program that start started (it may show
    // one before any sheet).
    HWND messageBox() const {
        HWND sheet = visibleSheet();
        const DWORD sheetProcess = sheet != nullptr ? processOf(sheet) : 0;
        if (sheetProcess == 0 && startedProcess_ == 0) {
            return nullptr;
        }
        for (HWND window : visibleTopLevelWindows()) {
            if (isMessageBoxOf(window, sheetProcess)) {
                return window;
            }
        }
        return nullptr;
    }

    bool findMessageBox(HWND& found) {
        if (!waitFor([&] { return (found = messageBox()) != nullptr; })) {
            return fail("no message box within " + timeoutText());
        }
        return true;
    }

    bool box() {
        HWND message = nullptr;
        std::string value;
        if (!findMessageBox(message) || !windowText(GetDlgItem(message, messageBoxTextId), value)) {
            return false;
        }
        printLine("title=" + windowTitle(message));
        printLine("text=");
        std::size_t begin = 0;
        while (begin < value.size()) {
            std::size_t end = value.find('\n', begin);
            end = end == std::string::npos ? value.size() : end;
            std::string line = value.substr(begin, end - begin);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            printLine(line);
            begin = end + 1;
        }
        return true;
    }

    bool answer(int button) {
        HWND message = nullptr;
        if (!findMessageBox(message)) {
            return false;
        }
        HWND control = GetDlgItem(message, button);
        if (control == nullptr || !IsWindowVisible(control)) {
            return fail("the message box \"" + windowTitle(message) + "\" has no button " +
                        std::to_string(button));
        }
        HWND after = survivor(message);
        if (!post(message, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                  reinterpret_cast<LPARAM>(control))) {
            return false;
        }
        if (!waitFor([&] { return !IsWindow(message) || !IsWindowVisible(message); })) {
            return fail("the message box is still there after " + timeoutText());
        }
        // The program goes on from MessageBoxA's return: let it get to its next wait.
        return settle(after);
    }

    // Done when that very window is gone: one that opens meanwhile does not hide the closing.
    bool aboutClose() { return dialogClose(aboutTitle, IDOK); }

    // Presses a button of one window of the program titled title, and waits until it is gone.
    bool dialogClose(const std::string& title, int buttonId) {
        HWND dialog = nullptr;
        if (!waitFor([&] { return (dialog = firstTitled(title)) != nullptr; })) {
            return fail("no window \"" + title + "\" within " + timeoutText());
        }
        HWND after = survivor(dialog);
        HWND button = GetDlgItem(dialog, buttonId);
        const bool posted = button != nullptr
                                ? post(button, BM_CLICK, 0, 0)
                                : post(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0);
        if (!posted) {
            return false;
        }
        if (!waitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); })) {
            return fail("the window \"" + title + "\" is still there after " + timeoutText());
        }
        return settle(after);
    }

    // The one visible window titled title of the sheet's program or of the program started; of
    // any program when there is neither.
    bool findDialog(const std::string& title, HWND& dialog) {
        std::vector<HWND> found;
        auto look = [&] {
            found.clear();
            HWND sheet = visibleSheet();
            const DWORD sheetProcess = sheet != nullptr ? processOf(sheet) : 0;
            const bool anyProgram = sheetProcess == 0 && startedProcess_ == 0;
            for (HWND window : visibleTopLevelWindows()) {
                const DWORD process = processOf(window);
                if (windowTitle(window) == title &&
                    (anyProgram || process == sheetProcess || process == startedProcess_)) {
                    found.push_back(window);
                }
            }
            return !found.empty();
        };
        if (!waitFor(look)) {
            return fail("no window \"" + title + "\" within " + timeoutText());
        }
        if (found.size() > 1) {
            return fail(std::to_string(found.size()) + " windows \"" + title + "\"");
        }
        dialog = found.front();
        return true;
    }

    // The sheet's page windows; a page not shown yet has none.
    bool pageWindows(HWND sheet, std::vector<HWND>& pages) {
        HWND tab = nullptr;
        LRESULT count = 0;
        if (!tabControl(sheet, tab) || !send(tab, TCM_GETITEMCOUNT, 0, 0, count)) {
            return false;
        }
        for (LRESULT i = 0; i < count; ++i) {
            LRESULT page = 0;
            if (!send(sheet, PSM_INDEXTOHWND, static_cast<WPARAM>(i), 0, page)) {
                return false;
            }
            pages.push_back(reinterpret_cast<HWND>(page));
        }
        return true;
    }

    // A window's answer to WM_GETFONT; none when the system does not carry the message to the
    // program: Wine carries no message with a GDI handle across processes, and refuses it at once
    // without an error.
    bool windowFont(HWND window, std::optional<LRESULT>& font) {
        DWORD_PTR answer = 0;
        SetLastError(ERROR_SUCCESS);
        if (SendMessageTimeoutA(window, WM_GETFONT, 0, 0, SMTO_NORMAL, timeout_, &answer) != 0) {
            font = static_cast<LRESULT>(answer);
            return true;
        }
        if (GetLastError() == ERROR_SUCCESS && IsWindow(window)) {
            font.reset();
            return true;
        }
        return noAnswer(WM_GETFONT);
    }

    // One line of layout: where the control lies in top's client area and the room its text
    // needs. Measured only in the dialog's own font: the program gives some controls another.
    bool controlLayout(HWND control, HWND top, const std::string& owner,
                       std::optional<LRESULT> ownerFont, HDC dc, const TEXTMETRICA& font,
                       std::string& line) {
        const LONG_PTR style = GetWindowLongPtrA(control, GWL_STYLE);
        const std::string className = windowClass(control);
        const Kind kind = kindOf(className, style);
        std::string text;
        if (!windowText(control, text)) {
            return false;
        }
        std::optional<SIZE> needs;
        if (!text.empty() && kind != Kind::other && kind != Kind::otherButton) {
            std::optional<LRESULT> controlFont;
            if (!windowFont(control, controlFont)) {
                return false;
            }
            // A dialog without a font of its own draws in the system font, not the one made here.
            // Where the fonts cannot be asked for, a control counts as in its dialog's font, as
            // the dialog manager gives it to every control of the template.
            const bool inDialogFont =
                !controlFont || !ownerFont || (*ownerFont != 0 && *controlFont == *ownerFont);
            if (inDialogFont) {
                needs = textNeeds(dc, font, control, kind, style, text);
            }
        }
        RECT area{};
        GetWindowRect(control, &area);
        MapWindowPoints(HWND_DESKTOP, top, reinterpret_cast<POINT*>(&area), 2);
        line = owner + ' ' + std::to_string(GetDlgCtrlID(control)) + ' ' + className +
               kindSuffix(kind) + ' ' + std::to_string(area.left) + ' ' + std::to_string(area.top) +
               ' ' + std::to_string(area.right) + ' ' + std::to_string(area.bottom) + ' ' +
               (needs ? std::to_string(needs->cx) + ' ' + std::to_string(needs->cy) : "- -") + ' ' +
               oneLine(text);
        return true;
    }

    // The visible controls of the sheet and its current page, or of the program's one window
    // titled dialogTitle, each on a line.
    bool layout(const std::string& face, int points,
                const std::optional<std::string>& dialogTitle) {
        struct Owner {
            std::string name;
            HWND window;
        };
        std::vector<Owner> owners;
        std::vector<HWND> pages;
        HWND top = nullptr;
        if (dialogTitle) {
            if (!findDialog(*dialogTitle, top)) {
                return false;
            }
            owners.push_back({"dialog", top});
        } else {
            HWND page = nullptr;
            if (!findSheet(top) || !currentPage(top, page) || !pageWindows(top, pages)) {
                return false;
            }
            if (page == nullptr) {
                return fail("the sheet has no current page");
            }
            owners.push_back({"sheet", top});
            owners.push_back({"page", page});
        }
        const ScreenDC screen(GetDC(nullptr));
        if (!screen.valid()) {
            return fail("no device context of the screen");
        }
        const FontHandle font = dialogFont(screen.get(), face, points);
        if (!font.valid()) {
            return fail("cannot make the font \"" + face + "\": error " +
                        std::to_string(GetLastError()));
        }
        const SelectedObject selected(screen.get(), font.get());
        TEXTMETRICA metrics{};
        if (!GetTextMetricsA(screen.get(), &metrics)) {
            return fail("no metrics of the font \"" + face + "\"");
        }
        std::vector<std::string> lines;
        for (const Owner& owner : owners) {
            std::optional<LRESULT> ownerFont;
            if (!windowFont(owner.window, ownerFont)) {
                return false;
            }
            for (HWND control : visibleChildren(owner.window)) {
                if (std::find(pages.begin(), pages.end(), control) != pages.end()) {
                    continue;
                }
                std::string line;
                if (!controlLayout(control, top, owner.name, ownerFont, screen.get(), metrics,
                                   line)) {
                    return fail(error_ + " (" + owner.name + " control " +
                                std::to_string(GetDlgCtrlID(control)) + ", " +
                                windowClass(control) + ")");
                }
                lines.push_back(std::move(line));
            }
        }
        // First the window's client area: its size, and where it lies on the screen.
        RECT client{};
        POINT origin{};
        GetClientRect(top, &client);
        ClientToScreen(top, &origin);
        printLine("client " + std::to_string(client.right) + " " + std::to_string(client.bottom) +
                  " " + std::to_string(origin.x) + " " + std::to_string(origin.y));
        for (const std::string& line : lines) {
            printLine(line);
        }
        return true;
    }

    bool close() {
        HWND sheet = nullptr;
        if (!findSheet(sheet)) {
            return false;
        }
        HWND ende = GetDlgItem(sheet, IDCANCEL);
        if (ende == nullptr) {
            return fail("the sheet has no IDCANCEL button");
        }
        return reachable(ende, IDCANCEL) && post(ende, BM_CLICK, 0, 0) && settle(sheet);
    }

    std::string title_;
    DWORD timeout_;
    const char* desktop_;
    DWORD startedProcess_ = 0;
    std::optional<ProcessHandle> held_;
    std::string error_;
};

} // namespace

int main(int argc, char** argv) {
    // Texts go out byte for byte, lines end in "\n".
    _setmode(_fileno(stdout), _O_BINARY);
    int next = 1;
    const char* desktop = nullptr;
    std::string title = "Klemora";
    DWORD timeout = defaultTimeout;
    while (next < argc && std::strncmp(argv[next], "--", 2) == 0) {
        const std::string option = argv[next];
        if (next + 1 >= argc) {
            return usage(option + " needs a value");
        }
        const std::string value = argv[next + 1];
        unsigned long number = 0;
        if (option == "--desktop") {
            desktop = argv[next + 1];
        } else if (option == "--timeout") {
            if (!parseNumber(value, maximumTimeout, number) || number == 0) {
                return usage("--timeout MS: from 1 to 600000");
            }
            timeout = static_cast<DWORD>(number);
        } else if (option == "--title") {
            title = value;
        } else if (option == "--title-hex") {
            if (!parseHex(value, title)) {
                return usage("--title-hex: pairs of hexadecimal digits");
            }
        } else {
            return usage("unknown option " + option);
        }
        next += 2;
    }
    std::vector<Command> script(1);
    for (int i = next; i < argc; ++i) {
        if (std::strcmp(argv[i], ";") == 0) {
            script.emplace_back();
        } else {
            script.back().emplace_back(argv[i]);
        }
    }
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i].empty()) {
            return usage("an empty command");
        }
        const std::string why = checkCommand(script[i], i == 0);
        if (!why.empty()) {
            return usage(why);
        }
    }

    // start may be the first to use the desktop: then it makes it, as a program started there
    // would.
    const bool starts = script[0][0] == "start";
    HDESK opened = nullptr;
    if (desktop != nullptr) {
        opened = OpenDesktopA(desktop, 0, FALSE, GENERIC_ALL);
        if (opened == nullptr && starts) {
            opened = CreateDesktopA(desktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        }
    }
    const DesktopHandle desktopHandle(opened);
    // Window searches look at the calling thread's desktop; this thread has no windows yet.
    if (desktop != nullptr && (!desktopHandle.valid() || !SetThreadDesktop(desktopHandle.get()))) {
        std::fprintf(stderr, "klemora-driver: no desktop %s: error %lu\n", desktop, GetLastError());
        return 1;
    }
    Driver driver(title, timeout, desktop);
    for (const Command& command : script) {
        const bool done = driver.run(command);
        std::fflush(stdout);
        if (!done) {
            std::string line = command[0];
            for (std::size_t i = 1; i < command.size() && command[0] != "start"; ++i) {
                line += ' ' + command[i];
            }
            std::fprintf(stderr, "klemora-driver: %s: %s\n", line.c_str(), driver.error().c_str());
            return 1;
        }
    }
    return 0;
}
