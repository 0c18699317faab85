#include "service/engine/ServiceEvents.h"

#include <cmath>

namespace {

constexpr double bigStepMilliseconds = 60000;
constexpr UnixSeconds day = 86400;

} // namespace

bool isBigStep(double offsetMilliseconds) {
    return std::fabs(offsetMilliseconds) > bigStepMilliseconds;
}

ReplyWatch::ReplyWatch(std::optional<UnixSeconds> lastSuccess, UnixSeconds start, bool warned)
    : since_(lastSuccess.value_or(start)), countFrom_(start), warned_(warned) {}

std::optional<ServiceEvent> ReplyWatch::afterPoll(bool validReply, UnixSeconds now,
                                                  const std::string& server) {
    if (validReply) {
        const bool wasWarned = warned_;
        const UnixSeconds since = since_;
        since_ = now;
        countFrom_ = now;
        failedPolls_ = 0;
        warned_ = false;
        if (wasWarned) {
            return ServiceEvent{
                EventType::information, event_id::repliesAgain, {server, isoUtc(since)}};
        }
        return std::nullopt;
    }
    ++failedPolls_;
    if (warned_ || now - countFrom_ < day) {
        return std::nullopt;
    }
    warned_ = true;
    return ServiceEvent{EventType::warning,
                        event_id::noReplyForADay,
                        {isoUtc(since_), std::to_string(failedPolls_)}};
}
