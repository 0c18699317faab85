#include "service/host/LogFileNames.h"

#include <cstdio>

std::string dayFileName(std::string_view directory, std::string_view extension,
                        const SYSTEMTIME& stamp) {
    char date[32];
    std::snprintf(date, sizeof date, "%04d%02d%02d", stamp.wYear, stamp.wMonth, stamp.wDay);
    std::string path(directory);
    path += '\\';
    path += date;
    path += '.';
    path += extension;
    return path;
}

std::string logLinePrefix(const SYSTEMTIME& stamp) {
    // Room for five digits in every field, so no reading can overrun it.
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "UTC: %02d:%02d:%02d.%03d  %02d.%02d.%04d ", stamp.wHour,
                  stamp.wMinute, stamp.wSecond, stamp.wMilliseconds, stamp.wDay, stamp.wMonth,
                  stamp.wYear);
    return prefix;
}

std::string logFilePattern(std::string_view directory, std::string_view extension) {
    std::string pattern(directory);
    pattern += "\\*.";
    pattern += extension;
    return pattern;
}

namespace {
char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

bool isLogFileName(std::string_view name, std::string_view extension) {
    if (name.size() != extension.size() + 9 || name[8] != '.') {
        return false;
    }
    // The search pattern also matches through 8.3 short names; only a name that really ends
    // in the extension may stand for a day's file.
    std::string_view tail = name.substr(9);
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (lowerAscii(tail[i]) != lowerAscii(extension[i])) {
            return false;
        }
    }
    return true;
}

int compareFileTime(const FILETIME& a, const FILETIME& b) {
    auto value = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const std::uint64_t x = value(a);
    const std::uint64_t y = value(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

std::optional<std::string> OldFileList::offer(const FILETIME& lastWrite, std::string_view stem) {
    if (keepCount_ < 2) {
        return std::nullopt; // a count of 0 or 1 keeps every file
    }
    // Walk from behind the last entry toward the front past every entry that is older than or
    // as old as the new one.
    std::size_t place = entries_.size();
    while (place > 0 && compareFileTime(entries_[place - 1].lastWrite, lastWrite) <= 0) {
        --place;
    }
    if (entries_.size() < keepCount_) {
        entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(place),
                        Entry{lastWrite, std::string(stem)});
        return std::nullopt;
    }
    if (place == entries_.size()) {
        return std::string(stem);
    }
    std::string gone = std::move(entries_.back().stem);
    entries_.pop_back();
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(place),
                    Entry{lastWrite, std::string(stem)});
    return gone;
}

std::vector<std::string> OldFileList::keptStems() const {
    std::vector<std::string> stems;
    for (const Entry& entry : entries_) {
        stems.push_back(entry.stem);
    }
    return stems;
}
