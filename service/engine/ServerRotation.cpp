#include "service/engine/ServerRotation.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::size_t longestName = 255;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

ServerEntry entryOf(const std::string& text) {
    ServerEntry entry{text, text, {}};
    if (text.size() > longestName) {
        entry.problem = "longer than 255 characters";
    } else if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            entry.problem = "\"[\" without \"]\"";
        } else if (close + 1 != text.size()) {
            entry.problem = "a port cannot be given here; NTPServerPort sets it";
        } else {
            entry.host = text.substr(1, close - 1);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        // More colons make an IPv6 literal; one is a name or IPv4 address with a port.
        entry.problem = "a port cannot be given here; NTPServerPort sets it";
    }
    return entry;
}

} // namespace

std::vector<ServerEntry> parseServerList(const std::string& value) {
    std::vector<ServerEntry> entries;
    for (std::size_t at = 0; at < value.size();) {
        if (isBlank(value[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < value.size() && !isBlank(value[end])) {
            ++end;
        }
        entries.push_back(entryOf(value.substr(at, end - at)));
        at = end;
    }
    if (entries.empty()) {
        entries.push_back({value, value, {}});
    }
    return entries;
}

ServerRotation::ServerRotation(const std::string& configured)
    : entries_(parseServerList(configured)) {}

std::string ServerRotation::named(std::size_t entry, const std::string& address) const {
    const std::string& host = entries_[entry].host;
    return address.empty() || address == host ? host : host + " (" + address + ")";
}

std::string ServerRotation::failureText(const Failure& failure) const {
    if (failure.address.empty()) {
        return "cannot resolve " + entries_[failure.entry].host;
    }
    const std::string server = named(failure.entry, failure.address);
    return failure.outcome == CandidateOutcome::refused ? server + " refuses this client"
                                                        : "no valid reply from " + server;
}

CandidateOutcome ServerRotation::poll(const Resolve& resolve, const Ask& ask, const Note& note,
                                      std::uint64_t nowMilliseconds,
                                      std::uint32_t refusalMilliseconds) {
    if (!unusableNoted_) {
        unusableNoted_ = true;
        for (const ServerEntry& entry : entries_) {
            if (!entry.problem.empty()) {
                note("unusable server entry \"" + entry.text + "\": " + entry.problem);
            }
        }
    }
    const std::size_t count = entries_.size();
    std::vector<std::optional<std::vector<std::string>>> resolved(count);

    std::optional<Failure> failed;
    std::size_t tried = 0;
    std::size_t lastEntry = entry_;
    std::size_t lastIndex = addressIndex_;
    std::size_t start = 0; // in the first entry's addresses
    CandidateOutcome outcome = CandidateOutcome::noReply;

    // The first entry comes again at the end for the addresses before the starting one.
    for (std::size_t step = 0; step <= count && tried < candidatesPerPoll; ++step) {
        const std::size_t entry = (entry_ + step) % count;
        if (!entries_[entry].problem.empty()) {
            continue;
        }
        if (step == count && start == 0) {
            break;
        }
        const bool unresolvedBefore = resolved[entry].has_value() && resolved[entry]->empty();
        if (!resolved[entry]) {
            resolved[entry] = resolve(entry);
            if (!resolved[entry]) {
                return CandidateOutcome::stopped;
            }
        }
        const std::vector<std::string>& addresses = *resolved[entry];
        if (addresses.empty()) {
            if (!unresolvedBefore) {
                if (failed) {
                    note(failureText(*failed) + ", trying " + entries_[entry].host);
                }
                failed = Failure{entry, {}, CandidateOutcome::noReply};
                lastEntry = entry;
                lastIndex = 0;
                ++tried;
            }
            continue;
        }
        std::size_t first = 0;
        std::size_t end = addresses.size();
        if (step == 0) {
            const auto answered = std::find(addresses.begin(), addresses.end(), lastAnswered_);
            start = !lastAnswered_.empty() && answered != addresses.end()
                        ? static_cast<std::size_t>(answered - addresses.begin())
                        : std::min(addressIndex_, addresses.size());
            first = start;
        } else if (step == count) {
            end = std::min(start, addresses.size());
        }
        for (std::size_t index = first; index < end && tried < candidatesPerPoll; ++index) {
            const std::string& address = addresses[index];
            const auto refused = refusedUntil_.find(address);
            if (refused != refusedUntil_.end()) {
                if (nowMilliseconds < refused->second) {
                    continue;
                }
                refusedUntil_.erase(refused);
            }
            if (failed) {
                note(failureText(*failed) + ", trying " + named(entry, address));
            }
            outcome = ask(entry, index);
            ++tried;
            lastEntry = entry;
            lastIndex = index;
            switch (outcome) {
            case CandidateOutcome::answered:
            case CandidateOutcome::slowDown:
                entry_ = entry;
                lastAnswered_ = address;
                addressIndex_ = index;
                return outcome;
            case CandidateOutcome::stopped:
                return outcome;
            case CandidateOutcome::refused:
                refusedUntil_[address] = nowMilliseconds + refusalMilliseconds;
                break;
            case CandidateOutcome::noReply:
                break;
            }
            failed = Failure{entry, address, outcome};
        }
    }
    // The next poll starts after the last candidate tried.
    entry_ = lastEntry;
    addressIndex_ = lastIndex + 1;
    lastAnswered_.clear();
    return outcome;
}

std::string ServerRotation::leaveOutLastAnswered(std::uint64_t nowMilliseconds,
                                                 std::uint32_t refusalMilliseconds) {
    const std::string address = lastAnswered_;
    refusedUntil_[address] = nowMilliseconds + refusalMilliseconds;
    lastAnswered_.clear();
    ++addressIndex_;
    return named(entry_, address) + " refuses this client; the next poll asks another server";
}
