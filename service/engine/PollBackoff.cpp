#include "service/engine/PollBackoff.h"

#include <algorithm>

namespace {

// A finite wait: 0xFFFFFFFF would be INFINITE to the waiting call.
constexpr std::uint64_t kLongestFiniteWait = 0xFFFFFFFEu;

} // namespace

PollBackoff::PollBackoff(std::uint32_t intervalMilliseconds)
    : interval_(intervalMilliseconds),
      longest_(static_cast<std::uint32_t>(std::min(
          kLongestFiniteWait, std::max<std::uint64_t>(minimumBackoffMilliseconds,
                                                      std::uint64_t{intervalMilliseconds} * 64)))),
      wait_(intervalMilliseconds) {}

std::string PollBackoff::onKiss(const std::string& code) {
    if (code == "RATE") {
        const std::uint64_t doubled = std::uint64_t{wait_} * 2;
        const auto next = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            longest_, std::max<std::uint64_t>(doubled, minimumBackoffMilliseconds)));
        if (next == wait_) {
            return {};
        }
        wait_ = next;
        return "kiss-o'-death RATE: polls slowed to every " + std::to_string(wait_) + " ms";
    }
    if (code == "DENY" || code == "RSTR") {
        wait_ = longest_;
        return "kiss-o'-death " + code + ": server refuses this client, next poll in " +
               std::to_string(wait_) + " ms";
    }
    return {};
}

std::string PollBackoff::onNormalReply() {
    if (wait_ == interval_) {
        return {};
    }
    wait_ = interval_;
    return "polls back to every " + std::to_string(wait_) + " ms";
}
