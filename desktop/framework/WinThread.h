// A worker thread with an object: created suspended or running, its InitInstance runs on the
// new thread; the object deletes itself at the end unless told otherwise.
#pragma once

#include <windows.h>

class CWinThread {
public:
    CWinThread() = default;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    virtual ~CWinThread();

    // False when the thread could not be made. Once a running thread was made, the object may
    // already be gone when this returns.
    bool CreateThread(DWORD flags = 0);
    // The thread's work; this layer's threads return FALSE when they are done.
    virtual BOOL InitInstance() = 0;
    // At the end of the thread: deletes the object when m_bAutoDelete is set.
    virtual void Delete();

    HANDLE m_hThread = nullptr;
    bool m_bAutoDelete = true;

private:
    static DWORD WINAPI threadMain(LPVOID self);
};
