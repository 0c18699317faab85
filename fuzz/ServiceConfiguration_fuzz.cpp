// readServiceConfiguration over the native registry store: every value of the key may be
// missing or stored with any type and any bytes, the keys may be missing, names may differ in
// case, and the expansion environment comes from the input too. The reader must end with its
// fields as promised or with one of its four messages, and close every key either way.
//
// Input: a flag byte (bit 0: no vendor key, bit 1: no client key, bit 2: the key under
// HKEY_CURRENT_USER instead, bit 3: expansion fails, bit 4: names in other case, by the mask
// byte that follows), up to three environment variables (a count byte, then name and value as
// length byte and text), then for each value in reading order a kind byte (0: absent, else
// type + 1) and, when present, a little-endian length word and the data.
#include "fuzz/FuzzInput.h"
#include "service/engine/RegistryKey.h"
#include "service/engine/ServiceConfiguration.h"
#include "service/errors/BaseException.h"
#include "tests/fakes/FakeRegistry.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kVendorPath = "Software\\Tarnwick";
constexpr const char* kClientPath = "Software\\Tarnwick\\NTP Client";
constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

const std::string missingKey = "missing registry key";
const std::string missingEntry = "missing registry entry";
const std::string unexpectedFormat = "unexpected format registry value";
const std::string expansionFailed = "unable to expand environment variables in registry";

enum Name {
    writeLogEntries,
    logDirectory,
    waitForRas,
    rasPollMilliseconds,
    runOnce,
    ntpServerName,
    ntpPollMilliseconds,
    ntpServerPort,
    maxAdjustSeconds,
    logFileCount,
    nameCount
};

constexpr std::array<const char*, nameCount> kNames = {
    "WriteLogEntries",  "LogDirectory",  "WaitForRAS",          "RASPollMilliseconds",
    "RunOnce",          "NTPServerName", "NTPPollMilliseconds", "NTPServerPort",
    "MaxAdjustSeconds", "LogFileCount"};

