// The help context of a page or dialog: 0x20000 plus its template id. Portable.
#pragma once

#include <cstdint>

constexpr std::uint32_t helpContextOf(unsigned templateId) {
    return 0x20000u + templateId;
}
