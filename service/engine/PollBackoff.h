// The wait between polls, lengthened when the server sends a kiss-o'-death. Portable.
#pragma once

#include <cstdint>
#include <string>

class PollBackoff {
public:
    // "RATE" waits never less than this.
    static constexpr std::uint32_t minimumBackoffMilliseconds = 15000;

    explicit PollBackoff(std::uint32_t intervalMilliseconds = 0);

    std::uint32_t waitMilliseconds() const { return wait_; }
    // The longest wait: 64 times the configured interval, at least 15 s.
    std::uint32_t longestMilliseconds() const { return longest_; }

    // "RATE" doubles the wait (at least 15 s, at most the longest); "DENY" and "RSTR" wait the
    // longest; other codes change nothing. Returns the line to log: a change of the wait, or a
    // refusal; empty when there is nothing to say.
    std::string onKiss(const std::string& code);
    // A reply that the clock could be set from: back to the configured interval. Returns the
    // line to log when the wait changes.
    std::string onNormalReply();

private:
    std::uint32_t interval_;
    std::uint32_t longest_;
    std::uint32_t wait_;
};
