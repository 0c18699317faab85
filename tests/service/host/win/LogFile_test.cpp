#include "service/errors/BaseException.h"
#include "service/host/win/LogFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The clock every LogFile in these tests reads: a day chosen by the test.
std::atomic<int> fakeDay{6};
std::atomic<int> fakeMonth{12};

void WINAPI fakeClock(LPSYSTEMTIME t) {
    *t = SYSTEMTIME{};
    t->wYear = 2026;
    t->wMonth = static_cast<WORD>(fakeMonth.load());
    t->wDay = static_cast<WORD>(fakeDay.load());
    t->wHour = 14;
    t->wMinute = 3;
    t->wSecond = 7;
    t->wMilliseconds = 250;
}

// A fresh directory under the temporary folder, removed with its files at the end.
class TempDirectory {
public:
    TempDirectory() {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        static int counter = 0;
        path_ = std::string(base) + "pendra-log-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++counter);
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TempDirectory() {
        for (const std::string& name : names()) {
            std::string file = path_ + "\\" + name;
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileA(file.c_str())) {
                RemoveDirectoryA(file.c_str());
            }
        }
        RemoveDirectoryA(path_.c_str());
    }
    const char* path() const { return path_.c_str(); }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

    std::vector<std::string> names() const {
        std::vector<std::string> result;
        WIN32_FIND_DATAA found;
        FindHandle search(FindFirstFileA((path_ + "\\*").c_str(), &found));
        if (!search.valid()) {
            return result;
        }
        do {
            if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
                result.push_back(found.cFileName);
            }
        } while (FindNextFileA(search.get(), &found));
        std::sort(result.begin(), result.end());
        return result;
    }

    // Creates a file whose last-write time is the given day of November 2026.
    void makeFile(const std::string& name, int dayOfNovember) const {
        HANDLE handle = CreateFileA(file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        SYSTEMTIME when{};
        when.wYear = 2026;
        when.wMonth = 11;
        when.wDay = static_cast<WORD>(dayOfNovember);
        FILETIME lastWrite;
        SystemTimeToFileTime(&when, &lastWrite);
        EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &lastWrite));
        CloseHandle(handle);
    }

private:
    std::string path_;
};

std::string readBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The lines of a log file without their prefix; every line must carry the CR LF ending.
std::vector<std::string> textsOf(const std::string& path) {
    const std::string content = readBinary(path);
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "unterminated line in " << path;
        if (end == std::string::npos) {
            break;
        }
        std::string line = content.substr(start, end - start);
        EXPECT_EQ(line.rfind("UTC: 14:03:07.250  ", 0), 0u) << line;
        texts.push_back(line.size() >= 30 ? line.substr(30) : line);
        start = end + 2;
    }
    return texts;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeDay = 6;
        fakeMonth = 12;
    }
    TempDirectory dir;
};

struct TextlessException : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

} // namespace

TEST_F(LogFileTest, FirstWriteCreatesTheDaysFileWithStampedLines) {
    LogFile log(dir.path(), "ntp", 0, &fakeClock);
    log.writeLine("first");
    log.writeLine("ends with a break\n");
    log.writeLine("");
    log.writeFormatted("adjustment of %ld seconds > max way to big of %ld seconds", 6L, 5L);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"20261206.ntp"});
    const std::string content = readBinary(dir.file("20261206.ntp"));
    EXPECT_EQ(content.substr(0, 37), "UTC: 14:03:07.250  06.12.2026 first\r\n");
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")),
              (std::vector<std::string>{"first", "ends with a break", "",
                                        "adjustment of 6 seconds > max way to big of 5 seconds"}));
}

TEST_F(LogFileTest, AppendsToAnExistingDaysFile) {
    {
        LogFile log(dir.path(), "ntp", 0, &fakeClock);
        log.writeLine("one");
    }
    LogFile again(dir.path(), "ntp", 0, &fakeClock);
    again.writeLine("two");
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")), (std::vector<std::string>{"one", "two"}));
}

TEST_F(LogFileTest, ExceptionsAreWrittenByTheirText) {
    LogFile log(dir.path(), "ntp", 0, &fakeClock);
    log.writeException(SimpleException("missing registry key"));
    log.writeException(TextlessException());
    log.writeException(LastErrorException("bind", 10048, "%a: %r"));
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")),
              (std::vector<std::string>{"missing registry key", "unidentified exception",
                                        "bind: Address already in use."}));
}

TEST_F(LogFileTest, AFormattedLineIsCutAt1023Characters) {
    LogFile log(dir.path(), "ntp", 0, &fakeClock);
    const std::string longText(5000, 'x');
    log.writeFormatted("%s%s", longText.c_str(), "tail");
    const auto texts = textsOf(dir.file("20261206.ntp"));
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], std::string(1023, 'x'));
}

TEST_F(LogFileTest, KeepThreeRemovesTheOldestInOrderAndAnnouncesThem) {
    for (int day = 1; day <= 5; ++day) {
        dir.makeFile("2026120" + std::to_string(day) + ".ntp", day);
    }
    LogFile log(dir.path(), "ntp", 3, &fakeClock);
    log.writeLine("Start");
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"20261204.ntp", "20261205.ntp", "20261206.ntp"}));
    const std::string d(dir.path());
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")),
              (std::vector<std::string>{"Removing log file: " + d + "\\20261201.ntp",
                                        "Removing log file: " + d + "\\20261202.ntp",
                                        "Removing log file: " + d + "\\20261203.ntp", "Start"}));
}

