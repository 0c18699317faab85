// The repaint thread of the world clock: one step after another until it is told to stop;
// CBallThread's step invalidates the window about every 8 milliseconds.
#pragma once

#include "desktop/framework/WinThread.h"
#include "win32/Gdi.h"

class CGDIThread : public CWinThread {
public:
    CGDIThread(HWND target, HDC context);

    BOOL InitInstance() override;
    void Delete() override;
    virtual void Tick() = 0;
    // On the user-interface thread: ends the loop, waits for the thread and deletes this.
    void StopThread();

protected:
    RECT m_bounds{};
    HWND m_target;
    HDC m_targetContext;
    int m_stepDelay = 8;
    ScopedHandle<KernelHandleTraits> m_stopEvent;
    ScopedHandle<KernelHandleTraits> m_endedEvent;
};

class CBallThread : public CGDIThread {
public:
    CBallThread(HWND target, HDC context, POINT position, POINT velocity, SIZE size,
                COLORREF colour);
    ~CBallThread() override;
    void Tick() override;

private:
    RECT m_ball;
    POINT m_velocity;
    BrushHandle m_brush;
};

// Starts the repaint thread of a window at time-critical priority; none when it cannot start.
CBallThread* startRepaintThread(HWND window, HDC context);
