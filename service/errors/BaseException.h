// The one exception family of Pendra. Thrown by value, caught as std::exception by reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

class BaseException : public std::exception {
public:
    ~BaseException() override = default;
    // True when what() gives a text.
    virtual bool hasMessage() const;
    // Line 0 is what(); every other line is none.
    virtual const char* messageLine(unsigned line) const;
};

// A failed system call: names the call and formats the system's text for the error code.
class LastErrorException : public BaseException {
public:
    // Takes the error code from the calling thread's last error: construct right after the
    // failing call.
    LastErrorException(const char* functionName, const char* messageFormat);
    LastErrorException(const char* functionName, std::uint32_t errorCode,
                       const char* messageFormat);
    // A copy formats its own text on its first what().
    LastErrorException(const LastErrorException& other);
    LastErrorException& operator=(const LastErrorException& other);
    ~LastErrorException() override = default;

    const char* what() const noexcept override;

    const char* functionName() const { return functionName_; }
    std::uint32_t errorCode() const { return errorCode_; }

    static constexpr std::size_t messageCapacity = 255;

private:
    mutable char message_[messageCapacity + 1] = {};
    mutable bool formatted_ = false;
    const char* functionName_;
    const char* messageFormat_;
    std::uint32_t errorCode_;
};

// A failure with a fixed, static text.
class SimpleException : public BaseException {
public:
    explicit SimpleException(const char* message) : message_(message) {}
    ~SimpleException() override = default;
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};
