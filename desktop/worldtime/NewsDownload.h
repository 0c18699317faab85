// The texts and choices of the news ticker download: where the news comes from, the progress
// lines of a transfer, and what becomes of its result. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The maker's news file, unless the environment (KLEMORA_NEWS_URL) or the user's registry
// value names another; an empty setting counts as none.
constexpr const char* builtInNewsUrl = "http://news.tarnwick.example/newsticker.txt";
std::string chooseNewsUrl(const std::optional<std::string>& environment,
                          const std::optional<std::string>& registry);

// The progress line of a WinINet status code; none where the line stays as it is. info is the
// status information as text (names), and result/error are its two 32-bit fields when it has
// exactly eight bytes.
struct StatusInformation {
    std::string text;
    bool hasResult = false;
    std::uint32_t result = 0;
    std::uint32_t error = 0;
};
std::optional<std::string> statusLine(std::uint32_t code, const StatusInformation& info);

// "Read %d bytes (%0.1f Kb/s)" after a whole second, "Read %d bytes" before.
std::string readProgressLine(std::uint64_t totalBytes, std::uint64_t wholeSeconds);

// A download keeps at most this much of the file; the rest is never read.
constexpr std::size_t newsKeptBytes = 64 * 1024;

// What the ticker shows of a downloaded file: its first line, with control characters as
// blanks, so that a binary file cannot break the line or the painting.
std::string tickerLine(const std::string& received);
