// The naming, line prefix and rotation rules of the daily log files, kept free of Windows so
// they are tested natively.
#pragma once

#include "common/PlatformTypes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// directory + "\" + YYYYMMDD + "." + extension, the date taken from the UTC stamp.
std::string dayFileName(std::string_view directory, std::string_view extension,
                        const SYSTEMTIME& stamp);

// "UTC: hh:mm:ss.mmm  DD.MM.YYYY ", 30 characters for any real clock reading.
std::string logLinePrefix(const SYSTEMTIME& stamp);

// The search pattern for the directory's log files: directory + "\*." + extension.
std::string logFilePattern(std::string_view directory, std::string_view extension);

// Whether a found name has the form of a day's file: eight characters, a dot and the extension.
bool isLogFileName(std::string_view name, std::string_view extension);

// -1, 0 or 1 as the first time is older, equal or newer (the order of CompareFileTime).
int compareFileTime(const FILETIME& a, const FILETIME& b);

// The newest keepCount log files seen so far. Each file offered either joins the list or is
// the one that must go: the oldest of those seen, the newer file winning a tie.
class OldFileList {
public:
    explicit OldFileList(std::uint32_t keepCount) : keepCount_(keepCount) {}

    // Offers a file by its last-write time and its eight-character stem; returns the stem of
    // the file to delete, if one must go now.
    std::optional<std::string> offer(const FILETIME& lastWrite, std::string_view stem);

    std::vector<std::string> keptStems() const;

private:
    struct Entry {
        FILETIME lastWrite;
        std::string stem;
    };
    std::uint32_t keepCount_;
    std::vector<Entry> entries_; // newest first
};
