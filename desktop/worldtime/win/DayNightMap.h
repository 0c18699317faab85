// The clock's map with its night side darkened: a 32-bit DIB section made from the map
// bitmap, drawn again for an instant at most once a minute.
#pragma once

#include "win32/Gdi.h"

#include <windows.h>

#include <cstdint>
#include <vector>

class DayNightMap {
public:
    // Copies the day map's pixels; an unreadable map gives an empty one (size 0 x 0).
    explicit DayNightMap(HBITMAP day);

    HBITMAP bitmap() const { return m_bitmap.get(); }
    SIZE size() const { return m_size; }
    // Darkens the night side for the UTC instant; true when it drew, which is the first time
    // and in every minute other than the last drawn one.
    bool update(const SYSTEMTIME& utc);
    // A pixel as 0x00RRGGBB, from the top-left.
    std::uint32_t pixel(int x, int y) const;

private:
    SIZE m_size{};
    std::vector<std::uint32_t> m_day;
    std::uint32_t* m_bits = nullptr; // the DIB section's pixels, owned by m_bitmap
    BitmapHandle m_bitmap;
    long long m_drawnMinute = -1;
};
