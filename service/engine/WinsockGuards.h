// Owners of the Winsock session and of one socket.
#pragma once

#include <winsock.h>

class WinsockSession {
public:
    // Raises LastErrorException "WSAStartup", or SimpleException when the version differs.
    WinsockSession(BYTE major, BYTE minor);
    ~WinsockSession() {
        if (started_) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

private:
    bool started_ = false;
};

class UdpSocket {
public:
    explicit UdpSocket(SOCKET handle) : handle_(handle) {}
    ~UdpSocket() {
        if (handle_ != INVALID_SOCKET) {
            closesocket(handle_);
        }
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    SOCKET get() const { return handle_; }

private:
    SOCKET handle_;
};
