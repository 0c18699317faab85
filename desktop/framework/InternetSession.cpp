#include "desktop/framework/InternetSession.h"

CInternetSession::CInternetSession(const char* agent, DWORD accessType)
    : handle_(InternetOpenA(agent, accessType, nullptr, nullptr, 0)) {}

CInternetSession::~CInternetSession() {
    if (handle_ != nullptr) {
        InternetSetStatusCallbackA(handle_, nullptr);
        InternetCloseHandle(handle_);
    }
}

void CInternetSession::EnableStatusCallback(bool enable) {
    if (handle_ != nullptr) {
        InternetSetStatusCallbackA(handle_, enable ? &CInternetSession::statusCallback : nullptr);
    }
}

HINTERNET CInternetSession::OpenURL(const char* url, DWORD flags, DWORD& error) {
    const HINTERNET file =
        InternetOpenUrlA(handle_, url, nullptr, 0, flags, reinterpret_cast<DWORD_PTR>(this));
    error = file == nullptr ? GetLastError() : 0;
    return file;
}

void CInternetSession::OnStatusCallback(DWORD, LPVOID, DWORD) {}

void CALLBACK CInternetSession::statusCallback(HINTERNET, DWORD_PTR context, DWORD status,
                                               LPVOID information, DWORD length) {
    if (context != 0) {
        reinterpret_cast<CInternetSession*>(context)->OnStatusCallback(status, information, length);
    }
}
