#include "service/nts/NtsKeClient.h"
#include "service/errors/ErrorText.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <climits>
#include <memory>
#include <system_error>

namespace nts {
namespace {

constexpr unsigned char alpn[] = {7, 'n', 't', 's', 'k', 'e', '/', '1'};
constexpr char exporterLabel[] = "EXPORTER-network-time-security";

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct BioMethodFree {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct InfosFree {
    void operator()(STACK_OF(X509_INFO) * infos) const {
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct OctetsFree {
    void operator()(ASN1_OCTET_STRING* octets) const { ASN1_OCTET_STRING_free(octets); }
};

KeTransport* transportOf(BIO* bio) {
    return static_cast<KeTransport*>(BIO_get_data(bio));
}

int transportWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    if (size <= 0) {
        return 0;
    }
    return transportOf(bio)->send(reinterpret_cast<const std::uint8_t*>(data),
                                  static_cast<std::size_t>(size))
               ? size
               : -1;
}

int transportRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    if (size <= 0) {
        return 0;
    }
    const long received = transportOf(bio)->receive(reinterpret_cast<std::uint8_t*>(data),
                                                    static_cast<std::size_t>(size));
    return received < 0 ? -1 : static_cast<int>(received);
}

long transportControl(BIO*, int command, long, void*) {
    // TLS flushes after each flight; the transport sends at once.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int transportCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// The library's queued errors as one text, and the queue emptied.
std::string libraryErrors() {
    std::string text;
    while (const unsigned long error = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(error, line, sizeof line);
        if (!text.empty()) {
            text += "; ";
        }
        text += line;
    }
    return text.empty() ? "no reason given" : text;
}

// Why a file of certificates could not be read: the system's reason where it could not be
// opened, else the library's first, and the queue emptied.
std::string fileProblem() {
    const unsigned long first = ERR_peek_error();
    std::string text;
    if (first != 0 && ERR_SYSTEM_ERROR(first)) {
#ifdef _WIN32
        // The library keeps the system's own code there (GetLastError), not an errno.
        char reason[256];
        text.assign(reason, formatErrorText(ERR_GET_REASON(first), reason, sizeof reason));
#else
        text = std::generic_category().message(ERR_GET_REASON(first));
#endif
    } else {
        const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
        text = std::string("not a file of PEM certificates (") +
               (reason ? reason : "no reason given") + ")";
    }
    ERR_clear_error();
    return text;
}

KeResult failure(std::string problem) {
    ERR_clear_error();
    KeResult result;
    result.problem = std::move(problem);
    return result;
}

// The trusted roots.
void trustRoots(X509_STORE* store, const std::vector<Bytes>& roots) {
    for (const Bytes& der : roots) {
        const unsigned char* cursor = der.data();
        const std::unique_ptr<X509, X509Free> root(
            d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        // A root that the library cannot read is one fewer to trust, not a failure: the
        // machine's store holds many that no NTS server chains to.
        if (root) {
            X509_STORE_add_cert(store, root.get());
        }
    }
    ERR_clear_error();
}

std::string trustFile(X509_STORE* store, const std::string& extraFile) {
    if (!extraFile.empty() && X509_STORE_load_file(store, extraFile.c_str()) != 1) {
        return "cannot read the trusted certificates in " + extraFile + ": " + fileProblem();
    }
    return {};
}

// The certificates of PEM text, as X509_STORE_load_file takes them from a file.
std::string trustPem(X509_STORE* store, const std::string& pem, const std::string& source) {
    if (source.empty()) {
        return {};
    }
    const std::string cannot = "cannot read the trusted certificates in " + source + ": ";
    if (pem.size() > INT_MAX) {
        return cannot + "too large";
    }
    const std::unique_ptr<BIO, BioFree> in(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    // An empty pass phrase, as the library's own file loading gives: an encrypted block fails
    // instead of asking on a console.
    const std::unique_ptr<STACK_OF(X509_INFO), InfosFree> infos(
        in ? PEM_X509_INFO_read_bio(in.get(), nullptr, nullptr, const_cast<char*>("")) : nullptr);
    if (!infos) {
        return cannot + fileProblem();
    }
    int taken = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
        taken += info->x509 && X509_STORE_add_cert(store, info->x509) == 1;
        taken += info->crl && X509_STORE_add_crl(store, info->crl) == 1;
    }
    ERR_clear_error();
    return taken > 0 ? std::string() : cannot + "not a file of PEM certificates (no certificate)";
}

// The name and the times to check.
std::string configure(SSL* ssl, const std::string& given, bool checkTimes) {
    // A fully qualified name's final dot is no part of the name a certificate carries.
    const std::string name =
        given.size() > 1 && given.back() == '.' ? given.substr(0, given.size() - 1) : given;
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    if (!checkTimes) {
        X509_VERIFY_PARAM_set_flags(check, X509_V_FLAG_NO_CHECK_TIME);
    }
    const std::unique_ptr<ASN1_OCTET_STRING, OctetsFree> address(a2i_IPADDRESS(name.c_str()));
    ERR_clear_error();
    if (address) {
        if (X509_VERIFY_PARAM_set1_ip(check, address->data, static_cast<size_t>(address->length)) !=
            1) {
            return "cannot check the address " + name + ": " + libraryErrors();
        }
    } else if (SSL_set1_host(ssl, name.c_str()) != 1 ||
               SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
        return "cannot check the name " + name + ": " + libraryErrors();
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    return {};
}

bool exportKey(SSL* ssl, AeadKey& key, std::uint8_t direction) {
    // The next protocol (NTPv4), the AEAD and the direction: 0 client to server, 1 back.
    const unsigned char context[] = {0, ntpv4Protocol, 0, aesSivCmac256, direction};
    return SSL_export_keying_material(ssl, key.data(), key.size(), exporterLabel,
                                      sizeof exporterLabel - 1, context, sizeof context, 1) == 1;
}

} // namespace

KeContext::~KeContext() {
    SSL_CTX_free(context_);
}

std::unique_ptr<KeContext>
KeContext::makeWith(const std::vector<Bytes>& roots, std::string& problem,
                    const std::function<std::string(x509_store_st* store)>& further) {
    ERR_clear_error();
    std::unique_ptr<KeContext> made(new KeContext(SSL_CTX_new(TLS_client_method())));
    SSL_CTX* context = made->context_;
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_alpn_protos(context, alpn, sizeof alpn) != 0) {
        problem = "TLS: " + libraryErrors();
        return nullptr;
    }
#if defined(__i386__)
    // The 32-bit library is built without assembly: its AES-GCM works through tables whose
    // timing can leak; ChaCha20-Poly1305 has none, so the server is asked for it first.
    if (SSL_CTX_set_ciphersuites(context, "TLS_CHACHA20_POLY1305_SHA256:"
                                          "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384") != 1) {
        problem = "TLS: " + libraryErrors();
        return nullptr;
    }
#endif
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    trustRoots(store, roots);
    problem = further(store);
    if (!problem.empty()) {
        ERR_clear_error();
        return nullptr;
    }
    return made;
}

std::unique_ptr<KeContext> KeContext::make(const std::vector<Bytes>& roots,
                                           const std::string& extraFile, std::string& problem) {
    return makeWith(roots, problem,
                    [&extraFile](X509_STORE* store) { return trustFile(store, extraFile); });
}

std::unique_ptr<KeContext> KeContext::makeFromPem(const std::vector<Bytes>& roots,
                                                  const std::string& pem, const std::string& source,
                                                  std::string& problem) {
    return makeWith(roots, problem,
                    [&pem, &source](X509_STORE* store) { return trustPem(store, pem, source); });
}

KeResult runKeyExchange(KeTransport& transport, const std::string& name, const KeTrust& trust) {
    std::string problem;
    const std::unique_ptr<KeContext> context =
        KeContext::make(trust.roots, trust.extraFile, problem);
    if (!context) {
        return failure(std::move(problem));
    }
    return runKeyExchange(transport, name, *context, trust.checkTimes);
}

KeResult runKeyExchange(KeTransport& transport, const std::string& name, KeContext& context,
                        bool checkTimes) {
    ERR_clear_error();
    // One method for the process: the library has few type indices to give, and the method
    // must outlive every connection that holds a BIO made from it.
    static const std::unique_ptr<BIO_METHOD, BioMethodFree> method = [] {
        std::unique_ptr<BIO_METHOD, BioMethodFree> made(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "NTS key exchange"));
        if (made && (BIO_meth_set_write(made.get(), transportWrite) != 1 ||
                     BIO_meth_set_read(made.get(), transportRead) != 1 ||
                     BIO_meth_set_ctrl(made.get(), transportControl) != 1 ||
                     BIO_meth_set_create(made.get(), transportCreate) != 1)) {
            made.reset();
        }
        return made;
    }();
    if (!method) {
        return failure("TLS: " + libraryErrors());
    }
    const std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.context_));
    if (!ssl) {
        return failure("TLS: " + libraryErrors());
    }
    if (std::string problem = configure(ssl.get(), name, checkTimes); !problem.empty()) {
        return failure(std::move(problem));
    }
    BIO* bio = BIO_new(method.get());
    if (!bio) {
        return failure("TLS: " + libraryErrors());
    }
    BIO_set_data(bio, &transport);
    SSL_set_bio(ssl.get(), bio, bio); // the connection owns it from here

