#include "service/engine/win/ServerAddress.h"

// Winsock 2 before windows.h, which would bring in the older winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "win32/Guards.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

static_assert(sizeof(ServerAddress::bytes) >= sizeof(SOCKADDR_STORAGE));

namespace {

using GetAddrInfoFn = int(WSAAPI*)(const char*, const char*, const ADDRINFOA*, ADDRINFOA**);
using FreeAddrInfoFn = void(WSAAPI*)(ADDRINFOA*);
using GetNameInfoFn = int(WSAAPI*)(const sockaddr*, socklen_t, char*, DWORD, char*, DWORD, int);

// The protocol-independent name service of ws2_32.dll, looked up at run time: the program
// links only wsock32.dll, so that it still starts where Winsock 2 is missing.
struct NameService {
    LibraryHandle library{LoadLibraryA("ws2_32.dll")};
    GetAddrInfoFn getAddrInfo = nullptr;
    FreeAddrInfoFn freeAddrInfo = nullptr;
    GetNameInfoFn getNameInfo = nullptr;

    NameService() {
        if (!library) {
            return;
        }
        getAddrInfo = reinterpret_cast<GetAddrInfoFn>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), "getaddrinfo")));
        freeAddrInfo = reinterpret_cast<FreeAddrInfoFn>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), "freeaddrinfo")));
        getNameInfo = reinterpret_cast<GetNameInfoFn>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), "getnameinfo")));
        if (getAddrInfo == nullptr || freeAddrInfo == nullptr) {
            getAddrInfo = nullptr;
            freeAddrInfo = nullptr;
        }
    }
};

const NameService& nameService() {
    static const NameService service;
    return service;
}

struct AddrInfoList {
    ADDRINFOA* first = nullptr;
    ~AddrInfoList() {
        if (first != nullptr) {
            nameService().freeAddrInfo(first);
        }
    }
    AddrInfoList() = default;
    AddrInfoList(const AddrInfoList&) = delete;
    AddrInfoList& operator=(const AddrInfoList&) = delete;
};

ServerAddress fromIPv4(const in_addr& address, std::uint16_t port) {
    ServerAddress server;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr = address;
    std::memcpy(server.bytes, &in, sizeof in);
    server.length = sizeof in;
    return server;
}

void addUnique(std::vector<ServerAddress>& addresses, const ServerAddress& address) {
    const bool known = std::any_of(addresses.begin(), addresses.end(),
                                   [&](const auto& other) { return other.sameEndpoint(address); });
    if (!known) {
        addresses.push_back(address);
    }
}

} // namespace

int ServerAddress::family() const {
    return get()->sa_family;
}

std::string ServerAddress::text(bool withPort) const {
    char host[NI_MAXHOST] = {};
    std::uint16_t port = 0;
    if (family() == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, bytes, sizeof in);
        const auto* b = reinterpret_cast<const unsigned char*>(&in.sin_addr);
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        port = ntohs(in.sin_port);
    } else {
        sockaddr_in6 in6;
        std::memcpy(&in6, bytes, sizeof in6);
        port = ntohs(in6.sin6_port);
        const auto getNameInfo = nameService().getNameInfo;
        if (getNameInfo == nullptr ||
            getNameInfo(get(), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
            std::snprintf(host, sizeof host, "IPv6 address");
        }
    }
    if (!withPort) {
        return host;
    }
    char text[NI_MAXHOST + 16];
    std::snprintf(text, sizeof text, family() == AF_INET6 ? "[%s]:%u" : "%s:%u", host,
                  static_cast<unsigned>(port));
    return text;
}

bool ServerAddress::sameEndpoint(const ServerAddress& other) const {
    if (family() != other.family()) {
        return false;
    }
    if (family() == AF_INET) {
        sockaddr_in a;
        sockaddr_in b;
        std::memcpy(&a, bytes, sizeof a);
        std::memcpy(&b, other.bytes, sizeof b);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (family() == AF_INET6) {
        sockaddr_in6 a;
        sockaddr_in6 b;
        std::memcpy(&a, bytes, sizeof a);
        std::memcpy(&b, other.bytes, sizeof b);
        return a.sin6_port == b.sin6_port &&
               std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    }
    return false;
}

ServerAddress anyAddress(int family, std::uint16_t port) {
    if (family != AF_INET6) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        return fromIPv4(any, port);
    }
    ServerAddress server;
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    std::memcpy(server.bytes, &in6, sizeof in6);
    server.length = sizeof in6;
    return server;
}

ServerAddress atPort(const ServerAddress& address, std::uint16_t port) {
    ServerAddress moved = address;
    // sin_port and sin6_port lie at the same place.
    if (address.family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(moved.bytes)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(moved.bytes)->sin_port = htons(port);
    }
    return moved;
}

std::vector<ServerAddress> resolveServer(const std::string& host, std::uint16_t port) {
    std::vector<ServerAddress> addresses;
    const NameService& names = nameService();
    if (names.getAddrInfo != nullptr) {
        ADDRINFOA hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        const std::string service = std::to_string(port);
        AddrInfoList found;
        if (names.getAddrInfo(host.c_str(), service.c_str(), &hints, &found.first) != 0) {
            return addresses;
        }
        for (const ADDRINFOA* each = found.first; each != nullptr; each = each->ai_next) {
            if ((each->ai_family == AF_INET || each->ai_family == AF_INET6) &&
                each->ai_addrlen > 0 &&
                static_cast<std::size_t>(each->ai_addrlen) <= sizeof(ServerAddress::bytes)) {
                ServerAddress address;
                std::memcpy(address.bytes, each->ai_addr, each->ai_addrlen);
                address.length = static_cast<int>(each->ai_addrlen);
                addUnique(addresses, address);
            }
        }
        return addresses;
    }
    in_addr literal{};
    literal.s_addr = inet_addr(host.c_str());
    if (literal.s_addr != INADDR_NONE) {
        addresses.push_back(fromIPv4(literal, port));
        return addresses;
    }
    const hostent* found = gethostbyname(host.c_str());
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4) {
        return addresses;
    }
    for (char** each = found->h_addr_list; *each != nullptr; ++each) {
        in_addr address;
        std::memcpy(&address, *each, 4);
        addUnique(addresses, fromIPv4(address, port));
    }
    return addresses;
}
