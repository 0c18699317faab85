// A WinINet session: its handle, the URLs it opens, and the status callback, which reaches
// the object through the context of each request.
#pragma once

#include <windows.h>

#include <wininet.h>

class CInternetSession {
public:
    explicit CInternetSession(const char* agent, DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG);
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;
    virtual ~CInternetSession();

    bool valid() const { return handle_ != nullptr; }
    void EnableStatusCallback(bool enable);
    // How long a connection, a send or a receive may wait, in milliseconds.
    void SetTimeouts(DWORD milliseconds);
    // The opened URL, or none with the error code.
    HINTERNET OpenURL(const char* url, DWORD flags, DWORD& error);
    virtual void OnStatusCallback(DWORD status, LPVOID information, DWORD length);

private:
    static void CALLBACK statusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                        LPVOID information, DWORD length);
    HINTERNET handle_;
};
