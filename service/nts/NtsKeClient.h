// The client side of an NTS key exchange (RFC 8915, section 4): TLS 1.3 with ALPN "ntske/1",
// the server's certificate checked against the roots it is given and its name, the records
// exchanged, and the two keys of the NTP exchange taken from the TLS exporter. Portable: the
// bytes travel through a KeTransport, which the caller connects and which keeps the deadline
// and the service's stop.
#pragma once

#include "service/nts/NtsKeRecords.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct x509_store_st;

namespace nts {

constexpr std::size_t aeadKeySize = 32; // AEAD_AES_SIV_CMAC_256
using AeadKey = std::array<std::uint8_t, aeadKeySize>;

class KeTransport {
public:
    virtual ~KeTransport() = default;
    // Sends every byte; false when the connection, the deadline or a stop ended it.
    virtual bool send(const std::uint8_t* data, std::size_t size) = 0;
    // Some bytes (at most size), 0 when the server closed, -1 when it failed as send does.
    virtual long receive(std::uint8_t* data, std::size_t size) = 0;
    // Why the last call failed, as the log says it.
    virtual std::string problem() const = 0;
};

struct KeTrust {
    std::vector<Bytes> roots; // DER certificates: the machine's trusted roots
    std::string extraFile;    // a PEM file of further trusted CA certificates; empty: none
    // Off only while the clock is known to be wrong: every other check of the chain stays.
    bool checkTimes = true;
};

struct KeResult {
    bool ok = false;
    std::string problem; // why not, as the log says it
    KeResponse response;
    AeadKey clientToServer{};
    AeadKey serverToClient{};
};

// The TLS settings and the trusted roots of key exchanges, made once: reading a machine's
// hundreds of roots costs more than an exchange.
class KeContext {
public:
    // None, with the problem, when the library fails or the file cannot be read.
    static std::unique_ptr<KeContext> make(const std::vector<Bytes>& roots,
                                           const std::string& extraFile, std::string& problem);
    // The same with the further certificates' PEM text as read from the file named source
    // (none without a source), so that what is trusted is exactly what was read.
    static std::unique_ptr<KeContext> makeFromPem(const std::vector<Bytes>& roots,
                                                  const std::string& pem, const std::string& source,
                                                  std::string& problem);
    ~KeContext();
    KeContext(const KeContext&) = delete;
    KeContext& operator=(const KeContext&) = delete;

private:
    explicit KeContext(ssl_ctx_st* context) : context_(context) {}
    // The TLS settings and the roots; further(store) adds the caller's certificates, or says
    // why it cannot.
    static std::unique_ptr<KeContext>
    makeWith(const std::vector<Bytes>& roots, std::string& problem,
             const std::function<std::string(x509_store_st* store)>& further);
    ssl_ctx_st* context_;
    friend KeResult runKeyExchange(KeTransport&, const std::string&, KeContext&, bool);
};

// name: the server's name (or address) as configured, which its certificate must carry.
// checkTimes: off only while the clock is known to be wrong.
KeResult runKeyExchange(KeTransport& transport, const std::string& name, KeContext& context,
                        bool checkTimes);
// The same with a context made for this exchange alone.
KeResult runKeyExchange(KeTransport& transport, const std::string& name, const KeTrust& trust);

// The TLS library and its version, for the program's help.
std::string tlsLibraryVersion();

} // namespace nts
