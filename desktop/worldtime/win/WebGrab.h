// One download of the news ticker's text, on a thread of its own that deletes itself at the
// end: the text is built privately and published whole only when the transfer succeeded. At most
// one runs at a time, and none for longer than its deadline.
#pragma once

#include "desktop/framework/InternetSession.h"
#include "desktop/framework/WinThread.h"

#include <memory>
#include <string>

class CWebGrabSession : public CInternetSession {
public:
    CWebGrabSession(const char* agent, HWND statusWindow);
    void OnStatusCallback(DWORD status, LPVOID information, DWORD length) override;
    // Shows a progress line in the status window, when there is one.
    void ReportStatus(const std::string& line);

    HWND m_statusWindow;
};

class CWebGrab : public CWinThread {
public:
    ~CWebGrab() override;
    // Starts a download on its thread unless one is still running; false when none started.
    static bool StartOne();

    BOOL InitInstance() override;
    // Fetches url into text; TRUE when the transfer ran to its end with the server's "OK".
    BOOL Download(const std::string& url, std::string& text, const char* agent, HWND statusWindow);

private:
    std::unique_ptr<CWebGrabSession> m_connection;
    bool m_holdsTurn = false; // this download is the one that runs
};

// Where the news comes from: KLEMORA_NEWS_URL, else the user's registry value NewsTickerURL
// under HKEY_CURRENT_USER\Software\Tarnwick\Klemora, else the maker's server.
std::string newsUrl();
