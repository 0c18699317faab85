#include "service/engine/win/NtsSessions.h"

#include "common/PendraStatus.h"
#include "service/engine/win/WinsockGuards.h"
#include "service/errors/BaseException.h"
#include "service/errors/ErrorText.h"
#include "win32/Guards.h"

#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

// Waits are cut into slices this long, so that a stop is seen within one.
constexpr DWORD waitSliceMilliseconds = 250;

std::string socketProblem(const char* call, int error) {
    return LastErrorException(call, static_cast<std::uint32_t>(error), "%a: %r").what();
}

// The bytes of a key exchange over a connected non-blocking socket, within the deadline.
class WinsockTransport : public nts::KeTransport {
public:
    WinsockTransport(SOCKET socket, DWORD started, DWORD limit, const NtsSessions::Stopped& stopped)
        : socket_(socket), started_(started), limit_(limit), stopped_(stopped) {}

    // Until the socket is ready for writing (or, with a connection under way, connected or
    // refused).
    bool await(bool writing, bool connecting = false) {
        for (;;) {
            if (stopped_()) {
                problem_ = "the service stops";
                return false;
            }
            const DWORD elapsed = GetTickCount() - started_; // unsigned: right across the wrap
            if (elapsed >= limit_) {
                problem_ = "no answer within " + std::to_string(limit_ / 1000) + " s";
                return false;
            }
            const DWORD slice = std::min(limit_ - elapsed, waitSliceMilliseconds);
            fd_set ready;
            fd_set failed;
            FD_ZERO(&ready);
            FD_ZERO(&failed);
            FD_SET(socket_, &ready);
            FD_SET(socket_, &failed);
            timeval timeout{0, static_cast<long>(slice) * 1000};
            // Windows tells a refused connection only among the exceptions; once connected, an
            // exception is urgent data, which would end every wait at once.
            const int count = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr,
                                     connecting ? &failed : nullptr, &timeout);
            if (count == SOCKET_ERROR) {
                problem_ = socketProblem("select", WSAGetLastError());
                return false;
            }
            if (count > 0) {
                return true;
            }
        }
    }

    bool send(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            if (!await(true)) {
                return false;
            }
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 65536));
            const int sent = ::send(socket_, reinterpret_cast<const char*>(data), chunk, 0);
            if (sent == SOCKET_ERROR) {
                const int error = WSAGetLastError();
                if (error == WSAEWOULDBLOCK) {
                    continue;
                }
                problem_ = socketProblem("send", error);
                return false;
            }
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    long receive(std::uint8_t* data, std::size_t size) override {
        for (;;) {
            if (!await(false)) {
                return -1;
            }
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 65536));
            const int received = recv(socket_, reinterpret_cast<char*>(data), chunk, 0);
            if (received != SOCKET_ERROR) {
                return received;
            }
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                problem_ = socketProblem("recv", error);
                return -1;
            }
        }
    }

    std::string problem() const override { return problem_; }
    void setProblem(std::string problem) { problem_ = std::move(problem); }

private:
    SOCKET socket_;
    DWORD started_;
    DWORD limit_;
    const NtsSessions::Stopped& stopped_;
    std::string problem_;
};

struct CertStoreTraits {
    using Handle = HCERTSTORE;
    static HCERTSTORE empty() { return nullptr; }
    static bool isValid(HCERTSTORE handle) { return handle != nullptr; }
    static void close(HCERTSTORE handle) { CertCloseStore(handle, 0); }
};

// Larger is no file of CA certificates.
constexpr DWORD mostTrustedFileBytes = 16 * 1024 * 1024;

std::string key(const std::string& name, const ServerAddress& address) {
    return name + ' ' + address.text(true);
}

} // namespace

nts::KeResult exchangeNtsKeys(const ServerAddress& address, const std::string& name,
                              nts::KeContext& context, bool checkTimes, std::uint32_t milliseconds,
                              const NtsSessions::Stopped& stopped) {
    nts::KeResult failed;
    const DWORD started = GetTickCount();
    UdpSocket tcp(socket(address.family(), SOCK_STREAM, 0));
    if (!tcp) {
        failed.problem = socketProblem("socket", WSAGetLastError());
        return failed;
    }
    // The client's small last flight would otherwise wait for the server's delayed
    // acknowledgement, some 40 ms of every exchange.
    const BOOL noDelay = TRUE;
    setsockopt(tcp.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    u_long nonBlocking = 1;
    if (ioctlsocket(tcp.get(), FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        failed.problem = socketProblem("ioctlsocket", WSAGetLastError());
        return failed;
    }
    WinsockTransport transport(tcp.get(), started, milliseconds, stopped);
    if (connect(tcp.get(), address.get(), address.length) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            failed.problem = socketProblem("connect", error);
            return failed;
        }
        if (!transport.await(true, true)) {
            failed.problem = transport.problem();
            return failed;
        }
        // A refused connection shows as an exception of the socket: its error tells.
        int connectError = 0;
        int size = sizeof connectError;
        if (getsockopt(tcp.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&connectError),
                       &size) == SOCKET_ERROR) {
            connectError = WSAGetLastError();
        }
        if (connectError != 0) {
            failed.problem = socketProblem("connect", connectError);
            return failed;
        }
    }
    return nts::runKeyExchange(transport, name, context, checkTimes);
}

