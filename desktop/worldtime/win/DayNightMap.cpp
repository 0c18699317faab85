#include "desktop/worldtime/win/DayNightMap.h"

#include "desktop/worldtime/DayNight.h"

namespace {

BITMAPINFO topDown32(SIZE size) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy; // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

} // namespace

DayNightMap::DayNightMap(HBITMAP day) {
    BITMAP description{};
    if (day == nullptr || GetObjectA(day, sizeof description, &description) == 0 ||
        description.bmWidth <= 0 || description.bmHeight <= 0) {
        return;
    }
    const SIZE size{description.bmWidth, description.bmHeight};
    BITMAPINFO info = topDown32(size);
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size.cx) *
                                      static_cast<std::size_t>(size.cy));
    const MemoryDC reader(CreateCompatibleDC(nullptr));
    if (!reader || GetDIBits(reader.get(), day, 0, static_cast<UINT>(size.cy), pixels.data(), &info,
                             DIB_RGB_COLORS) != size.cy) {
        return;
    }
    void* bits = nullptr;
    info = topDown32(size);
    BitmapHandle section(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!section || bits == nullptr) {
        return;
    }
    m_bits = static_cast<std::uint32_t*>(bits);
    std::copy(pixels.begin(), pixels.end(), m_bits);
    m_day = std::move(pixels);
    m_bitmap = std::move(section);
    m_size = size;
}

bool DayNightMap::update(const SYSTEMTIME& utc) {
    if (m_bits == nullptr) {
        return false;
    }
    FILETIME stamp{};
    SystemTimeToFileTime(&utc, &stamp);
    const long long minute = static_cast<long long>(
        (static_cast<ULONGLONG>(stamp.dwHighDateTime) << 32 | stamp.dwLowDateTime) / 600000000ULL);
    if (minute == m_drawnMinute) {
        return false;
    }
    shadeNight(m_day.data(), m_bits, m_size.cx, m_size.cy, subsolarPoint(utc));
    GdiFlush(); // the DIB section's pixels are written directly: GDI must not hold older ones
    m_drawnMinute = minute;
    return true;
}

std::uint32_t DayNightMap::pixel(int x, int y) const {
    if (m_bits == nullptr || x < 0 || y < 0 || x >= m_size.cx || y >= m_size.cy) {
        return 0;
    }
    return m_bits[static_cast<std::size_t>(y) * static_cast<std::size_t>(m_size.cx) +
                  static_cast<std::size_t>(x)] &
           0x00FFFFFFu;
}
