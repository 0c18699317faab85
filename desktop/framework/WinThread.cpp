#include "desktop/framework/WinThread.h"

CWinThread::~CWinThread() {
    if (m_hThread != nullptr) {
        CloseHandle(m_hThread);
    }
}

bool CWinThread::CreateThread(DWORD flags) {
    // Suspended until the handle is stored: a thread that ends at once deletes this object, and
    // with it the handle, and must not find the member still empty.
    const HANDLE thread = ::CreateThread(nullptr, 0, &CWinThread::threadMain, this,
                                         flags | CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        return false;
    }
    m_hThread = thread;
    if ((flags & CREATE_SUSPENDED) == 0) {
        ResumeThread(thread); // from here on the object may be gone
    }
    return true;
}

void CWinThread::Delete() {
    if (m_bAutoDelete) {
        delete this;
    }
}

DWORD WINAPI CWinThread::threadMain(LPVOID self) {
    auto* thread = static_cast<CWinThread*>(self);
    thread->InitInstance();
    thread->Delete(); // may delete the object
    return 0;
}
