// The key exchange's TLS client against an OpenSSL server in another thread, through an
// in-memory transport: the keys are the server's own exporter output for the RFC's label and
// contexts, and what is no NTS key exchange (no ALPN, TLS 1.2, an untrusted certificate, an
// error record, silence) gives no keys and says why.
#include "service/nts/NtsKeClient.h"
#include "tests/support/TestCertificate.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using nts::Bytes;

// One direction of the connection.
class Pipe {
public:
    explicit Pipe(int waitMilliseconds) : wait_(waitMilliseconds) {}
    void put(const std::uint8_t* data, std::size_t size) {
        const std::lock_guard<std::mutex> guard(lock_);
        bytes_.insert(bytes_.end(), data, data + size);
        ready_.notify_all();
    }
    void close() {
        const std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        ready_.notify_all();
    }
    // Bytes, 0 once closed, -1 after the wait.
    long take(std::uint8_t* data, std::size_t size) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!ready_.wait_for(guard, std::chrono::milliseconds(wait_),
                             [&] { return !bytes_.empty() || closed_; })) {
            return -1;
        }
        const std::size_t count = std::min(size, bytes_.size());
        std::copy_n(bytes_.begin(), count, data);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(count));
        return static_cast<long>(count);
    }

private:
    const int wait_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::uint8_t> bytes_;
    bool closed_ = false;
};

class End : public nts::KeTransport {
public:
    End(Pipe& in, Pipe& out) : in_(in), out_(out) {}
    bool send(const std::uint8_t* data, std::size_t size) override {
        out_.put(data, size);
        return true;
    }
    long receive(std::uint8_t* data, std::size_t size) override {
        const long received = in_.take(data, size);
        if (received < 0) {
            problem_ = "timed out receiving";
        }
        return received;
    }
    std::string problem() const override { return problem_; }

private:
    Pipe& in_;
    Pipe& out_;
    std::string problem_;
};

int endWrite(BIO* bio, const char* data, int size) {
    static_cast<End*>(BIO_get_data(bio))
        ->send(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    return size;
}
int endRead(BIO* bio, char* data, int size) {
    const long received =
        static_cast<End*>(BIO_get_data(bio))
            ->receive(reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(size));
    return static_cast<int>(received);
}
long endControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

using Certificate = TestCertificate;

struct Server {
    bool alpn = true;
    int maxVersion = TLS1_3_VERSION;
    Bytes response;
    // After the request: the response, a close without one, or silence until the client ends.
    enum class After { answer, close, hold } after = After::answer;
    nts::AeadKey clientToServer{}, serverToClient{};

    static int selectNtske(SSL*, const unsigned char** out, unsigned char* outSize,
                           const unsigned char* in, unsigned int inSize, void*) {
        return SSL_select_next_proto(const_cast<unsigned char**>(out), outSize,
                                     reinterpret_cast<const unsigned char*>("\7ntske/1"), 8, in,
                                     inSize) == OPENSSL_NPN_NEGOTIATED
                   ? SSL_TLSEXT_ERR_OK
                   : SSL_TLSEXT_ERR_ALERT_FATAL;
    }

    void run(End& end, const Certificate& certificate) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_max_proto_version(context, maxVersion);
        SSL_CTX_use_certificate(context, certificate.x509);
        SSL_CTX_use_PrivateKey(context, certificate.key);
        if (alpn) {
            SSL_CTX_set_alpn_select_cb(context, selectNtske, nullptr);
        }
        BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "end");
        BIO_meth_set_write(method, endWrite);
        BIO_meth_set_read(method, endRead);
        BIO_meth_set_ctrl(method, endControl);
        BIO* bio = BIO_new(method);
        BIO_set_data(bio, &end);
        BIO_set_init(bio, 1);
        SSL* ssl = SSL_new(context);
        SSL_set_bio(ssl, bio, bio);
        if (SSL_accept(ssl) == 1) {
            const Bytes request = nts::buildKeRequest();
            Bytes got(request.size());
            if (SSL_read(ssl, got.data(), static_cast<int>(got.size())) ==
                    static_cast<int>(got.size()) &&
                got == request && after == After::answer) {
                SSL_write(ssl, response.data(), static_cast<int>(response.size()));
                const char label[] = "EXPORTER-network-time-security";
                const unsigned char c2s[] = {0, 0, 0, 15, 0}, s2c[] = {0, 0, 0, 15, 1};
                SSL_export_keying_material(ssl, clientToServer.data(), 32, label, sizeof label - 1,
                                           c2s, sizeof c2s, 1);
                SSL_export_keying_material(ssl, serverToClient.data(), 32, label, sizeof label - 1,
                                           s2c, sizeof s2c, 1);
            } else if (after == After::close) {
                SSL_shutdown(ssl);
            } else {
                unsigned char byte = 0;
                SSL_read(ssl, &byte, 1); // until the client gives up and closes
            }
        }
        SSL_free(ssl);
        BIO_meth_free(method);
        SSL_CTX_free(context);
    }
};

