// What every harness shares: a reader that takes the fuzz input from the front, field by field,
// so that seeds can be written by hand, and the check that stops the run on a broken promise.
#pragma once

#include "common/PlatformTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Each harness's entry point, called by libFuzzer or by the seed replay of the native tests.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Aborts with the broken condition: libFuzzer then saves the input as a crash.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : fuzzCheckFailed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, condition);
    std::abort();
}

// Past the end of the input every number reads as 0 and every text as empty, so any input is
// a complete case.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - position_; }

    std::uint8_t byte() { return remaining() > 0 ? data_[position_++] : 0; }
    // Little-endian, as the registry and the platform records store them.
    std::uint16_t word() {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t dword() {
        const std::uint32_t low = word();
        return low | std::uint32_t{word()} << 16;
    }
    std::uint64_t qword() {
        const std::uint64_t low = dword();
        return low | std::uint64_t{dword()} << 32;
    }

    // Up to count bytes, fewer when the input ends first.
    std::string bytes(std::size_t count) {
        const std::size_t taken = count < remaining() ? count : remaining();
        std::string result(reinterpret_cast<const char*>(data_ + position_), taken);
        position_ += taken;
        return result;
    }
    // A length byte, then that many bytes.
    std::string shortText() { return bytes(byte()); }
    // Everything that is left.
    std::string rest() { return bytes(remaining()); }

    SYSTEMTIME systemTime() {
        SYSTEMTIME t{};
        t.wYear = word();
        t.wMonth = word();
        t.wDayOfWeek = word();
        t.wDay = word();
        t.wHour = word();
        t.wMinute = word();
        t.wSecond = word();
        t.wMilliseconds = word();
        return t;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};
