// A server's socket address of either family (IPv4 or IPv6), and the name service that finds
// them. The address is kept as bytes, so that code built against winsock.h can hold and pass it;
// only ServerAddress.cpp sees the Winsock 2 declarations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sockaddr;

struct ServerAddress {
    alignas(8) unsigned char bytes[128] = {}; // as large as a SOCKADDR_STORAGE
    int length = 0;

    int family() const;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(bytes); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(bytes); }
    // The address as digits ("198.51.100.7", "2001:db8::5"), with the port when asked
    // ("198.51.100.7:123", "[2001:db8::5]:123").
    std::string text(bool withPort = false) const;
    // The same family, address and port.
    bool sameEndpoint(const ServerAddress& other) const;
};

// The wildcard address of a family at a port, for binding.
ServerAddress anyAddress(int family, std::uint16_t port);

// The same address at another port.
ServerAddress atPort(const ServerAddress& address, std::uint16_t port);

// Every address of a host name or literal, IPv4 and IPv6 in the resolver's order, at the port;
// none when it does not resolve. Uses getaddrinfo where the system has it (Windows XP and
// later), else the IPv4-only lookup of Winsock 1.
std::vector<ServerAddress> resolveServer(const std::string& host, std::uint16_t port);