Bytes validResponse() {
    Bytes out = {0x80, 1, 0, 2, 0, 0, 0x80, 4, 0, 2, 0, 15, 0x80, 7, 0, 2, 0x10, 0x1B};
    for (int i = 0; i < 8; ++i) {
        const Bytes cookie = {0, 5, 0, 4, 1, 2, 3, static_cast<std::uint8_t>(i)};
        out.insert(out.end(), cookie.begin(), cookie.end());
    }
    out.insert(out.end(), {0x80, 0, 0, 0});
    return out;
}

nts::KeResult exchange(Server& server, const Certificate& certificate, nts::KeTrust trust,
                       const std::string& name = "ntp.test") {
    // The client gives up on silence well before the server does.
    Pipe toServer(5000), toClient(300);
    End client(toClient, toServer), serverEnd(toServer, toClient);
    std::thread thread([&] {
        server.run(serverEnd, certificate);
        toClient.close();
    });
    const nts::KeResult result = nts::runKeyExchange(client, name, trust);
    toServer.close();
    thread.join();
    return result;
}

} // namespace

TEST(NtsKeClient, TakesTheServersExportedKeysAndItsRecords) {
    const Certificate certificate;
    Server server;
    server.response = validResponse();
    const nts::KeResult result = exchange(server, certificate, {{certificate.der()}, {}, true});
    ASSERT_TRUE(result.ok) << result.problem;
    EXPECT_EQ(result.clientToServer, server.clientToServer);
    EXPECT_EQ(result.serverToClient, server.serverToClient);
    EXPECT_NE(result.clientToServer, result.serverToClient);
    EXPECT_EQ(result.response.cookies.size(), 8u);
    EXPECT_EQ(result.response.port, 0x101B);
    // A fully qualified name, with its final dot, is the same name.
    EXPECT_TRUE(exchange(server, certificate, {{certificate.der()}, {}, true}, "ntp.test.").ok);
}

TEST(NtsKeClient, WhatIsNoKeyExchangeGivesNoKeysAndSaysWhy) {
    const Certificate certificate;
    const nts::KeTrust trusted{{certificate.der()}, {}, true};
    const auto problem = [&](Server server, const nts::KeTrust& trust) {
        const nts::KeResult result = exchange(server, certificate, trust);
        EXPECT_FALSE(result.ok);
        return result.problem;
    };
    Server plain;
    plain.response = validResponse();
    plain.alpn = false;
    EXPECT_EQ(problem(plain, trusted),
              "the server does not speak the NTS key exchange (ALPN ntske/1)");
    Server old = plain;
    old.alpn = true;
    old.maxVersion = TLS1_2_VERSION;
    EXPECT_NE(problem(old, trusted).find("TLS: "), std::string::npos);
    Server good = plain;
    good.alpn = true;
    EXPECT_EQ(problem(good, {}),
              "the server's certificate is not trusted: self-signed certificate");
    Server refusing = old;
    refusing.maxVersion = TLS1_3_VERSION;
    refusing.response = {0x80, 2, 0, 2, 0, 1, 0x80, 0, 0, 0};
    EXPECT_EQ(problem(refusing, trusted),
              "the key exchange's server reports error 1 (bad request)");
    Server closing = refusing;
    closing.after = Server::After::close;
    EXPECT_EQ(problem(closing, trusted),
              "the server ended the key exchange before its response's end");
    Server holding = refusing;
    holding.after = Server::After::hold;
    EXPECT_EQ(problem(holding, trusted), "timed out receiving");
}
