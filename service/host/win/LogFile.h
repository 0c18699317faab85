// The daily log files: one file per UTC day in a directory, each line stamped with the UTC
// time, and only the newest keepCount files kept.
#pragma once

#include "service/host/Logger.h"
#include "win32/Guards.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

class LogFile : public Logger {
public:
    // Where the UTC time of a write comes from; tests put a fixed day here.
    using Clock = void(WINAPI*)(LPSYSTEMTIME);

    // directory and extension are not copied: they must outlive the LogFile.
    LogFile(const char* directory, const char* extension, std::uint32_t keepCount,
            Clock clock = &GetSystemTime);
    ~LogFile() override = default;

    void writeException(const std::exception& e) override;
    void writeLine(const char* text) override;
    void writeFormatted(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    static constexpr std::size_t formatBufferSize = 1024;

private:
    // Each write holds the lock from the choice of the file to the flush.
    class Write {
    public:
        explicit Write(LogFile& log);
        ~Write();
        Write(const Write&) = delete;
        Write& operator=(const Write&) = delete;
        bool ready() const { return log_.stream_.get() != nullptr; }

    private:
        LogFile& log_;
        CriticalSectionLock lock_;
    };

    void selectFile();
    void writeStamped(const char* text);
    void removeOldFiles();

    CriticalSection lock_;
    std::optional<std::string> currentName_;
    StdioFile stream_;
    const char* directory_;
    const char* extension_;
    std::uint32_t keepCount_;
    SYSTEMTIME stamp_{};
    Clock clock_;
};
