#include "service/host/win/LogFile.h"

#include "service/errors/BaseException.h"
#include "service/host/LogFileNames.h"

#include <cstdarg>
#include <cstring>

LogFile::LogFile(const char* directory, const char* extension, std::uint32_t keepCount, Clock clock)
    : directory_(directory), extension_(extension), keepCount_(keepCount), clock_(clock) {}

LogFile::Write::Write(LogFile& log) : log_(log), lock_(log.lock_) {
    log_.selectFile();
}

LogFile::Write::~Write() {
    if (ready()) {
        std::fflush(log_.stream_.get());
    }
}

void LogFile::writeException(const std::exception& e) {
    Write write(*this);
    if (write.ready()) {
        const char* text = e.what();
        writeStamped(text != nullptr ? text : "unidentified exception");
    }
}

void LogFile::writeLine(const char* text) {
    Write write(*this);
    if (write.ready()) {
        writeStamped(text != nullptr ? text : "");
    }
}

void LogFile::writeFormatted(const char* format, ...) {
    Write write(*this);
    if (write.ready()) {
        char text[formatBufferSize];
        va_list arguments;
        va_start(arguments, format);
        // wvsprintfA writes at most 1024 characters with the terminating zero.
        wvsprintfA(text, format != nullptr ? format : "", arguments);
        va_end(arguments);
        text[formatBufferSize - 1] = '\0';
        writeStamped(text);
    }
}

void LogFile::selectFile() {
    clock_(&stamp_);
    std::string name = dayFileName(directory_, extension_, stamp_);
    if (currentName_ && *currentName_ == name) {
        // A file that could not be opened (a missing or locked folder) is tried again at each
        // line, so that a folder put right during the day loses no more of that day's lines.
        // The folder that came back may hold old files: they go as at the change of day.
        if (stream_.get() == nullptr) {
            stream_.open(currentName_->c_str(), "a+");
            if (stream_.get() != nullptr && keepCount_ >= 2) {
                removeOldFiles();
            }
        }
        return;
    }
    currentName_ = std::move(name);
    stream_.open(currentName_->c_str(), "a+");
    if (keepCount_ >= 2) {
        removeOldFiles();
    }
}

void LogFile::writeStamped(const char* text) {
    std::FILE* file = stream_.get();
    if (file == nullptr) {
        return;
    }
    std::fputs(logLinePrefix(stamp_).c_str(), file);
    std::fputs(text, file);
    const std::size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n') {
        std::fputc('\n', file);
    }
}

void LogFile::removeOldFiles() {
    OldFileList kept(keepCount_);
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA(logFilePattern(directory_, extension_).c_str(), &found));
    if (!search.valid()) {
        return;
    }
    do {
        // A folder that happens to be named like a day's file is no log file.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !isLogFileName(found.cFileName, extension_)) {
            continue;
        }
        FILETIME lastWrite{found.ftLastWriteTime.dwLowDateTime,
                           found.ftLastWriteTime.dwHighDateTime};
        std::optional<std::string> gone =
            kept.offer(lastWrite, std::string_view(found.cFileName, 8));
        if (!gone) {
            continue;
        }
        std::string path = std::string(directory_) + "\\" + *gone + "." + extension_;
        writeStamped(("Removing log file: " + path).c_str());
        if (!DeleteFileA(path.c_str())) {
            LastErrorException failure("DeleteFile", "%a: %r");
            writeStamped(failure.what());
        }
    } while (FindNextFileA(search.get(), &found));
}