    if (SSL_connect(ssl.get()) != 1) {
        const long verdict = SSL_get_verify_result(ssl.get());
        if (verdict != X509_V_OK) {
            return failure(std::string("the server's certificate is not trusted: ") +
                           X509_verify_cert_error_string(verdict));
        }
        const std::string lower = transport.problem();
        return failure(lower.empty() ? "TLS: " + libraryErrors() : lower);
    }
    const unsigned char* agreed = nullptr;
    unsigned int agreedSize = 0;
    SSL_get0_alpn_selected(ssl.get(), &agreed, &agreedSize);
    if (agreedSize != sizeof alpn - 1 ||
        std::string(reinterpret_cast<const char*>(agreed), agreedSize) != "ntske/1") {
        return failure("the server does not speak the NTS key exchange (ALPN ntske/1)");
    }

    const Bytes request = buildKeRequest();
    if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) !=
        static_cast<int>(request.size())) {
        const std::string lower = transport.problem();
        return failure(lower.empty() ? "TLS: " + libraryErrors() : lower);
    }
    KeResponseReader reader;
    std::uint8_t buffer[4096];
    while (reader.state() == KeResponseReader::State::incomplete) {
        const int received = SSL_read(ssl.get(), buffer, sizeof buffer);
        if (received <= 0) {
            const std::string lower = transport.problem();
            // With a close of TLS or only of the connection.
            if (SSL_get_error(ssl.get(), received) == SSL_ERROR_ZERO_RETURN ||
                (lower.empty() &&
                 ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
                return failure("the server ended the key exchange before its response's end");
            }
            return failure(lower.empty() ? "TLS: " + libraryErrors() : lower);
        }
        reader.feed(buffer, static_cast<std::size_t>(received));
    }
    if (reader.state() == KeResponseReader::State::failed) {
        return failure(reader.problem());
    }
    KeResult result;
    if (!exportKey(ssl.get(), result.clientToServer, 0) ||
        !exportKey(ssl.get(), result.serverToClient, 1)) {
        return failure("TLS: cannot export the keys: " + libraryErrors());
    }
    // The server closes after its response; a close of ours is courtesy, not needed.
    SSL_shutdown(ssl.get());
    ERR_clear_error();
    result.ok = true;
    result.response = reader.response();
    return result;
}

std::string tlsLibraryVersion() {
    return OpenSSL_version(OPENSSL_VERSION);
}

} // namespace nts
