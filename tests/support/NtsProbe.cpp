// Runs an NTS key exchange and one authenticated NTP exchange with a server, natively, for the
// tests against chronyd:
//   nts-probe ADDRESS KE-PORT CA-FILE [--name NAME] [--no-time-check]
// NAME is what the certificate must carry (the address by default). Prints
//   key exchange: N cookies, NTP server S port P
//   authenticated: N new cookies
// or "key exchange failed: ..." / "not authenticated: ...", and exits with 0 only after both.
#include "service/nts/NtsKeClient.h"
#include "service/nts/NtsPacket.h"

#include <openssl/rand.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

int remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait(int fd, short events, Clock::time_point deadline) {
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, remaining(deadline)) == 1;
}

class PosixTransport : public nts::KeTransport {
public:
    PosixTransport(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}
    bool send(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            if (!wait(fd_, POLLOUT, deadline_)) {
                problem_ = "timed out sending";
                return false;
            }
            const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (sent <= 0) {
                problem_ = std::string("send: ") + std::strerror(errno);
                return false;
            }
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    long receive(std::uint8_t* data, std::size_t size) override {
        if (!wait(fd_, POLLIN, deadline_)) {
            problem_ = "timed out receiving";
            return -1;
        }
        const ssize_t received = recv(fd_, data, size, 0);
        if (received < 0) {
            problem_ = std::string("recv: ") + std::strerror(errno);
        }
        return received;
    }
    std::string problem() const override { return problem_; }

private:
    int fd_;
    Clock::time_point deadline_;
    std::string problem_;
};

// A numeric address and port; false when it is none.
bool addressOf(const std::string& text, std::uint16_t port, sockaddr_storage& address,
               socklen_t& length) {
    address = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

int fail(const char* what, const std::string& why) {
    std::printf("%s: %s\n", what, why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: nts-probe ADDRESS KE-PORT CA-FILE [--name NAME] "
                             "[--no-time-check]\n");
        return 2;
    }
    const std::string address = argv[1];
    std::string name = address;
    nts::KeTrust trust;
    trust.extraFile = argv[3];
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (std::strcmp(argv[i], "--no-time-check") == 0) {
            trust.checkTimes = false;
        }
    }
    sockaddr_storage server{};
    socklen_t length = 0;
    if (!addressOf(address, static_cast<std::uint16_t>(std::stoi(argv[2])), server, length)) {
        return fail("key exchange failed", "not a numeric address: " + address);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const Descriptor tcp{socket(server.ss_family, SOCK_STREAM, 0)};
    if (tcp.fd < 0 || connect(tcp.fd, reinterpret_cast<sockaddr*>(&server), length) != 0) {
        return fail("key exchange failed", std::string("connect: ") + std::strerror(errno));
    }
    PosixTransport transport(tcp.fd, deadline);
    const nts::KeResult ke = nts::runKeyExchange(transport, name, trust);
    if (!ke.ok) {
        return fail("key exchange failed", ke.problem);
    }
    const std::string ntpServer = ke.response.server.empty() ? address : ke.response.server;
    std::printf("key exchange: %zu cookies, NTP server %s port %u\n", ke.response.cookies.size(),
                ntpServer.c_str(), ke.response.port);

    std::array<std::uint8_t, nts::ntpHeaderSize> header{};
    header[0] = 0x23; // NTPv4, client
    nts::UniqueIdentifier id{};
    nts::Nonce nonce{};
    if (RAND_bytes(header.data() + 40, 8) != 1 || RAND_bytes(id.data(), id.size()) != 1 ||
        RAND_bytes(nonce.data(), nonce.size()) != 1) {
        return fail("not authenticated", "no random bytes");
    }
    const AesSiv clientToServer(ke.clientToServer);
    const AesSiv serverToClient(ke.serverToClient);
    const nts::Bytes request =
        nts::buildNtsRequest(header, id, ke.response.cookies.front(), 0, nonce, clientToServer);
    if (!addressOf(ntpServer, ke.response.port, server, length)) {
        return fail("not authenticated", "not a numeric address: " + ntpServer);
    }
    const Descriptor udp{socket(server.ss_family, SOCK_DGRAM, 0)};
    if (udp.fd < 0 || sendto(udp.fd, request.data(), request.size(), 0,
                             reinterpret_cast<sockaddr*>(&server), length) < 0) {
        return fail("not authenticated", std::string("sendto: ") + std::strerror(errno));
    }
    std::uint8_t reply[2048];
    if (!wait(udp.fd, POLLIN, deadline)) {
        return fail("not authenticated", "no reply");
    }
    const ssize_t received = recv(udp.fd, reply, sizeof reply, 0);
    if (received < 0) {
        return fail("not authenticated", std::string("recv: ") + std::strerror(errno));
    }
    const nts::NtsReplyCheck check =
        nts::checkNtsReply(reply, static_cast<std::size_t>(received), id, serverToClient);
    if (!check.authentic) {
        return fail("not authenticated", check.problem);
    }
    std::printf("authenticated: %zu new cookies\n", check.cookies.size());
    return 0;
}
