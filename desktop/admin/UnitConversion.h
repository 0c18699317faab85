// The settings page shows an interval or a limit as a number with a unit from a list, and
// stores it in milliseconds or seconds. Portable, so the rules are tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class StoredUnit {
    seconds,      // units: Seconds, Minutes, Hours
    milliseconds, // units: Milliseconds, Seconds, Minutes, Hours
};

// The factor of a unit list's entry; an index without an entry (no selection) counts as 1.
std::uint32_t unitFactor(StoredUnit stored, int unitIndex);

struct ShownValue {
    std::uint32_t number;
    int unitIndex;
};

// The largest unit in which the value is a whole number: 900000 ms as 15 Minutes, 7200 s as
// 2 Hours, 0 in the smallest unit.
ShownValue showValue(StoredUnit stored, std::uint32_t value);

struct TypedValue {
    std::uint32_t stored; // the number times the unit's factor
    // Set when the typed number had to be changed to fit: negative numbers become 0, numbers
    // whose product does not fit into 32 bits become the largest that does in that unit. The
    // page then shows this number instead of what was typed.
    std::optional<std::uint32_t> correctedNumber;
};

// Reads the number of an edit the way atoi does (leading blanks, a sign, digits; no digits
// give 0) and multiplies it by the unit's factor. Empty text gives none: nothing changes.
std::optional<TypedValue> readTypedValue(const std::string& text, StoredUnit stored, int unitIndex);
