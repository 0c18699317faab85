// The key exchange's response as it arrives over TLS, in pieces of any size: the reader never
// reads outside what it was given, a failed or finished response stays so, and what a complete
// one holds keeps the reader's limits.
//
// Input: pieces, each a length byte and that many bytes.
#include "fuzz/FuzzInput.h"
#include "service/nts/NtsKeRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    nts::KeResponseReader reader;
    while (input.remaining() > 0) {
        const std::string piece = input.shortText();
        const auto before = reader.state();
        const auto after =
            reader.feed(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
        FUZZ_CHECK(after == reader.state());
        FUZZ_CHECK(before != nts::KeResponseReader::State::failed ||
                   after == nts::KeResponseReader::State::failed);
        FUZZ_CHECK(before != nts::KeResponseReader::State::complete || piece.empty() ||
                   after == nts::KeResponseReader::State::failed);
    }
    if (reader.state() == nts::KeResponseReader::State::failed) {
        FUZZ_CHECK(!reader.problem().empty());
        for (const char c : reader.problem()) {
            FUZZ_CHECK(c >= 0x20 && c < 0x7F);
        }
    }
    if (reader.state() == nts::KeResponseReader::State::complete) {
        const nts::KeResponse& response = reader.response();
        FUZZ_CHECK(!response.cookies.empty() && response.cookies.size() <= nts::maxCookies);
        for (const nts::Bytes& cookie : response.cookies) {
            FUZZ_CHECK(!cookie.empty() && cookie.size() <= nts::maxCookieSize);
        }
        FUZZ_CHECK(response.port != 0);
        FUZZ_CHECK(response.server.find_first_of(" \r\n") == std::string::npos);
    }
    return 0;
}
