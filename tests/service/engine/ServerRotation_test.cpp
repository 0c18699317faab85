// The server list and the choice of candidates: what a poll asks, in which order, what it
// logs when it moves on, and where the next poll starts.
#include "service/engine/ServerRotation.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> problems(const std::string& value) {
    std::vector<std::string> found;
    for (const ServerEntry& entry : parseServerList(value)) {
        found.push_back(entry.host + "|" + entry.problem);
    }
    return found;
}

// Names with their addresses; addresses that stay silent or refuse; what was asked and noted.
struct World {
    std::map<std::string, std::vector<std::string>> names;
    std::set<std::string> silent;
    std::set<std::string> refusing;
    std::vector<std::string> asked;
    std::vector<std::string> notes;
    std::uint64_t now = 0;
    std::string stopAtLookupOf; // the service stops instead of looking this name up

    CandidateOutcome poll(ServerRotation& rotation) {
        std::map<std::size_t, std::vector<std::string>> resolved;
        return rotation.poll(
            [&](std::size_t entry) -> std::optional<std::vector<std::string>> {
                if (rotation.entries()[entry].host == stopAtLookupOf) {
                    return std::nullopt;
                }
                return resolved[entry] = names[rotation.entries()[entry].host];
            },
            [&](std::size_t entry, std::size_t index) {
                const std::string& address = resolved[entry][index];
                asked.push_back(address);
                if (refusing.contains(address)) {
                    return CandidateOutcome::refused;
                }
                return silent.contains(address) ? CandidateOutcome::noReply
                                                : CandidateOutcome::answered;
            },
            [&](const std::string& line) { notes.push_back(line); }, now, 1000);
    }
};

} // namespace

TEST(ServerRotation, TheListSplitsAtBlanksAndNamesWhatCannotBeUsed) {
    EXPECT_EQ(problems("  a.example\t\tb.example  "),
              (std::vector<std::string>{"a.example|", "b.example|"}));
    EXPECT_EQ(problems("   "), (std::vector<std::string>{"   |"})); // fails as one name would
    EXPECT_EQ(problems("2001:db8::1 [2001:db8::2] fe80::1%2"),
              (std::vector<std::string>{"2001:db8::1|", "2001:db8::2|", "fe80::1%2|"}));
    const std::string port = "a port cannot be given here; NTPServerPort sets it";
    EXPECT_EQ(problems("host:123 [2001:db8::1]:123 [2001:db8::1"),
              (std::vector<std::string>{"host:123|" + port, "[2001:db8::1]:123|" + port,
                                        "[2001:db8::1|\"[\" without \"]\""}));
    EXPECT_EQ(problems(std::string(255, 'a')).front().back(), '|');
    std::string tooLong(256, 'a');
    EXPECT_EQ(parseServerList(tooLong).front().problem, "longer than 255 characters");
    std::string many;
    for (int i = 0; i < 64; ++i) {
        many.append("n").append(std::to_string(i)).append(".example ");
    }
    EXPECT_EQ(parseServerList(many).size(), 64u);
}

TEST(ServerRotation, APollMovesOnAtOnceAndTheNextStartsWithTheOneThatAnswered) {
    World world;
    world.names = {{"ntp1.example", {"2001:db8::5", "192.0.2.5"}},
                   {"ntp2.example", {"198.51.100.7"}}};
    world.silent = {"2001:db8::5", "192.0.2.5"};
    ServerRotation rotation("ntp1.example ntp2.example");
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"2001:db8::5", "192.0.2.5", "198.51.100.7"}));
    EXPECT_EQ(world.notes,
              (std::vector<std::string>{
                  "no valid reply from ntp1.example (2001:db8::5), trying ntp1.example (192.0.2.5)",
                  "no valid reply from ntp1.example (192.0.2.5), trying ntp2.example "
                  "(198.51.100.7)"}));
    // Sticks to the one that answered, without a line; a pool that reordered is followed.
    world.asked.clear();
    world.notes.clear();
    world.names["ntp2.example"] = {"198.51.100.9", "198.51.100.7"};
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"198.51.100.7"}));
    EXPECT_TRUE(world.notes.empty());
}