std::vector<nts::Bytes> machineTrustedRoots() {
    std::vector<nts::Bytes> roots;
    const ScopedHandle<CertStoreTraits> store(CertOpenSystemStoreA(0, "ROOT"));
    if (!store) {
        return roots;
    }
    PCCERT_CONTEXT certificate = nullptr;
    // Each call frees the context it is given.
    while ((certificate = CertEnumCertificatesInStore(store.get(), certificate)) != nullptr) {
        roots.emplace_back(certificate->pbCertEncoded,
                           certificate->pbCertEncoded + certificate->cbCertEncoded);
    }
    return roots;
}

std::int64_t programBuildTime() {
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return headers->FileHeader.TimeDateStamp;
}

NtsSessions::TrustedFile readTrustedFile(const std::string& path) {
    using Read = NtsSessions::TrustedFile::Read;
    NtsSessions::TrustedFile file;
    if (path.empty()) {
        return file;
    }
    const auto failed = [&file, &path](Read read, const std::string& why) {
        file.read = read;
        file.problem = "cannot read the trusted certificates in " + path + ": " + why;
        return file;
    };
    const auto systemText = [](DWORD error) {
        char text[256];
        return std::string(text, formatErrorText(error, text, sizeof text));
    };
    const FileHandle in(CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in) {
        // Gone is a decision (the trust it gave is withdrawn); locked, denied for the moment or
        // on a share that is away is a passing fault.
        const DWORD error = GetLastError();
        return failed(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                          ? Read::gone
                          : Read::unreadable,
                      systemText(error));
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(in.get(), &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return failed(Read::unreadable, systemText(GetLastError()));
    }
    if (high != 0 || size > mostTrustedFileBytes) {
        return failed(Read::gone, "larger than 16 MiB");
    }
    file.contents.resize(size);
    DWORD got = 0;
    while (got < size) {
        DWORD chunk = 0;
        if (!ReadFile(in.get(), file.contents.data() + got, size - got, &chunk, nullptr)) {
            return failed(Read::unreadable, systemText(GetLastError()));
        }
        if (chunk == 0) {
            break; // cut short while being read: what there is
        }
        got += chunk;
    }
    file.contents.resize(got);
    return file;
}

void NtsSessions::configure(const std::optional<std::string>& trustedFile) {
    kept_.clear();
    context_.reset();
    file_ = {};
    failedContents_.reset();
    pending_.reset();
    unreadableNoted_ = false;
    rootsFailedNoted_ = false;
    if (!rootsFixed_) {
        roots_.reset();
    }
    trustedFile_ = trustedFile.value_or("");
}

void NtsSessions::setRoots(std::vector<nts::Bytes> roots) {
    roots_ = std::move(roots);
    rootsFixed_ = true;
}

bool NtsSessions::checkTimes(const Log& log) {
    // A clock known to be wrong (earlier than this program) must not lock NTS out: the
    // certificates' times are left unchecked until the clock has been set once.
    const std::int64_t now = now_ ? now_() : unixFromFileTime(static_cast<std::uint64_t>([] {
        FILETIME time;
        GetSystemTimeAsFileTime(&time);
        return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    }()));
    if (corrected_ || now >= programBuildTime()) {
        return true;
    }
    if (!timesSkippedNoted_) {
        timesSkippedNoted_ = true;
        log("the clock reads earlier than this program was built: NTS certificates' times "
            "are not checked until the clock has been set");
    }
    return false;
}

void NtsSessions::clockCorrected() {
    corrected_ = true;
    // A certificate taken while its times could not be checked may have expired: its
    // associations end, and the next exchange checks.
    std::erase_if(kept_, [](const auto& entry) { return !entry.second.timesChecked; });
}

void NtsSessions::refreshTrust(const Log& log) {
    const DWORD now = GetTickCount();
    // An empty store is read again at once: it may have been a passing failure, as is an empty
    // read after a full one, which leaves the roots as they were.
    if (!rootsFixed_ &&
        (!roots_ || roots_->empty() || now - rootsRead_ >= rootsMaxAgeMilliseconds)) {
        std::vector<nts::Bytes> roots = machineTrustedRoots();
        rootsRead_ = now;
        if (!roots.empty() || !roots_) {
            // The store's order tells nothing.
            std::sort(roots.begin(), roots.end(), [](const nts::Bytes& a, const nts::Bytes& b) {
                return a.size() != b.size()
                           ? a.size() < b.size()
                           : !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
            });
            roots_ = std::move(roots);
        }
    }
    if (!roots_) {
        roots_.emplace();
    }
    file_ = readTrustedFile(trustedFile_);
    if (!context_) {
        return; // the next exchange makes one from what stands now
    }
    bool fileChanged = false;
    if (file_.read == TrustedFile::Read::unreadable) {
        // Decided on when it can be read again; said once.
        if (!unreadableNoted_) {
            unreadableNoted_ = true;
            log(file_.problem + " (for now): the certificates trusted before stay");
        }
    } else if (file_.read == TrustedFile::Read::read && file_.contents == usedContents_) {
        // As the context in use was made: a change undone (a file caught half written, then
        // whole again) changes nothing.
        unreadableNoted_ = false;
        pending_.reset();
        failedContents_.reset();
    } else {
        unreadableNoted_ = false;
        fileChanged = settled(static_cast<std::uint32_t>(now));
    }
    if (fileChanged && file_.read == TrustedFile::Read::gone) {
        // As at a start without the file: no exchange until it is back.
        context_.reset();
        kept_.clear();
        pending_.reset();
        return;
    }
    // A CA taken out, or put in, counts from now on, for the associations kept too; but only a
    // trust that can be used replaces the one in use, and a change of the roots does not wait
    // for a file that is unsettled or broken.
    if (fileChanged && failedContents_ != file_.contents) {
        std::string problem;
        if (std::unique_ptr<nts::KeContext> made = makeContext(file_.contents, problem)) {
            useContext(std::move(made), file_.contents);
            kept_.clear();
            return;
        }
        failedContents_ = file_.contents;
        log(problem + " (after a change): the certificates trusted before stay");
    }
    if (*roots_ != usedRoots_) {
        std::string problem;
        if (std::unique_ptr<nts::KeContext> made = makeContext(usedContents_, problem)) {
            useContext(std::move(made), usedContents_);
            kept_.clear();
        } else if (!rootsFailedNoted_) {
            rootsFailedNoted_ = true;
            log(problem +
                " (after a change of the machine's roots): the roots trusted before stay");
        }
    }
}

bool NtsSessions::settled(std::uint32_t now) {
    // A changed file is taken once it has read the same for a while: a writer may be half-way
    // through it (cut between two certificates, it still parses), or delete it to put the new
    // one in its place. The asks of one poll come milliseconds apart.
    if (!pending_ || pending_->read != file_.read || pending_->contents != file_.contents) {
        pending_ = Pending{file_.read, file_.contents, now};
        return false;
    }
    return static_cast<std::uint32_t>(now - pending_->since) >= settleMilliseconds_;
}

std::unique_ptr<nts::KeContext> NtsSessions::makeContext(const std::string& contents,
                                                         std::string& problem) const {
    // From the very bytes compared, not the file read again: it may have changed since.
    return nts::KeContext::makeFromPem(*roots_, contents, trustedFile_, problem);
}

void NtsSessions::useContext(std::unique_ptr<nts::KeContext> context, const std::string& contents) {
    if (contents != usedContents_) {
        // The file's change is taken; under a change of the roots alone, one pending or found
        // unusable stays as it is.
        failedContents_.reset();
        pending_.reset();
    }
    context_ = std::move(context);
    usedRoots_ = *roots_;
    usedContents_ = contents;
    rootsFailedNoted_ = false;
}

nts::Association* NtsSessions::associationFor(const std::string& name, const ServerAddress& address,
                                              const Stopped& stopped, const Log& log) {
    refreshTrust(log);
    const std::string id = key(name, address);
    if (const auto found = kept_.find(id); found != kept_.end()) {
        if (found->second.association->cookies() > 0) {
            return found->second.association.get();
        }
        kept_.erase(found);
    }
    nts::KeResult exchange;
    if (!context_) {
        if (file_.read != TrustedFile::Read::read) {
            exchange.problem = file_.problem;
        } else if (std::unique_ptr<nts::KeContext> made =
                       makeContext(file_.contents, exchange.problem)) {
            useContext(std::move(made), file_.contents);
        }
    }
    const bool timesChecked = checkTimes(log);
    if (context_) {
        const ServerAddress keAddress = atPort(address, nts::keDefaultPort);
        exchange = exchange_ ? exchange_(keAddress, name, *context_, timesChecked, stopped)
                             : exchangeNtsKeys(keAddress, name, *context_, timesChecked,
                                               keyExchangeMilliseconds, stopped);
    }
    if (stopped()) {
        return nullptr;
    }
    if (!exchange.ok) {
        log("NTS key exchange with " + name + " (" + address.text() +
            ") failed: " + exchange.problem);
        return nullptr;
    }
    if (kept_.size() >= maxKept) {
        kept_.clear();
    }
    Kept& kept = kept_[id];
    kept = {std::make_unique<nts::Association>(exchange), timesChecked};
    log("NTS key exchange with " + name + ": " + std::to_string(kept.association->cookies()) +
        " cookies, NTP server " +
        (kept.association->server().empty() ? name : kept.association->server()) + " port " +
        std::to_string(kept.association->port()));
    return kept.association.get();
}

void NtsSessions::forget(const std::string& name, const ServerAddress& address) {
    kept_.erase(key(name, address));
}
