// The servers of NTPServerName (several names or addresses, separated by blanks, in the order
// of preference) and which of their addresses a poll asks. A poll starts with the address that
// answered last and moves on at once to the next candidate when one gives no valid reply, for
// at most four candidates; the next poll starts after the last one tried. Portable: the
// resolver and the exchange are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ServerEntry {
    std::string text;    // as configured
    std::string host;    // what the resolver is given: brackets of an IPv6 literal removed
    std::string problem; // why the entry cannot be used; empty when it can
};

// The blank-separated entries of the value. A value without any entry is one entry as it
// stands, so that it fails to resolve exactly as a single name would.
std::vector<ServerEntry> parseServerList(const std::string& value);

// What asking one candidate gave.
enum class CandidateOutcome {
    answered, // a valid reply: the poll is done
    noReply,  // silence, a rejected reply or a network error: go on with the next
    refused,  // DENY or RSTR: left out for the refusal time, go on with the next
    slowDown, // RATE from the server in use: the poll ends here, the server stays the one
    stopped,  // the service stops
};

class ServerRotation {
public:
    static constexpr std::size_t candidatesPerPoll = 4;

    explicit ServerRotation(const std::string& configured = {});

    // The addresses of an entry, as numeric texts in the resolver's order; empty when the
    // name does not resolve; none when the service stops instead of looking it up.
    using Resolve = std::function<std::optional<std::vector<std::string>>(std::size_t entry)>;
    using Ask = std::function<CandidateOutcome(std::size_t entry, std::size_t address)>;
    using Note = std::function<void(const std::string& line)>;

    // One poll: the outcome of the last candidate asked (noReply when none could be asked).
    // Unusable entries are noted once for the life of the object; a move to another candidate
    // is noted with the one that failed, why, and the next.
    CandidateOutcome poll(const Resolve& resolve, const Ask& ask, const Note& note,
                          std::uint64_t nowMilliseconds, std::uint32_t refusalMilliseconds);

    // The candidate that answered the last poll refused to be asked again: it is left out for
    // the refusal time and the next poll starts after it. Returns the line to log.
    std::string leaveOutLastAnswered(std::uint64_t nowMilliseconds,
                                     std::uint32_t refusalMilliseconds);

    const std::vector<ServerEntry>& entries() const { return entries_; }

private:
    struct Failure {
        std::size_t entry;
        std::string address; // empty: the name did not resolve
        CandidateOutcome outcome;
    };
    std::string named(std::size_t entry, const std::string& address) const;
    std::string failureText(const Failure& failure) const;

    std::vector<ServerEntry> entries_;
    bool unusableNoted_ = false;
    std::size_t entry_ = 0;        // where the next poll starts
    std::string lastAnswered_;     // the address of entry_ that answered last, if any
    std::size_t addressIndex_ = 0; // else the index in entry_'s addresses to start at
    std::map<std::string, std::uint64_t> refusedUntil_;
};
