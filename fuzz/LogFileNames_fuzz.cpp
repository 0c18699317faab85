// The log files' names and the choice of the files to delete, as LogFile uses them: the day's
// file name and line prefix for a clock reading, then a directory listing in which only names
// that isLogFileName accepts are offered to OldFileList by their eight-character stem. The
// list is checked against a plain model: every file offered is kept or deleted exactly once,
// the oldest goes, and of equal times the one offered earlier.
//
// Input: the keep count (4 bytes), a flag byte (bit 0: an extension of its own follows as
// length byte and text, else "ntp"), the directory (length byte and text), a clock reading
// (SYSTEMTIME, 16 bytes), then found files: the last-write time (8 bytes) and the name (length
// byte and text).
#include "fuzz/FuzzInput.h"
#include "service/host/LogFileNames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxFiles = 64;

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string twoDigits(unsigned value) {
    return std::string(1, static_cast<char>('0' + value / 10)) +
           static_cast<char>('0' + value % 10);
}

// A reading the clock can give, with a four-digit year.
bool isRealReading(const SYSTEMTIME& t) {
    return t.wYear >= 1000 && t.wYear <= 9999 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= 31 && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
           t.wMilliseconds < 1000;
}

void checkDayFile(const std::string& directory, const std::string& extension,
                  const SYSTEMTIME& stamp) {
    const std::string path = dayFileName(directory, extension, stamp);
    FUZZ_CHECK(path.compare(0, directory.size() + 1, directory + "\\") == 0);
    FUZZ_CHECK(endsWith(path, "." + extension));
    FUZZ_CHECK(logFilePattern(directory, extension) == directory + "\\*." + extension);

    const std::string prefix = logLinePrefix(stamp);
    FUZZ_CHECK(prefix.compare(0, 5, "UTC: ") == 0 && prefix.size() < 64 && prefix.back() == ' ');
    if (!isRealReading(stamp))
        return;

    const std::string date =
        std::to_string(stamp.wYear) + twoDigits(stamp.wMonth) + twoDigits(stamp.wDay);
    const std::string name = date + "." + extension;
    FUZZ_CHECK(path == directory + "\\" + name);
    // The day's own file must be found again when old files are cleared away.
    FUZZ_CHECK(isLogFileName(name, extension));

    FUZZ_CHECK(prefix.size() == 30);
    FUZZ_CHECK(prefix.substr(5, 8) == twoDigits(stamp.wHour) + ":" + twoDigits(stamp.wMinute) +
                                          ":" + twoDigits(stamp.wSecond));
    FUZZ_CHECK(prefix[13] == '.' && isDigits(prefix.substr(14, 3)));
    FUZZ_CHECK(prefix.substr(17, 13) == "  " + twoDigits(stamp.wDay) + "." +
                                            twoDigits(stamp.wMonth) + "." +
                                            std::to_string(stamp.wYear) + " ");
}

// Eight characters, a dot and the extension, whose letters may differ in case.
void checkRecognition(const std::string& name, const std::string& extension, bool accepted) {
    const bool shaped = name.size() == extension.size() + 9 && name[8] == '.';
    const std::string tail = shaped ? name.substr(9) : std::string();
    bool sameIgnoringCase = shaped;
    for (std::size_t i = 0; shaped && i < tail.size(); ++i) {
        sameIgnoringCase = sameIgnoringCase && lowerAscii(tail[i]) == lowerAscii(extension[i]);
    }
    if (accepted)
        FUZZ_CHECK(sameIgnoringCase);
    if (shaped && tail == extension)
        FUZZ_CHECK(accepted);
}

struct ModelFile {
    std::uint64_t lastWrite;
    std::size_t offered; // order of the offer
    std::string stem;
};

// The order of the kept list: newest first, and of equal times the later offered first.
bool keptBefore(const ModelFile& a, const ModelFile& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite > b.lastWrite : a.offered > b.offered;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint32_t keepCount = input.dword();
    const std::uint8_t flags = input.byte();
    const std::string extension = (flags & 1) != 0 ? input.shortText() : std::string("ntp");
    const std::string directory = input.shortText();
    const SYSTEMTIME stamp = input.systemTime();

    checkDayFile(directory, extension, stamp);

    OldFileList list(keepCount);
    std::vector<ModelFile> model;
    for (std::size_t offered = 0; offered < kMaxFiles && input.remaining() > 0; ++offered) {
        const std::uint64_t ticks = input.qword();
        const std::string name = input.shortText();
        const bool accepted = isLogFileName(name, extension);
        checkRecognition(name, extension, accepted);
        if (!accepted)
            continue;

        const FILETIME lastWrite{static_cast<std::uint32_t>(ticks),
                                 static_cast<std::uint32_t>(ticks >> 32)};
        const std::string stem = name.substr(0, 8);
        const std::optional<std::string> gone = list.offer(lastWrite, stem);
        if (keepCount < 2) {
            FUZZ_CHECK(!gone); // a count of 0 or 1 keeps every file
            continue;
        }
        model.push_back({ticks, offered, stem});
        std::sort(model.begin(), model.end(), keptBefore);
        if (model.size() > keepCount) {
            FUZZ_CHECK(gone && *gone == model.back().stem);
            model.pop_back();
        } else {
            FUZZ_CHECK(!gone);
        }
        std::vector<std::string> expected;
        for (const ModelFile& file : model) {
            expected.push_back(file.stem);
        }
        FUZZ_CHECK(list.keptStems() == expected);
    }
    return 0;
}
