// Pendra's status record in the registry: a reader gets one whole record, never a mix of the
// one being replaced and the one replacing it, while the writer rewrites it value by value.
#include "win32/StatusRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every value of generation g says g.
StatusRecord generation(std::uint32_t g) {
    const UnixSeconds time = 1796726400 + g;
    const std::string name = std::to_string(g);
    return {.lastPoll = time,
            .lastResult = "generation " + name,
            .lastSuccess = time,
            .offsetMilliseconds = g / 1000.0,
            .delayMilliseconds = g / 1000.0,
            .server = "server-" + name,
            .address = "address-" + name,
            .failedPolls = g,
            .nextPoll = time,
            .pollSeconds = g,
            .runOnce = (g & 1) != 0,
            .noReplyWarned = (g & 2) != 0,
            .frequencyPpm = g / 1000.0,
            .lastCorrection = (g & 4) != 0 ? "slew" : "step",
            .rateSet = (g & 8) != 0,
            .authentication = (g & 16) != 0 ? "NTS" : "none",
            .unreadable = {}};
}

// The record as written, value for value, is that of the generation its failed polls name.
bool whole(const StatusRecord& record) {
    const std::vector<StatusValue> read = statusValues(record);
    const std::vector<StatusValue> written = statusValues(generation(record.failedPolls));
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (read[i].text != written[i].text || read[i].number != written[i].number) {
            return false;
        }
    }
    return record.unreadable.empty();
}

// HKEY_LOCAL_MACHINE of this process redirected to a scratch key for the test's life: the
// prefix's own belongs to the black-box tests.
struct ScratchMachineKey {
    std::string path =
        "Software\\Pendra StatusRegistry test " + std::to_string(GetCurrentProcessId());
    HKEY key = nullptr;
    ScratchMachineKey() { RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &key); }
    ScratchMachineKey(const ScratchMachineKey&) = delete;
    ScratchMachineKey& operator=(const ScratchMachineKey&) = delete;
    ~ScratchMachineKey() {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(key);
        RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    }
};

} // namespace

TEST(StatusRegistry, AReaderGetsOneWholeRecordWhileTheWriterRewritesIt) {
    const ScratchMachineKey scratch;
    ASSERT_NE(scratch.key, nullptr);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch.key), ERROR_SUCCESS);
    EXPECT_FALSE(readStatusRegistry().has_value());
    ASSERT_EQ(writeStatusRegistry(generation(1)), ERROR_SUCCESS);

    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
        const ULONGLONG end = GetTickCount64() + 60000;
        for (std::uint32_t g = 2; !stop && g < 1000000 && GetTickCount64() < end; ++g) {
            writeStatusRegistry(generation(g));
        }
    });
    // Reads enough for the writer to be caught between two values many times over, and
    // generations enough to show that it was writing meanwhile.
    std::set<std::uint32_t> seen;
    int reads = 0;
    int mixed = 0;
    const ULONGLONG end = GetTickCount64() + 20000;
    while (reads < 20000 && GetTickCount64() < end && (reads < 300 || seen.size() < 20)) {
        const std::optional<StatusRecord> record = readStatusRegistry();
        ++reads;
        if (record && whole(*record)) {
            seen.insert(record->failedPolls);
        } else {
            ++mixed;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    EXPECT_GE(seen.size(), 20u) << "generations in " << reads << " reads";
}
