#include "desktop/admin/UnitConversion.h"

#include <array>
#include <cctype>
#include <limits>

namespace {

constexpr std::array<std::uint32_t, 3> secondFactors{1, 60, 3600};
constexpr std::array<std::uint32_t, 4> millisecondFactors{1, 1000, 60000, 3600000};

} // namespace

std::uint32_t unitFactor(StoredUnit stored, int unitIndex) {
    if (unitIndex < 0) {
        return 1;
    }
    const auto index = static_cast<std::size_t>(unitIndex);
    if (stored == StoredUnit::seconds) {
        return index < secondFactors.size() ? secondFactors[index] : 1;
    }
    return index < millisecondFactors.size() ? millisecondFactors[index] : 1;
}

ShownValue showValue(StoredUnit stored, std::uint32_t value) {
    int unit = 0;
    if (stored == StoredUnit::milliseconds) {
        if (value == 0 || value % 1000 != 0) {
            return {value, 0};
        }
        value /= 1000;
        unit = 1;
    }
    // From seconds on the steps are the same: 60 to a minute, 60 to an hour.
    if (value == 0 || value % 60 != 0) {
        return {value, unit};
    }
    value /= 60;
    if (value % 60 != 0) {
        return {value, unit + 1};
    }
    return {value / 60, unit + 2};
}

std::optional<TypedValue> readTypedValue(const std::string& text, StoredUnit stored,
                                         int unitIndex) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Saturates far above any 32-bit product, so no length of digits can overflow.
    constexpr std::uint64_t saturation = std::uint64_t{1} << 40;
    std::uint64_t number = 0;
    bool anyDigit = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        anyDigit = true;
        number = number * 10 + static_cast<unsigned>(text[i] - '0');
        if (number > saturation) {
            number = saturation;
        }
    }
    if (negative && anyDigit && number > 0) {
        return TypedValue{0, 0u};
    }
    const std::uint64_t factor = unitFactor(stored, unitIndex);
    constexpr std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
    if (number * factor > largest) {
        const auto fitting = static_cast<std::uint32_t>(largest / factor);
        return TypedValue{static_cast<std::uint32_t>(fitting * factor), fitting};
    }
    return TypedValue{static_cast<std::uint32_t>(number * factor), std::nullopt};
}
