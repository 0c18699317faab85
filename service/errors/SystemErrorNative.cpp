#include "service/errors/ErrorText.h"

namespace {

// Stands in for the per-thread last error of Windows.
thread_local std::uint32_t lastError = 0;

} // namespace

std::size_t systemMessageText(std::uint32_t, char*, std::size_t) {
    return 0;
}

std::uint32_t lastSystemError() {
    return lastError;
}

void setLastSystemError(std::uint32_t code) {
    lastError = code;
}
