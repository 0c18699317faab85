// Every line of Pendra goes through a Logger. This base discards everything: it is the logger
// when logging is switched off, so call sites need no test.
#pragma once

#include <exception>

class Logger {
public:
    Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    virtual ~Logger() = default;

    virtual void writeException(const std::exception&) {}
    virtual void writeLine(const char*) {}
    // printf-style, with the conversions of wvsprintfA (no floating point); at most 1023
    // characters are kept.
    virtual void writeFormatted(const char*, ...) __attribute__((format(printf, 2, 3))) {}
};
