#include "desktop/framework/InternetSession.h"

#include <initializer_list>

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

void CInternetSession::SetTimeouts(DWORD milliseconds) {
    if (handle_ != nullptr) {
        for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                   INTERNET_OPTION_RECEIVE_TIMEOUT}) {
            InternetSetOptionA(handle_, option, &milliseconds, sizeof milliseconds);
        }
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
