#include "desktop/worldtime/win/GDIThread.h"

#include <utility>

CGDIThread::CGDIThread(HWND target, HDC context)
    : m_target(target), m_targetContext(context),
      m_stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_endedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    GetClientRect(target, &m_bounds);
    m_bAutoDelete = false; // StopThread deletes it
}

BOOL CGDIThread::InitInstance() {
    while (WaitForSingleObject(m_stopEvent.get(), 0) == WAIT_TIMEOUT) {
        Tick();
    }
    return FALSE;
}

void CGDIThread::Delete() {
    CWinThread::Delete();
    SetEvent(m_endedEvent.get());
}

void CGDIThread::StopThread() {
    SetEvent(m_stopEvent.get());
    SetThreadPriority(m_hThread, THREAD_PRIORITY_ABOVE_NORMAL);
    // Safe without a limit: a step never waits for the user-interface thread.
    WaitForSingleObject(m_endedEvent.get(), INFINITE);
    WaitForSingleObject(m_hThread, INFINITE);
    delete this;
}

CBallThread::CBallThread(HWND target, HDC context, POINT position, POINT velocity, SIZE size,
                         COLORREF colour)
    : CGDIThread(target, context), m_ball{position.x, position.y, position.x + size.cx,
                                          position.y + size.cy},
      m_velocity(velocity), m_brush(CreateSolidBrush(colour)) {}

CBallThread::~CBallThread() = default;

void CBallThread::Tick() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    const bool counted = QueryPerformanceFrequency(&frequency) && frequency.QuadPart != 0;
    if (counted) {
        QueryPerformanceCounter(&start);
    }
    {
        const std::lock_guard<std::mutex> guard(m_areasLock);
        if (m_movingAreas.empty()) {
            InvalidateRect(m_target, nullptr, FALSE);
        }
        for (const RECT& area : m_movingAreas) {
            InvalidateRect(m_target, &area, FALSE);
        }
    }
    if (!counted) {
        Sleep(static_cast<DWORD>(m_stepDelay));
        return;
    }
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const long long elapsed = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
    if (elapsed < m_stepDelay) {
        Sleep(static_cast<DWORD>(m_stepDelay - elapsed));
    }
}

void CBallThread::setMovingAreas(std::vector<RECT> areas) {
    const std::lock_guard<std::mutex> guard(m_areasLock);
    m_movingAreas = std::move(areas);
}

CBallThread* startRepaintThread(HWND window, HDC context) {
    auto* thread = new CBallThread(window, context, {0, 0}, {0, 0}, {0, 0}, 0);
    if (!thread->CreateThread(CREATE_SUSPENDED)) {
        delete thread;
        return nullptr;
    }
    SetThreadPriority(thread->m_hThread, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread->m_hThread);
    return thread;
}
