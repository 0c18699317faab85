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
    // The machine's roots are read again after this long, so that a root put into the store
    // or taken out counts without a restart.
    static constexpr std::uint32_t rootsMaxAgeMilliseconds = 24 * 3600 * 1000;
    // Associations kept at most: a name whose addresses rotate leaves one for each.
    static constexpr std::size_t maxKept = 64;

    using Log = std::function<void(const std::string& line)>;
    // True once the service stops: waits end at once.
    using Stopped = std::function<bool()>;
    // What the further trusted file holds now; no file holds nothing.
    struct TrustedFile {
        // gone: not there, or no file of certificates; unreadable: for the moment.
        enum class Read { read, gone, unreadable } read = Read::read;
        std::string contents;
        std::string problem; // why not read, as the log says it
    };
    using Exchange = std::function<nts::KeResult(const ServerAddress& address,
                                                 const std::string& name, nts::KeContext& context,
                                                 bool checkTimes, const Stopped& stopped)>;

    // Forgets every association and the roots read; from now on the further trusted
    // certificates are those of that file (none: the machine's roots alone).
    void configure(const std::optional<std::string>& trustedFile);
    // The association for asking the server named `name` at this address: the one kept, or one
    // from a new key exchange (logged, as is its failure). None when the exchange failed or
    // the service stops. A change of the trusted file's contents or of the machine's roots
    // ends every association first.
    nts::Association* associationFor(const std::string& name, const ServerAddress& address,
                                     const Stopped& stopped, const Log& log);
    // After an NTS NAK or a change of the server the exchange named: the next ask exchanges
    // keys again.
    void forget(const std::string& name, const ServerAddress& address);
    // The clock was corrected: from now on certificates' times are checked again, where the
    // clock read earlier than the program's build, and the associations made without that
    // check end.
    void clockCorrected();

    // For tests: the roots instead of the machine's, the time to compare with the program's
    // build (seconds since 1970), and the exchange instead of one over TCP.
    void setRoots(std::vector<nts::Bytes> roots);
    void setClock(std::function<std::int64_t()> now) { now_ = std::move(now); }
    void setExchange(Exchange exchange) { exchange_ = std::move(exchange); }
    // How long a changed trusted file must read the same before it is taken.
    void setSettleMilliseconds(std::uint32_t milliseconds) { settleMilliseconds_ = milliseconds; }

private:
    struct Kept {
        std::unique_ptr<nts::Association> association;
        bool timesChecked = true;
    };

    // Whether the certificates' times are checked now.
    bool checkTimes(const Log& log);
    // Reads the trusted file and, when due, the machine's roots; a change that gives a usable
    // trust ends the context and every association, as does a trusted file that is gone.
    void refreshTrust(const Log& log);
    // Whether the file as last read has read the same for the settling time.
    bool settled(std::uint32_t now);
    // A context from the roots and those contents of the file; none, with the problem, where
    // they give no certificates.
    std::unique_ptr<nts::KeContext> makeContext(const std::string& contents,
                                                std::string& problem) const;
    // Takes the context into use, made from the roots and those contents.
    void useContext(std::unique_ptr<nts::KeContext> context, const std::string& contents);

    std::map<std::string, Kept> kept_;
    // Made at the first exchange after a change of the settings or of the trust; none while
    // it cannot be.
    std::unique_ptr<nts::KeContext> context_;
    // The trusted file as last read, and the contents and roots the context in use was made
    // from.
    TrustedFile file_;
    std::string usedContents_;
    std::vector<nts::Bytes> usedRoots_;
    // The contents whose change could not be used, logged once.
    std::optional<std::string> failedContents_;
    // A change of the file, and since when it has read so.
    struct Pending {
        TrustedFile::Read read;
        std::string contents;
        std::uint32_t since;
    };
    std::optional<Pending> pending_;
    std::uint32_t settleMilliseconds_ = 5000;
    bool unreadableNoted_ = false;
    bool rootsFailedNoted_ = false;
    // The machine's roots, sorted; none before the first read.
    std::optional<std::vector<nts::Bytes>> roots_;
    std::uint32_t rootsRead_ = 0;
    bool rootsFixed_ = false;
    std::string trustedFile_;
    std::function<std::int64_t()> now_;
    Exchange exchange_;
    bool corrected_ = false;
    bool timesSkippedNoted_ = false;
};

// The exchange itself over a TCP connection to the address; the problem says why it failed.
nts::KeResult exchangeNtsKeys(const ServerAddress& address, const std::string& name,
                              nts::KeContext& context, bool checkTimes, std::uint32_t milliseconds,
                              const NtsSessions::Stopped& stopped);

// The further trusted file's contents, or why they cannot be had.
NtsSessions::TrustedFile readTrustedFile(const std::string& path);

// The certificates of the machine's ROOT store, DER-encoded.
std::vector<nts::Bytes> machineTrustedRoots();

// When the running program was linked, in seconds since 1970, from its own header.
std::int64_t programBuildTime();
