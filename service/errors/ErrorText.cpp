#include "service/errors/ErrorText.h"

#include <atomic>
#include <cstdio>
#include <cstring>

const WinsockErrorText winsockErrorTexts[50] = {
    {10013, "Permission denied."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10047, "Address family not supported by protocol family."},
    {10037, "Operation already in progress."},
    {10053, "Software caused connection abort."},
    {10061, "Connection refused."},
    {10054, "Connection reset by peer."},
    {10039, "Destination address required."},
    {10014, "Bad address."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10036, "Operation now in progress."},
    {10004, "Interrupted function call."},
    {10022, "Invalid argument."},
    {10056, "Socket is already connected."},
    {10024, "Too many open files."},
    {10040, "Message too long."},
    {10050, "Network is down."},
    {10052, "Network dropped connection on reset."},
    {10051, "Network is unreachable."},
    {10055, "No buffer space available."},
    {10042, "Bad protocol option."},
    {10057, "Socket is not connected."},
    {10038, "Socket operation on non-socket."},
    {10045, "Operation not supported."},
    {10046, "Protocol family not supported."},
    {10067, "Too many processes."},
    {10043, "Protocol not supported."},
    {10041, "Protocol wrong type for socket."},
    {10058, "Cannot send after socket shutdown."},
    {10044, "Socket type not supported."},
    {10060, "Connection timed out."},
    {10035, "Resource temporarily unavailable."},
    {11001, "Host not found."},
    {6, "Specified event object handle is invalid."},
    {87, "One or more parameters are invalid."},
    {997, "Overlapped operations will complete later."},
    {996, "Overlapped I/O event object not in signaled state."},
    {8, "Insufficient memory available."},
    {10093, "Successful WSAStartup not yet performed."},
    {11004, "Valid name, no data record of requested type."},
    {11003, "This is a non-recoverable error."},
    {10107, "System call failure."},
    {10091, "Network subsystem is unavailable."},
    {11002, "Non-authoritative host not found."},
    {10092, "WINSOCK.DLL version out of range."},
    {10101, "Graceful shutdown in progress."},
    {995, "Overlapped operation aborted."},
    {0, nullptr},
};

namespace {

// Read by any thread that formats an exception; replaced by tests.
std::atomic<SystemMessageLookup> currentLookup{&systemMessageText};

constexpr std::size_t systemTextCapacity = 1024;

// The system's text with its line breaks turned into blanks and the trailing blanks dropped;
// 0 when the system has none.
std::size_t systemText(std::uint32_t code, char (&buffer)[systemTextCapacity]) {
    const SystemMessageLookup lookup = currentLookup.load();
    if (lookup == nullptr)
        return 0;
    std::size_t length = lookup(code, buffer, systemTextCapacity);
    // A lookup that claims more than it wrote must not make us read past the text.
    if (length > systemTextCapacity - 1)
        length = systemTextCapacity - 1;
    if (const void* zero = std::memchr(buffer, '\0', length))
        length = static_cast<std::size_t>(static_cast<const char*>(zero) - buffer);
    for (std::size_t i = 0; i < length; ++i) {
        if (buffer[i] == '\r' || buffer[i] == '\n')
            buffer[i] = ' ';
    }
    while (length > 0 && buffer[length - 1] == ' ')
        --length;
    return length;
}

const char* tableText(std::uint32_t code) {
    for (const WinsockErrorText* entry = winsockErrorTexts; entry->text != nullptr; ++entry) {
        if (entry->code == code)
            return entry->text;
    }
    return nullptr;
}

} // namespace

SystemMessageLookup setSystemMessageLookup(SystemMessageLookup lookup) {
    return currentLookup.exchange(lookup);
}

std::size_t formatErrorText(std::uint32_t code, char* out, std::size_t maxCount) {
    char buffer[systemTextCapacity] = {};
    std::size_t length = systemText(code, buffer);
    // A system text made only of line breaks is no text: fall back like a missing one.
    if (length == 0) {
        if (const char* text = tableText(code)) {
            length = std::strlen(text);
            std::memcpy(buffer, text, length);
        } else {
            const int written = std::snprintf(buffer, sizeof buffer, "Unknown error code 0x%08lx",
                                              static_cast<unsigned long>(code));
            length = written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }
    if (out == nullptr)
        return 0;
    const std::size_t count = length < maxCount ? length : maxCount;
    std::memcpy(out, buffer, count);
    return count;
}
