#include "desktop/framework/WinThread.h"

CWinThread::~CWinThread() {
    if (m_hThread != nullptr) {
        CloseHandle(m_hThread);
    }
}

bool CWinThread::CreateThread(DWORD flags) {
    m_hThread = ::CreateThread(nullptr, 0, &CWinThread::threadMain, this, flags, nullptr);
    return m_hThread != nullptr;
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
