// What an NTS key exchange costs the service: COUNT exchanges in a row with a server, as a
// poll makes one (connection, TLS 1.3 handshake with the certificate check, records, exporter),
// each timed from the connect to the keys. Prints one line per exchange, then:
//   roots_ms=<reading the machine's ROOT store once> roots=<certificates in it>
//   context_ms=<making the TLS context with the trusted certificates, once>
//   exchanges=<succeeded> median_ms=<median> p90_ms=<90th percentile> min_ms=<..> max_ms=<..>
//   request_us=<median time to build an authenticated request> requests=<how many were built>,
//   one for each cookie of the last exchange (the service reads the clock again after it)
// Usage: nts-ke-bench ADDRESS CA-FILE [COUNT] [--machine-roots] [--port PORT]
// CA-FILE: the PEM file that the certificate must chain to (as NTSTrustedCertificates);
// --machine-roots: the machine's roots trusted too, as the service does (it loads them into
// its TLS context once, which context_ms times). Exit code 0 only when every exchange
// succeeded.
#include "service/engine/win/NtsSessions.h"
#include "service/engine/win/ServerAddress.h"
#include "service/engine/win/WinsockGuards.h"
#include "service/nts/NtsAssociation.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

double milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& rate) {
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(rate.QuadPart);
}

// Linear interpolation between the closest ranks, as the Python scripts compute it.
double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const double position = static_cast<double>(values.size() - 1) * fraction;
    const auto low = static_cast<std::size_t>(position);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (position - static_cast<double>(low));
}

int run(int argc, char** argv) {
    std::vector<std::string> positional;
    bool machineRoots = false;
    std::uint16_t port = 4460;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--machine-roots") == 0) {
            machineRoots = true;
        } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    if (positional.size() < 2 || positional.size() > 3) {
        std::fprintf(stderr, "usage: nts-ke-bench ADDRESS CA-FILE [COUNT] [--machine-roots] "
                             "[--port PORT]\n");
        return 2;
    }
    const std::string& name = positional[0];
    const int count =
        std::clamp(positional.size() > 2 ? std::atoi(positional[2].c_str()) : 50, 1, 10000);

    WinsockSession winsock(1, 1);
    const std::vector<ServerAddress> addresses = resolveServer(name, port);
    if (addresses.empty()) {
        std::fprintf(stderr, "%s does not resolve\n", name.c_str());
        return 2;
    }

    LARGE_INTEGER rate, before, after;
    QueryPerformanceFrequency(&rate);
    QueryPerformanceCounter(&before);
    const std::vector<nts::Bytes> roots = machineTrustedRoots();
    QueryPerformanceCounter(&after);
    std::printf("roots_ms=%.3f roots=%zu\n", milliseconds(before, after, rate), roots.size());

    std::string problem;
    QueryPerformanceCounter(&before);
    const std::unique_ptr<nts::KeContext> context = nts::KeContext::make(
        machineRoots ? roots : std::vector<nts::Bytes>{}, positional[1], problem);
    QueryPerformanceCounter(&after);
    if (!context) {
        std::printf("no context: %s\n", problem.c_str());
        return 1;
    }
    std::printf("context_ms=%.3f\n", milliseconds(before, after, rate));
    const NtsSessions::Stopped never = [] { return false; };
    std::vector<double> times;
    nts::KeResult last;
    for (int i = 1; i <= count; ++i) {
        QueryPerformanceCounter(&before);
        const nts::KeResult result = exchangeNtsKeys(addresses.front(), name, *context, true,
                                                     NtsSessions::keyExchangeMilliseconds, never);
        QueryPerformanceCounter(&after);
        const double ms = milliseconds(before, after, rate);
        if (!result.ok) {
            std::printf("exchange %d: failed after %.3f ms: %s\n", i, ms, result.problem.c_str());
            continue;
        }
        std::printf("exchange %d: %.3f ms, %zu cookies\n", i, ms, result.response.cookies.size());
        times.push_back(ms);
        last = result;
    }
    if (times.empty()) {
        std::printf("exchanges=0\n");
        return 1;
    }
    std::printf("exchanges=%zu median_ms=%.3f p90_ms=%.3f min_ms=%.3f max_ms=%.3f\n", times.size(),
                percentile(times, 0.5), percentile(times, 0.9),
                *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()));

    nts::Association association(last);
    std::array<std::uint8_t, nts::ntpHeaderSize> header{};
    header[0] = 0x23;
    std::vector<double> requests;
    while (association.cookies() > 0) {
        QueryPerformanceCounter(&before);
        const nts::Bytes request = association.request(header);
        QueryPerformanceCounter(&after);
        if (request.empty()) {
            break;
        }
        requests.push_back(1000 * milliseconds(before, after, rate));
    }
    if (!requests.empty()) {
        std::printf("request_us=%.1f requests=%zu\n", percentile(requests, 0.5), requests.size());
    }
    return static_cast<int>(times.size()) == count ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