TEST(ServerRotation, APollAsksAtMostFourAndTheNextGoesOnFromThere) {
    World world;
    ServerRotation rotation("a b c d e f");
    for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
        world.names[name] = {std::string("10.0.0.") + name};
        world.silent.insert(std::string("10.0.0.") + name);
    }
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::noReply);
    EXPECT_EQ(world.asked.size(), 4u);
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::noReply);
    EXPECT_EQ(world.asked,
              (std::vector<std::string>{"10.0.0.a", "10.0.0.b", "10.0.0.c", "10.0.0.d", "10.0.0.e",
                                        "10.0.0.f", "10.0.0.a", "10.0.0.b"}));
    // One name with one silent address is asked once a poll, and says nothing more.
    World single;
    single.names["only"] = {"192.0.2.1"};
    single.silent = {"192.0.2.1"};
    ServerRotation one("only");
    EXPECT_EQ(single.poll(one), CandidateOutcome::noReply);
    EXPECT_EQ(single.poll(one), CandidateOutcome::noReply);
    EXPECT_EQ(single.asked.size(), 2u);
    EXPECT_TRUE(single.notes.empty());
}

TEST(ServerRotation, RefusalsLeaveAServerOutAndBadEntriesAreNamedOnce) {
    World world;
    world.names = {{"deny.example", {"192.0.2.9"}}, {"good.example", {"192.0.2.10"}}};
    world.refusing = {"192.0.2.9"};
    ServerRotation rotation("[oops deny.example gone.example good.example");
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    EXPECT_EQ(world.notes, (std::vector<std::string>{
                               "unusable server entry \"[oops\": \"[\" without \"]\"",
                               "deny.example (192.0.2.9) refuses this client, trying gone.example",
                               "cannot resolve gone.example, trying good.example (192.0.2.10)"}));
    // A refusing server is not asked again before its time, then it is.
    world.silent = {"192.0.2.10"};
    world.asked.clear();
    world.notes.clear();
    world.now = 999;
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::noReply);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"192.0.2.10"}));
    EXPECT_EQ(world.notes, (std::vector<std::string>{"no valid reply from good.example "
                                                     "(192.0.2.10), trying gone.example"}));
    world.asked.clear();
    world.notes.clear();
    world.now = 1000;
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::refused);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"192.0.2.10", "192.0.2.9"}));
    EXPECT_EQ(
        world.notes,
        (std::vector<std::string>{
            "cannot resolve gone.example, trying good.example (192.0.2.10)",
            "no valid reply from good.example (192.0.2.10), trying deny.example (192.0.2.9)"}));
}

TEST(ServerRotation, AServerThatRefusesAfterAValidSampleIsLeftOutAndAStopEndsThePoll) {
    World world;
    world.names = {{"ntp1.example", {"192.0.2.1"}}, {"ntp2.example", {"192.0.2.2"}}};
    ServerRotation rotation("ntp1.example ntp2.example");
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    EXPECT_EQ(rotation.leaveOutLastAnswered(0, 1000),
              "ntp1.example (192.0.2.1) refuses this client; the next poll asks another server");
    world.asked.clear();
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    world.now = 999;
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::answered);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"192.0.2.2", "192.0.2.2"}));

    // A stop before the second lookup asks no one after it.
    world.asked.clear();
    world.notes.clear();
    world.silent = {"192.0.2.2"};
    world.stopAtLookupOf = "ntp1.example";
    EXPECT_EQ(world.poll(rotation), CandidateOutcome::stopped);
    EXPECT_EQ(world.asked, (std::vector<std::string>{"192.0.2.2"}));
}