struct StoredValue {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

// Registry names match without regard to case: the mask picks which letters change.
std::string recased(const char* name, std::uint8_t mask) {
    std::string result(name);
    for (std::size_t i = 0; i < result.size(); ++i) {
        const char c = result[i];
        if (((mask >> (i % 8)) & 1) == 0)
            continue;
        if (c >= 'a' && c <= 'z')
            result[i] = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            result[i] = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool isDword(const std::optional<StoredValue>& v) {
    return v && v->type == registry_type::dword;
}

// An optional value counts only as a REG_DWORD of at most four bytes.
bool isOptionalDword(const std::optional<StoredValue>& v) {
    return isDword(v) && v->data.size() <= 4;
}

// A REG_DWORD's first four bytes, fewer read as zero-extended.
std::uint32_t dwordOf(const StoredValue& v) {
    std::uint8_t bytes[4] = {};
    std::copy_n(v.data.begin(), std::min<std::size_t>(v.data.size(), 4), bytes);
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// Stored text is read up to its first NUL, never beyond its data.
std::string textOf(const StoredValue& v) {
    std::string text(v.data.begin(), v.data.end());
    return text.substr(0, text.find('\0'));
}

ServiceConfiguration untouchedConfiguration() {
    ServiceConfiguration config;
    config.writeLogEntries = true;
    config.logDirectory = "untouched";
    config.waitForRas = true;
    config.rasPollMilliseconds = kUntouched;
    config.runOnce = true;
    config.serverName = "untouched";
    config.ntpPollMilliseconds = kUntouched;
    config.serverPort = 999;
    config.maxAdjustSeconds = kUntouched;
    config.logFileCount = kUntouched;
    return config;
}

void checkCompleteRead(const ServiceConfiguration& config,
                       const std::array<std::optional<StoredValue>, nameCount>& values) {
    // Every required value was read, so each was there with a type its reader accepts.
    for (Name required : {writeLogEntries, waitForRas, runOnce, ntpPollMilliseconds}) {
        FUZZ_CHECK(isDword(values[required]));
    }
    FUZZ_CHECK(config.writeLogEntries == (dwordOf(*values[writeLogEntries]) != 0));
    if (config.writeLogEntries) {
        const auto& stored = values[logDirectory];
        FUZZ_CHECK(stored && (stored->type == registry_type::string ||
                              stored->type == registry_type::expandString));
        const std::string text = textOf(*stored);
        // Text without a reference reads the same whether expanded or not.
        if (stored->type == registry_type::string || text.find('%') == std::string::npos) {
            FUZZ_CHECK(config.logDirectory == text);
        }
    }
    FUZZ_CHECK(config.waitForRas == (dwordOf(*values[waitForRas]) != 0));
    if (config.waitForRas) {
        FUZZ_CHECK(isDword(values[rasPollMilliseconds]));
        FUZZ_CHECK(config.rasPollMilliseconds == dwordOf(*values[rasPollMilliseconds]));
    } else {
        FUZZ_CHECK(config.rasPollMilliseconds == kUntouched);
    }
    FUZZ_CHECK(config.runOnce == (dwordOf(*values[runOnce]) != 0));
    FUZZ_CHECK(values[ntpServerName] && values[ntpServerName]->type == registry_type::string);
    FUZZ_CHECK(config.serverName == textOf(*values[ntpServerName]));
    FUZZ_CHECK(config.ntpPollMilliseconds == dwordOf(*values[ntpPollMilliseconds]));

    // The optional values count only as REG_DWORD of at most four bytes; anything else keeps
    // the default, and the log file count, which has none, keeps what it was.
    const auto& port = values[ntpServerPort];
    FUZZ_CHECK(config.serverPort == (isOptionalDword(port) ? (dwordOf(*port) & 0xFFFFu) : 123u));
    const auto& limit = values[maxAdjustSeconds];
    FUZZ_CHECK(config.maxAdjustSeconds == (isOptionalDword(limit) ? dwordOf(*limit) : 0u));
    const auto& count = values[logFileCount];
    FUZZ_CHECK(config.logFileCount == (isOptionalDword(count) ? dwordOf(*count) : kUntouched));
    // Never stored here: one exchange a poll.
    FUZZ_CHECK(config.samples == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t flags = input.byte();
    const bool noVendorKey = (flags & 1) != 0;
    const bool noClientKey = (flags & 2) != 0;
    const bool wrongRoot = (flags & 4) != 0;
    const bool expansionFails = (flags & 8) != 0;
    const std::uint8_t caseMask = (flags & 16) != 0 ? input.byte() : 0;

    fake_registry::reset();
    const PredefinedRoot root =
        wrongRoot ? PredefinedRoot::currentUser : PredefinedRoot::localMachine;
    const std::string clientPath = recased(kClientPath, caseMask);
    fake_registry::createKey(root, clientPath);
    fake_registry::setExpansionFails(expansionFails);

    const unsigned variables = input.byte() % 4;
    for (unsigned i = 0; i < variables; ++i) {
        const std::string name = input.shortText();
        fake_registry::setEnvironmentVariable(name, input.shortText());
    }

    std::array<std::optional<StoredValue>, nameCount> values;
    for (std::size_t i = 0; i < nameCount; ++i) {
        const std::uint8_t kind = input.byte();
        if (kind == 0)
            continue;
        const std::string bytes = input.bytes(input.word());
        values[i] = StoredValue{static_cast<std::uint32_t>(kind - 1u),
                                std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
        fake_registry::setValue(root, clientPath, recased(kNames[i], caseMask), values[i]->type,
                                values[i]->data);
    }
    if (noVendorKey)
        fake_registry::deleteKey(root, recased(kVendorPath, caseMask));
    else if (noClientKey)
        fake_registry::deleteKey(root, clientPath);
    const bool keysThere = !noVendorKey && !noClientKey && !wrongRoot;

    ServiceConfiguration config = untouchedConfiguration();
    std::optional<std::string> failure;
    try {
        readServiceConfiguration(config);
    } catch (const SimpleException& e) {
        failure = e.what();
    }

    // Both keys closed, while the exception passed too, and no close of a stray handle.
    FUZZ_CHECK(fake_registry::openHandleCount() == 0);
    FUZZ_CHECK(fake_registry::invalidCloseCount() == 0);
    // Without a directory the log has nowhere to go.
    FUZZ_CHECK(!config.writeLogEntries || config.logDirectory.has_value());

    if (!failure) {
        FUZZ_CHECK(keysThere);
        FUZZ_CHECK(fake_registry::closeCount() == 2);
        checkCompleteRead(config, values);
        return 0;
    }
    FUZZ_CHECK(*failure == missingKey || *failure == missingEntry || *failure == unexpectedFormat ||
               *failure == expansionFailed);
    FUZZ_CHECK((*failure == missingKey) == !keysThere);
    if (*failure == missingKey) {
        // The defaults are set before anything is read; nothing else was touched.
        const ServiceConfiguration untouched = untouchedConfiguration();
        FUZZ_CHECK(!config.writeLogEntries && !config.logDirectory.has_value());
        FUZZ_CHECK(config.serverPort == 123 && config.maxAdjustSeconds == 0);
        FUZZ_CHECK(config.waitForRas == untouched.waitForRas &&
                   config.rasPollMilliseconds == untouched.rasPollMilliseconds &&
                   config.runOnce == untouched.runOnce &&
                   config.serverName == untouched.serverName &&
                   config.ntpPollMilliseconds == untouched.ntpPollMilliseconds &&
                   config.logFileCount == untouched.logFileCount);
    }
    if (*failure == expansionFailed) {
        FUZZ_CHECK(expansionFails && values[logDirectory] &&
                   values[logDirectory]->type == registry_type::expandString);
    }
    return 0;
}
