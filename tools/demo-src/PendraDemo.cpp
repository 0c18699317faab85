// Shows the NTP time values and the daily log files working in a real Windows process.
#include "service/engine/NtpStamp.h"
#include "service/host/BaseException.h"
#include "service/host/LogFile.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void printTime(const char* label, const SYSTEMTIME& t) {
    std::printf("%-34s %04u-%02u-%02u %02u:%02u:%02u.%03u (day of week %u)\n", label, t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
}

void printStamp(const char* label, NtpStamp stamp) {
    std::printf("%-34s seconds 0x%08lx fraction 0x%08lx\n", label,
                static_cast<unsigned long>(stamp.seconds()),
                static_cast<unsigned long>(stamp.fraction()));
}

// Leaves a few older day files behind, so the first write of the day has something to remove.
void makeOldFile(const std::string& directory, int day) {
    char name[32];
    std::snprintf(name, sizeof name, "\\202611%02d.ntp", day);
    const std::string path = directory + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    SYSTEMTIME when{};
    when.wYear = 2026;
    when.wMonth = 11;
    when.wDay = static_cast<WORD>(day);
    FILETIME lastWrite;
    SystemTimeToFileTime(&when, &lastWrite);
    SetFileTime(file, nullptr, nullptr, &lastWrite);
    CloseHandle(file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pendra-demo <log directory>\n");
        return 2;
    }
    const std::string directory = argv[1];

    SYSTEMTIME now;
    GetSystemTime(&now);
    const NtpStamp stamp = NtpStamp::fromSystemTime(now);
    printTime("UTC now:", now);
    printStamp("as an NTP timestamp:", stamp);
    printTime("and back:", NtpStamp::toSystemTime(stamp));

    SYSTEMTIME lastOfEra{};
    lastOfEra.wYear = 2036;
    lastOfEra.wMonth = 2;
    lastOfEra.wDay = 7;
    lastOfEra.wHour = 6;
    lastOfEra.wMinute = 28;
    lastOfEra.wSecond = 15;
    lastOfEra.wMilliseconds = 900;
    const NtpStamp quarterSecond(0, 0x40000000u);
    printStamp("2036-02-07 06:28:15.900 is", NtpStamp::fromSystemTime(lastOfEra));
    printTime(
        "+0.25 s through the 32-bit value:",
        NtpStamp::toSystemTime(NtpStamp::add(NtpStamp::fromSystemTime(lastOfEra), quarterSecond)));
    printTime("+0.25 s, era-safe:", addOffset(lastOfEra, quarterSecond));

    for (int day = 1; day <= 4; ++day) {
        makeOldFile(directory, day);
    }
    {
        LogFile log(directory.c_str(), "ntp", 3);
        log.writeFormatted("Start Pendra Rev: %s, server %s", "1.22", "demo");
        log.writeFormatted("NTP seconds of this line: %lu",
                           static_cast<unsigned long>(stamp.seconds()));
        if (CreateFileA("C:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr) == INVALID_HANDLE_VALUE) {
            log.writeException(LastErrorException("CreateFile", "%a: %r"));
        }
        log.writeException(LastErrorException("bind", 10048, "%a: %r"));
        log.writeLine("stop request");
    }
    return 0;
}
