// A window that this program subclasses: its messages reach the object's windowProc, with the
// this pointer kept by the subclass, until the window is destroyed.
#pragma once

#include <windows.h>

// Controls get back their colour requests as this message plus the original one, so that a
// control can draw itself (the parent reflects them).
constexpr UINT reflectedMessageBase = 0x2000;

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    bool SubclassWindow(HWND window);
    bool SubclassDlgItem(UINT id, CWnd* parent);
    HWND GetDlgItem(UINT id) const { return ::GetDlgItem(m_hWnd, static_cast<int>(id)); }
    // Shows the help topic of a context; a window without help does nothing.
    virtual void WinHelp(DWORD context);

    HWND m_hWnd = nullptr;

protected:
    virtual LRESULT windowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The processing of the window as it was before the subclass.
    LRESULT Default();
    // After the window is gone; an object that lives only as long as its window deletes
    // itself here.
    virtual void PostNcDestroy() {}

private:
    static LRESULT CALLBACK subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR data);
    UINT currentMessage_ = 0;
    WPARAM currentWParam_ = 0;
    LPARAM currentLParam_ = 0;
};

// The reflection of a colour request to the control that asked; zero when it draws as usual.
LRESULT reflectControlColor(UINT message, WPARAM wParam, LPARAM lParam);
