// The repaint thread of the world clock: one step after another until it is told to stop;
// CBallThread's step invalidates the window, or the parts of it that move, about every 8
// milliseconds.
#pragma once

#include "desktop/framework/WinThread.h"
#include "win32/Gdi.h"

#include <mutex>
#include <vector>

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
    // From then on each step invalidates only these parts of the window, the ones that change
    // between paintings; none: the whole window. From the user-interface thread.
    void setMovingAreas(std::vector<RECT> areas);

private:
    std::mutex m_areasLock;
    std::vector<RECT> m_movingAreas;
    RECT m_ball;
    POINT m_velocity;
    BrushHandle m_brush;
};

// Starts the repaint thread of a window at time-critical priority; none when it cannot start.
CBallThread* startRepaintThread(HWND window, HDC context);
