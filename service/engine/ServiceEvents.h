// What Pendra tells the event log: when it starts and stops, when its settings end it, when it
// stepped the clock by more than a minute, and when no valid reply came for a day (and when one
// comes again). Portable: the Windows layer writes the events, tests record them.
#pragma once

#include "common/PendraStatus.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class EventType { information, warning, error };

// The numbers of the texts in Pendra.exe's message table (PendraMessages.mc); the event log
// shows them as the events' ids.
namespace event_id {
constexpr std::uint16_t started = 1;
constexpr std::uint16_t stopped = 2;
constexpr std::uint16_t configurationError = 3;
constexpr std::uint16_t clockStepped = 4;
constexpr std::uint16_t noReplyForADay = 5;
constexpr std::uint16_t repliesAgain = 6;
constexpr std::uint16_t otherTimeService = 7;
} // namespace event_id

struct ServiceEvent {
    EventType type;
    std::uint16_t id;
    std::vector<std::string> strings; // the texts inserted as %1, %2...

    bool operator==(const ServiceEvent&) const = default;
};

// A step of more than a minute is worth an administrator's look.
bool isBigStep(double offsetMilliseconds);

// Watches the polls for a day without a valid reply: one warning when the day is full, and
// one information event when a valid reply comes after it.
class ReplyWatch {
public:
    // The day counts from the start, the later of the start and a last success before it: a
    // computer that was off had no chance to ask (and one whose clock reads earlier than the
    // last success, its battery flat, must still be warned). The texts name the last success.
    // warned: the warning was given before a restart.
    ReplyWatch(std::optional<UnixSeconds> lastSuccess, UnixSeconds start, bool warned = false);
    std::optional<ServiceEvent> afterPoll(bool validReply, UnixSeconds now,
                                          const std::string& server);
    bool warned() const { return warned_; }

private:
    UnixSeconds since_;     // the last success, else the start
    UnixSeconds countFrom_; // where the day without a valid reply begins
    std::uint32_t failedPolls_ = 0;
    bool warned_ = false;
};
