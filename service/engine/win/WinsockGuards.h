// Owners of the Winsock session and of one socket.
#pragma once

#include "win32/Guards.h"

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

struct SocketTraits {
    using Handle = SOCKET;
    static SOCKET empty() { return INVALID_SOCKET; }
    static bool isValid(SOCKET handle) { return handle != INVALID_SOCKET; }
    static void close(SOCKET handle) { closesocket(handle); }
};

using UdpSocket = ScopedHandle<SocketTraits>;
