// The NTS side of the service's polls: the key exchange with a candidate over TCP (port 4460 of
// its address, the certificate checked for its name against the machine's trusted roots and
// NTSTrustedCertificates), and the associations it gave, kept from poll to poll until their
// cookies run out, the server answers with an NTS NAK, or the settings change.
#pragma once

#include "service/engine/win/ServerAddress.h"
#include "service/nts/NtsAssociation.h"
#include "service/nts/NtsKeClient.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class NtsSessions {
public:
    // A key exchange must be done within this, connection included.
    static constexpr std::uint32_t keyExchangeMilliseconds = 10000;

    using Log = std::function<void(const std::string& line)>;
    // True once the service stops: waits end at once.
    using Stopped = std::function<bool()>;

    // Forgets every association; from now on the further trusted certificates are those of
    // that file (none: the machine's roots alone).
    void configure(const std::optional<std::string>& trustedFile);
    // The association for asking the server named `name` at this address: the one kept, or one
    // from a new key exchange (logged, as is its failure). None when the exchange failed or
    // the service stops.
    nts::Association* associationFor(const std::string& name, const ServerAddress& address,
                                     const Stopped& stopped, const Log& log);
    // After an NTS NAK or a change of the server the exchange named: the next ask exchanges
    // keys again.
    void forget(const std::string& name, const ServerAddress& address);
    // The clock was corrected: from now on certificates' times are checked again, where the
    // clock read earlier than the program's build.
    void clockCorrected() { corrected_ = true; }

    // For tests: the roots instead of the machine's, and the time to compare with the
    // program's build (seconds since 1970).
    void setRoots(std::vector<nts::Bytes> roots) { roots_ = std::move(roots); }
    void setClock(std::function<std::int64_t()> now) { now_ = std::move(now); }

private:
    // Whether the certificates' times are checked now.
    bool checkTimes(const Log& log);

    std::map<std::string, std::unique_ptr<nts::Association>> kept_;
    // Made at the first exchange after a change of the settings or of the trusted file; none
    // while it cannot be.
    std::unique_ptr<nts::KeContext> context_;
    // The trusted file's size and last write when the context was made; none: unreadable.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> fileStamp_;
    std::optional<std::vector<nts::Bytes>> roots_;
    std::string trustedFile_;
    std::function<std::int64_t()> now_;
    bool corrected_ = false;
    bool timesSkippedNoted_ = false;
};

// The exchange itself over a TCP connection to the address; the problem says why it failed.
nts::KeResult exchangeNtsKeys(const ServerAddress& address, const std::string& name,
                              nts::KeContext& context, bool checkTimes, std::uint32_t milliseconds,
                              const NtsSessions::Stopped& stopped);

// The certificates of the machine's ROOT store, DER-encoded.
std::vector<nts::Bytes> machineTrustedRoots();

// When the running program was linked, in seconds since 1970, from its own header.
std::int64_t programBuildTime();