TEST_F(LogFileTest, CountsOfZeroAndOneNeverRemove) {
    for (std::uint32_t count : {0u, 1u}) {
        TempDirectory own;
        own.makeFile("20261101.ntp", 1);
        own.makeFile("20261102.ntp", 2);
        LogFile log(own.path(), "ntp", count, &fakeClock);
        log.writeLine("x");
        EXPECT_EQ(own.names().size(), 3u) << count;
    }
}

TEST_F(LogFileTest, OnlyFilesOfTheLogFormAreRemoved) {
    dir.makeFile("notes.ntp", 1);
    dir.makeFile("20261206.ntp.bak", 1);
    dir.makeFile("abcdefgh.ntp", 1);
    dir.makeFile("20261201.ntp", 2);
    LogFile log(dir.path(), "ntp", 2, &fakeClock);
    log.writeLine("x");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"20261201.ntp", "20261206.ntp",
                                                     "20261206.ntp.bak", "notes.ntp"}));
}

TEST_F(LogFileTest, RemovalRunsOnlyWhenTheDayChanges) {
    LogFile log(dir.path(), "ntp", 2, &fakeClock);
    log.writeLine("first of the day");
    dir.makeFile("20261101.ntp", 1);
    dir.makeFile("20261102.ntp", 2);
    log.writeLine("second of the day");
    EXPECT_EQ(dir.names().size(), 3u);
    fakeDay = 7;
    log.writeLine("next day");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"20261206.ntp", "20261207.ntp"}));
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")),
              (std::vector<std::string>{"first of the day", "second of the day"}));
    const auto nextDay = textsOf(dir.file("20261207.ntp"));
    ASSERT_EQ(nextDay.size(), 3u);
    EXPECT_EQ(nextDay[2], "next day");
}

TEST_F(LogFileTest, AFileThatCannotBeDeletedIsReportedAndTheRestGoOn) {
    dir.makeFile("20261101.ntp", 1);
    dir.makeFile("20261102.ntp", 2);
    dir.makeFile("20261103.ntp", 3);
    SetFileAttributesA(dir.file("20261101.ntp").c_str(), FILE_ATTRIBUTE_READONLY);
    LogFile log(dir.path(), "ntp", 2, &fakeClock);
    log.writeLine("after");
    const std::string d(dir.path());
    const std::string denied =
        LastErrorException("DeleteFile", ERROR_ACCESS_DENIED, "%a: %r").what();
    EXPECT_EQ(textsOf(dir.file("20261206.ntp")),
              (std::vector<std::string>{"Removing log file: " + d + "\\20261101.ntp", denied,
                                        "Removing log file: " + d + "\\20261102.ntp", "after"}));
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"20261101.ntp", "20261103.ntp", "20261206.ntp"}));
}

TEST_F(LogFileTest, LinesAreDroppedWhileTheDirectoryIsMissingOrAFile) {
    const std::string missing = dir.file("missing");
    {
        LogFile intoMissing(missing.c_str(), "ntp", 3, &fakeClock);
        intoMissing.writeLine("dropped");
        intoMissing.writeFormatted("%s", "dropped");
        intoMissing.writeException(SimpleException("dropped"));
        EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
        // Once the folder exists, the same day's next line is written.
        ASSERT_TRUE(CreateDirectoryA(missing.c_str(), nullptr));
        intoMissing.writeLine("written");
    }
    EXPECT_EQ(textsOf(missing + "\\20261206.ntp"), std::vector<std::string>{"written"});
    DeleteFileA((missing + "\\20261206.ntp").c_str());
    RemoveDirectoryA(missing.c_str());

    dir.makeFile("plainfile", 1);
    const std::string file = dir.file("plainfile");
    LogFile intoFile(file.c_str(), "ntp", 3, &fakeClock);
    intoFile.writeLine("dropped");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"plainfile"});
}

TEST_F(LogFileTest, AFileOpenedLateInTheDayRemovesOldFilesAsAtTheChangeOfDay) {
    TempDirectory late;
    ASSERT_TRUE(RemoveDirectoryA(late.path()));
    LogFile log(late.path(), "ntp", 2, &fakeClock);
    log.writeLine("dropped");
    // The folder comes back (a share reconnected, a disk put back) with older days in it.
    ASSERT_TRUE(CreateDirectoryA(late.path(), nullptr));
    late.makeFile("20261101.ntp", 1);
    late.makeFile("20261102.ntp", 2);
    late.makeFile("20261103.ntp", 3);
    log.writeLine("written");
    EXPECT_EQ(late.names(), (std::vector<std::string>{"20261103.ntp", "20261206.ntp"}));
    // Once open, the file stays the day's file: no further removal until the next day.
    late.makeFile("20261104.ntp", 4);
    log.writeLine("next");
    const std::string d(late.path());
    EXPECT_EQ(textsOf(late.file("20261206.ntp")),
              (std::vector<std::string>{"Removing log file: " + d + "\\20261101.ntp",
                                        "Removing log file: " + d + "\\20261102.ntp", "written",
                                        "next"}));
    EXPECT_EQ(late.names().size(), 3u);
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveLines) {
    LogFile log(dir.path(), "ntp", 0, &fakeClock);
    const int perThread = 200;
    auto writer = [&log](char tag) {
        const std::string text(100, tag);
        for (int i = 0; i < perThread; ++i) {
            if (i % 2 == 0) {
                log.writeLine(text.c_str());
            } else {
                log.writeFormatted("%s", text.c_str());
            }
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const auto texts = textsOf(dir.file("20261206.ntp"));
    ASSERT_EQ(texts.size(), 2u * perThread);
    for (const std::string& text : texts) {
        ASSERT_TRUE(text == std::string(100, 'a') || text == std::string(100, 'b')) << text;
    }
}
