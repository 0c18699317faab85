#include "desktop/worldtime/win/WebGrab.h"

#include "desktop/worldtime/NewsDownload.h"
#include "desktop/worldtime/NewsText.h"
#include "win32/InternetHandle.h"
#include "win32/RegistryValues.h"
#include "win32/SystemMessage.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

// A server or proxy that sends a byte now and then keeps each read alive; the whole transfer
// ends after this, and a silent one after the receive time-out.
constexpr DWORD downloadDeadline = 30000;
constexpr DWORD silenceTimeout = 10000;

// Set while a download runs: the page's timer asks again long before a slow one ends.
std::atomic<bool> downloadRunning{false};

// WinINet's own texts for its errors, else the system's.
std::string errorText(DWORD error) {
    std::string text = systemMessage(error, GetModuleHandleA("wininet.dll"), 0);
    if (text.empty()) {
        text = systemMessage(error, nullptr, 0);
    }
    return !text.empty() ? text : "error " + std::to_string(error);
}

} // namespace

CWebGrabSession::CWebGrabSession(const char* agent, HWND statusWindow)
    : CInternetSession(agent), m_statusWindow(statusWindow) {
    EnableStatusCallback(true);
}

void CWebGrabSession::OnStatusCallback(DWORD status, LPVOID information, DWORD length) {
    StatusInformation info;
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && length == 8 && information != nullptr) {
        const auto* fields = static_cast<const std::uint32_t*>(information);
        info = {"", true, fields[0], fields[1]};
    } else if (information != nullptr && length > 0 &&
               (status == INTERNET_STATUS_RESOLVING_NAME ||
                status == INTERNET_STATUS_NAME_RESOLVED)) {
        const auto* text = static_cast<const char*>(information);
        info.text.assign(text, strnlen(text, length));
    }
    if (const auto line = statusLine(status, info)) {
        ReportStatus(*line);
    }
}

void CWebGrabSession::ReportStatus(const std::string& line) {
    if (m_statusWindow != nullptr) {
        SetWindowTextA(m_statusWindow, line.substr(0, 511).c_str());
        RedrawWindow(m_statusWindow, nullptr, nullptr, RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE);
    }
}

CWebGrab::~CWebGrab() {
    // The connection closes before the next download may start.
    m_connection.reset();
    if (m_holdsTurn) {
        downloadRunning = false;
    }
}

bool CWebGrab::StartOne() {
    if (downloadRunning.exchange(true)) {
        return false;
    }
    auto* download = new (std::nothrow) CWebGrab;
    if (download == nullptr) {
        downloadRunning = false;
        return false;
    }
    download->m_holdsTurn = true;
    if (!download->CreateThread()) {
        delete download;
        return false;
    }
    return true; // runs at once and deletes itself when done
}

BOOL CWebGrab::InitInstance() {
    DWORD state = 0;
    if (!InternetGetConnectedState(&state, 0)) {
        return FALSE; // offline: the ticker keeps what it has
    }
    std::string text;
    // A failed download changes nothing: a text already waiting stays.
    if (Download(newsUrl(), text, "Klemora", nullptr)) {
        publishNewsText(tickerLine(text));
    }
    return FALSE;
}

BOOL CWebGrab::Download(const std::string& url, std::string& text, const char* agent,
                        HWND statusWindow) {
    text.clear();
    if (!m_connection) {
        m_connection = std::make_unique<CWebGrabSession>(agent, statusWindow);
    }
    if (!m_connection->valid()) {
        return FALSE;
    }
    if (statusWindow != nullptr) {
        m_connection->m_statusWindow = statusWindow;
    }
    const DWORD started = GetTickCount();
    m_connection->SetTimeouts(silenceTimeout);
    DWORD error = 0;
    InternetHandle file(m_connection->OpenURL(
        url.c_str(),
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY, error));
    if (!file) {
        m_connection->ReportStatus(errorText(error).substr(0, 255));
        return FALSE;
    }
    // An error page of the server is no news.
    DWORD statusCode = 0;
    DWORD size = sizeof statusCode;
    if (HttpQueryInfoA(file.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &statusCode,
                       &size, nullptr) &&
        statusCode != HTTP_STATUS_OK) {
        m_connection->ReportStatus("HTTP status " + std::to_string(statusCode));
        return FALSE;
    }
    std::vector<char> buffer(4096);
    std::string received;
    // Only the start of a long file is kept; the rest is never read. Each read takes only what
    // has arrived, so that the deadline is looked at after every piece.
    while (received.size() < newsKeptBytes) {
        if (GetTickCount() - started >= downloadDeadline) {
            m_connection->ReportStatus("transfer took too long");
            return FALSE;
        }
        DWORD available = 0;
        if (!InternetQueryDataAvailable(file.get(), &available, 0, 0)) {
            m_connection->ReportStatus(errorText(GetLastError()).substr(0, 255));
            return FALSE;
        }
        if (available == 0) {
            break; // the end of the file
        }
        const auto wanted = static_cast<DWORD>(
            std::min<std::size_t>({4095, available, newsKeptBytes - received.size()}));
        DWORD read = 0;
        if (!InternetReadFile(file.get(), buffer.data(), wanted, &read)) {
            m_connection->ReportStatus(errorText(GetLastError()).substr(0, 255));
            return FALSE;
        }
        if (read == 0) {
            break;
        }
        received.append(buffer.data(), read);
        m_connection->ReportStatus(
            readProgressLine(received.size(), (GetTickCount() - started) / 1000));
    }
    // A transfer that the server broke off is no news either.
    DWORD declared = 0;
    size = sizeof declared;
    if (HttpQueryInfoA(file.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &declared,
                       &size, nullptr) &&
        received.size() < declared && received.size() < newsKeptBytes) {
        m_connection->ReportStatus("transfer broken off");
        return FALSE;
    }
    m_connection->ReportStatus("");
    text = std::move(received);
    return TRUE;
}

std::string newsUrl() {
    char environment[1024] = {};
    const DWORD length =
        GetEnvironmentVariableA("KLEMORA_NEWS_URL", environment, sizeof environment);
    std::optional<std::string> fromEnvironment;
    if (length > 0 && length < sizeof environment) {
        fromEnvironment = environment;
    }
    std::optional<std::string> fromRegistry;
    RegistryKeyHandle key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tarnwick\\Klemora", 0, KEY_READ, key.out()) ==
        ERROR_SUCCESS) {
        if (auto value = readRegistryText(key.get(), "NewsTickerURL")) {
            fromRegistry = value->text;
        }
    }
    return chooseNewsUrl(fromEnvironment, fromRegistry);
}
