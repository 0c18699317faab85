#include "desktop/worldtime/win/StaticWorldClock.h"

#include "desktop/framework/WinApp.h"
#include "desktop/resources/resource.h"
#include "desktop/worldtime/NewsText.h"
#include "desktop/worldtime/ZoneTime.h"
#include "desktop/worldtime/win/DateTimePage.h"
#include "desktop/worldtime/win/GDIThread.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <iterator>
#include <vector>

namespace {

constexpr COLORREF labelColour = RGB(243, 85, 0);
constexpr COLORREF textColour = RGB(85, 243, 0);
constexpr COLORREF tickerColour = RGB(128, 128, 243);

enum class Field { hours, minutes, seconds, date };

// The clock's fields in the C library's own words for weekdays and months.
std::string formatted(Field field, const SYSTEMTIME& t) {
    std::tm time{};
    time.tm_year = t.wYear - 1900;
    time.tm_mon = t.wMonth - 1;
    time.tm_mday = t.wDay;
    time.tm_hour = t.wHour;
    time.tm_min = t.wMinute;
    time.tm_sec = t.wSecond;
    time.tm_wday = t.wDayOfWeek;
    char text[100] = {};
    switch (field) {
    case Field::hours:
        std::strftime(text, sizeof text, "%H", &time);
        break;
    case Field::minutes:
        std::strftime(text, sizeof text, "%M", &time);
        break;
    case Field::seconds:
        std::strftime(text, sizeof text, "%S", &time);
        break;
    case Field::date:
        std::strftime(text, sizeof text, "%A, %d. %B %Y", &time);
        break;
    }
    return text;
}

void textOut(HDC dc, int x, int y, const std::string& text) {
    TextOutA(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

// Draws one block of texts in that font and colour; a block whose font could not be made is
// left out.
void drawBlock(HDC dc, HFONT font, COLORREF colour, const std::function<void()>& draw) {
    if (font == nullptr) {
        return;
    }
    const SelectedObject selected(dc, font);
    SetTextColor(dc, colour);
    draw();
}

// The same in a font made for the block: for the layer, drawn once a second at most.
void drawBlock(HDC dc, LONG height, LONG width, LONG weight, COLORREF colour,
               const std::function<void()>& draw) {
    const FontHandle font = arialFont(height, width, weight);
    drawBlock(dc, font.get(), colour, draw);
}

} // namespace

namespace {

// The clock window inside its frame at 96 DPI with Windows' dialog font (297 x 155 dialog units
// of MS Sans Serif 8): the size that the texts' places and sizes were made for.
constexpr double designWidth = 440.0;
constexpr double designHeight = 246.0;
// How far beyond the right edge the ticker starts, in pixels of that size.
constexpr int tickerLead = 20;
// The map's size at 96 DPI.
constexpr SIZE designMapSize{465, 366};

// The map is shipped drawn at these scales, so that the usual display scales get it sharp.
struct ShippedMap {
    UINT id;
    double scale;
};
constexpr ShippedMap shippedMaps[] = {
    {IDB_WORLDMAP, 1.0}, {IDB_WORLDMAP_150, 1.5}, {IDB_WORLDMAP_200, 2.0}};

// The smallest map at least as large as the scale needs, stretched down with halftoning, stays
// sharp; beyond the largest, that one is stretched up.
UINT mapFor(double scale) {
    for (const ShippedMap& map : shippedMaps) {
        if (std::lround(designMapSize.cx * scale) <= std::lround(designMapSize.cx * map.scale)) {
            return map.id;
        }
    }
    return shippedMaps[std::size(shippedMaps) - 1].id;
}

} // namespace

CStaticWorldClock::CStaticWorldClock(CDateTimePage& page)
    : m_page(page), m_map(nullptr), m_mapDC(CreateCompatibleDC(nullptr)),
      m_layerDC(CreateCompatibleDC(nullptr)), m_pictureMapDC(CreateCompatibleDC(nullptr)) {}

CStaticWorldClock::~CStaticWorldClock() = default;

bool CStaticWorldClock::create(const RECT& area, UINT id) {
    const HWND window = CreateWindowExA(
        0, "STATIC", "",
        WS_CHILD | WS_VISIBLE | WS_DLGFRAME | WS_CLIPSIBLINGS | SS_CENTERIMAGE | SS_BITMAP,
        area.left, area.top, area.right - area.left, area.bottom - area.top, m_page.m_hWnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), AfxGetInstanceHandle(), nullptr);
    if (window == nullptr || !SubclassWindow(window)) {
        return false;
    }
    m_clientDC = GetDC(window);
    RECT client{};
    GetClientRect(window, &client);
    fitPicture(client.right, client.bottom);
    m_pRepaintThread = startRepaintThread(window, m_clientDC);
    if (m_pRepaintThread != nullptr) {
        m_pRepaintThread->setMovingAreas(m_movingAreas);
    }
    return true;
}

void CStaticWorldClock::useMap(UINT id) {
    BitmapHandle day(LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(id)));
    if (!day && id != IDB_WORLDMAP) {
        day.reset(LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDB_WORLDMAP)));
    }
    m_mapSelection.reset();
    m_map = DayNightMap(day.get());
    m_mapSelection.emplace(m_mapDC.get(), m_map.bitmap());
    m_mapSize = m_map.size();
    m_mapId = id;
}

int CStaticWorldClock::scaled(double length) const {
    return static_cast<int>(std::lround(length * m_scale));
}

void CStaticWorldClock::fitPicture(int width, int height) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    m_layerSelection.reset();
    m_pictureMapSelection.reset();
    // The texts keep their places relative to the window as it is at 96 DPI with Windows' dialog
    // font; the map, at least that scale, covers the window's whole width.
    m_scale = std::min(static_cast<double>(width) / designWidth,
                       static_cast<double>(height) / designHeight);
    m_mapScale = std::max(m_scale, static_cast<double>(width) / designMapSize.cx);
    if (const UINT map = mapFor(m_mapScale); map != m_mapId) {
        useMap(map);
    }
    m_pictureSize = {width, height};
    // The ticker comes in from just beyond the window's right edge.
    m_tickerStart = static_cast<int>(std::ceil(width / m_scale)) + tickerLead;
    m_layerBitmap.reset(CreateCompatibleBitmap(m_clientDC, width, height));
    m_backBitmap.reset(CreateCompatibleBitmap(m_clientDC, width, height));
    m_pictureMap.reset(CreateCompatibleBitmap(m_clientDC, width, height));
    m_layerSelection.emplace(m_layerDC.get(), m_layerBitmap.get());
    m_pictureMapSelection.emplace(m_pictureMapDC.get(), m_pictureMap.get());
    // The fonts of every painting, made once for the scale.
    m_digitFont = arialFont(scaled(110), scaled(50), 700);
    m_millisecondsFont = arialFont(scaled(30), scaled(15), 700);
    m_tickerFont = arialFont(scaled(15), scaled(7), 700);
    m_tickerMeasured = false; // the font's size changed with the scale
    m_movingAreas = movingAreas();
    if (m_pRepaintThread != nullptr) {
        m_pRepaintThread->setMovingAreas(m_movingAreas);
    }
    stretchMap();
}

std::vector<RECT> CStaticWorldClock::movingAreas() const {
    const HDC dc = m_layerDC.get();
    const auto extent = [dc](HFONT font, const std::string& text) {
        SIZE size{};
        if (font != nullptr) {
            const SelectedObject selected(dc, font);
            GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        }
        return size;
    };
    // Room for the glyphs' overhang beyond their cells.
    const int margin = scaled(4) + 1;
    const auto around = [margin](int x, int y, SIZE size) {
        return RECT{x - margin, y - margin, x + size.cx + margin, y + size.cy + margin};
    };
    const SIZE colon = extent(m_digitFont.get(), ":");
    const SIZE tickerLine = extent(m_tickerFont.get(), "N");
    return {
        around(scaled(129), scaled(50), colon), around(scaled(276), scaled(50), colon),
        around(scaled(370), scaled(158), extent(m_millisecondsFont.get(), millisecondsText(888))),
        RECT{0, scaled(220) - margin, m_pictureSize.cx, scaled(220) + tickerLine.cy + margin}};
}

void CStaticWorldClock::stretchMap() {
    const HDC picture = m_pictureMapDC.get();
    // What the map's shape leaves below it stays dark like the sea.
    PatBlt(picture, 0, 0, m_pictureSize.cx, m_pictureSize.cy, BLACKNESS);
    const int mapWidth = static_cast<int>(std::lround(designMapSize.cx * m_mapScale));
    const int mapHeight = static_cast<int>(std::lround(designMapSize.cy * m_mapScale));
    if (mapWidth == m_mapSize.cx && mapHeight == m_mapSize.cy) {
        BitBlt(picture, 0, 0, mapWidth, mapHeight, m_mapDC.get(), 0, 0, SRCCOPY);
    } else {
        SetStretchBltMode(picture, HALFTONE);
        SetBrushOrgEx(picture, 0, 0, nullptr);
        StretchBlt(picture, 0, 0, mapWidth, mapHeight, m_mapDC.get(), 0, 0, m_mapSize.cx,
                   m_mapSize.cy, SRCCOPY);
    }
    m_stillTexts = {}; // the kept layer is drawn again over it
}

void CStaticWorldClock::stopRepainting() {
    if (m_pRepaintThread != nullptr) {
        m_pRepaintThread->StopThread();
        m_pRepaintThread = nullptr;
        InvalidateRect(m_hWnd, nullptr, TRUE);
    }
    if (m_clientDC != nullptr) {
        ReleaseDC(m_hWnd, m_clientDC);
        m_clientDC = nullptr;
    }
}

LRESULT CStaticWorldClock::windowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        paint();
        return 0;
    case WM_ERASEBKGND:
        return TRUE; // the painting covers everything: no flicker
    case WM_SIZE:
        // A new DPI gives the window another size: the picture is drawn anew for it.
        if (m_clientDC != nullptr &&
            (LOWORD(lParam) != m_pictureSize.cx || HIWORD(lParam) != m_pictureSize.cy)) {
            fitPicture(LOWORD(lParam), HIWORD(lParam));
        }
        return Default();
    case WM_TICKER_RESTARTS:
        return m_tickerRestarts;
    case WM_GETTEXTLENGTH:
        // The window's text is the ticker line, for screen readers and tests.
        return static_cast<LRESULT>(m_page.m_tickerText.size());
    case WM_GETTEXT: {
        // The subclass gets the text messages in Unicode when the common controls made the
        // window so: the ticker's single-byte text is then widened into the caller's buffer.
        const auto capacity = static_cast<int>(wParam);
        if (capacity <= 0) {
            return 0;
        }
        const std::string& ticker = m_page.m_tickerText;
        const int length = std::min(capacity - 1, static_cast<int>(ticker.size()));
        if (!IsWindowUnicode(m_hWnd)) {
            auto* out = reinterpret_cast<char*>(lParam);
            ticker.copy(out, static_cast<std::size_t>(length));
            out[length] = '\0';
            return length;
        }
        auto* out = reinterpret_cast<wchar_t*>(lParam);
        const int written = MultiByteToWideChar(CP_ACP, 0, ticker.data(), length, out, length);
        out[written] = L'\0';
        return written;
    }
    case WM_DESTROY:
        stopRepainting();
        return Default();
    default:
        return CStatic::windowProc(message, wParam, lParam);
    }
}

void CStaticWorldClock::measureTicker(HDC dc) {
    const std::string& ticker = m_page.m_tickerText;
    std::vector<INT> ends(ticker.size());
    SIZE extent{};
    if (ticker.empty() || !GetTextExtentExPointA(dc, ticker.data(), static_cast<int>(ticker.size()),
                                                 0, nullptr, ends.data(), &extent)) {
        ends.clear();
    }
    m_tickerEnds.assign(ends.begin(), ends.end());
    m_tickerMeasured = true;
}

void CStaticWorldClock::paint() {
    // The string table is read once; a painting about every 8 ms need not read it again.
    auto text = [this](unsigned entry) -> const std::string& {
        auto found = m_strings.find(entry);
        if (found == m_strings.end()) {
            found = m_strings.emplace(entry, loadString(entry)).first;
        }
        return found->second;
    };

    // The instant and the names to show.
    SYSTEMTIME now;
    GetSystemTime(&now);
    // Day and night move once a minute: then the kept layer is drawn again over the new map.
    if (m_map.update(now)) {
        stretchMap();
    }
    SYSTEMTIME shown = now;
    std::int32_t bias = 0;
    std::int32_t daylightOffset = 0;
    const std::string notSet = "Not set for this time zone! ";
    std::string ruleStart = notSet;
    std::string ruleEnd = notSet;
    const int zone = m_page.m_selectedZone;
    const bool utcMode = m_page.m_displayMode == text(IDS_SHOW_UTC);
    if (zone >= 0 && static_cast<std::size_t>(zone) < m_page.m_catalogue.size()) {
        const auto position = static_cast<std::size_t>(zone);
        const ZoneRecord record = m_page.m_catalogue.zone(position);
        const ZoneTime time = zoneTimeAt(now, record);
        shown = time.wallClock;
        bias = record.bias;
        m_zoneName = time.daylight ? m_page.m_catalogue.daylightNames[position]
                                   : m_page.m_catalogue.standardNames[position];
        if (hasDaylightSaving(record)) {
            daylightOffset = record.daylightBias;
            ruleStart = ruleLine("Start: ", record.daylightStart, time.daylightStart, text);
            ruleEnd = ruleLine("End:  ", record.standardStart, time.standardStart, text);
        }
    } else if (!utcMode) {
        GetLocalTime(&shown);
    }
    // Without a zone: UTC by its name, or the computer's own zone.
    const std::string zoneName = zone >= 0 ? m_zoneName
                                 : utcMode ? text(IDS_UTC_NAME)
                                           : m_page.m_currentStandardName;
    const std::string& minutes = text(IDS_MINUTES);
    const StillTexts still{formatted(Field::hours, shown),
                           formatted(Field::minutes, shown),
                           formatted(Field::seconds, shown),
                           zoneName,
                           offsetText(bias, minutes),
                           offsetText(daylightOffset, minutes),
                           formatted(Field::date, shown),
                           ruleStart,
                           ruleEnd};
    // All but the colons, the milliseconds and the ticker changes once a second at most: that
    // layer is drawn again only when one of its texts has changed.
    if (still != m_stillTexts) {
        drawStillLayer(still, text);
        m_stillTexts = still;
        InvalidateRect(m_hWnd, nullptr, FALSE);
    }

    // Between the still layer's changes only the moving parts are invalidated: the picture is
    // composed and copied there alone, which keeps a large clock as cheap as a small one.
    const RegionHandle update(CreateRectRgn(0, 0, 0, 0));
    if (update) {
        GetUpdateRgn(m_hWnd, update.get(), FALSE);
    }
    PAINTSTRUCT paintStruct;
    const HDC dc = BeginPaint(m_hWnd, &paintStruct);
    const int right = paintStruct.rcPaint.right;
    const int bottom = paintStruct.rcPaint.bottom;
    {
        const MemoryDC bufferDC(CreateCompatibleDC(dc));
        const HDC buffer = bufferDC.get();
        const SelectedObject back(buffer, m_backBitmap.get());
        if (update) {
            SelectClipRgn(buffer, update.get());
        }
        BitBlt(buffer, 0, 0, right, bottom, m_layerDC.get(), 0, 0, SRCCOPY);
        SetBkMode(buffer, TRANSPARENT);
        drawBlock(buffer, m_digitFont.get(), textColour, [&] {
            // The colons fade from full green to almost black within each second.
            SetTextColor(buffer, RGB(0, 255 - now.wMilliseconds * 255 / 1000, 0));
            textOut(buffer, scaled(129), scaled(50), ":");
            textOut(buffer, scaled(276), scaled(50), ":");
        });
        drawBlock(buffer, m_millisecondsFont.get(), textColour, [&] {
            textOut(buffer, scaled(370), scaled(158), millisecondsText(now.wMilliseconds));
        });
        drawBlock(buffer, m_tickerFont.get(), tickerColour, [&] {
            std::string& ticker = m_page.m_tickerText;
            // Measured once per text: where each character ends.
            if (!m_tickerMeasured) {
                measureTicker(buffer);
            }
            // The ticker moves one pixel of the 465-pixel picture a painting, at any scale.
            const std::int32_t width =
                m_tickerEnds.empty() ? 0 : static_cast<std::int32_t>(m_tickerEnds.back() / m_scale);
            std::int32_t offset = m_tickerOffset;
            if (advanceTicker(offset, width, m_tickerStart)) {
                // A new text only as the old one starts again.
                if (takeNewsText(ticker)) {
                    measureTicker(buffer);
                }
                ++m_tickerRestarts;
            }
            m_tickerOffset = offset;
            const TickerSpan span =
                visibleTickerSpan(m_tickerEnds, scaled(m_tickerStart - m_tickerOffset), right);
            TextOutA(buffer, span.x, scaled(220), ticker.data() + span.first,
                     static_cast<int>(span.count));
        });

        // The painting's device context is clipped to the update region: one copy is enough.
        BitBlt(dc, 0, 0, right, bottom, buffer, 0, 0, SRCCOPY);
    }
    EndPaint(m_hWnd, &paintStruct);
}

void CStaticWorldClock::drawStillLayer(const StillTexts& still,
                                       const std::function<const std::string&(unsigned)>& text) {
    const HDC layer = m_layerDC.get();
    BitBlt(layer, 0, 0, m_pictureSize.cx, m_pictureSize.cy, m_pictureMapDC.get(), 0, 0, SRCCOPY);
    SetBkMode(layer, TRANSPARENT);
    drawBlock(layer, scaled(18), scaled(8), 0, labelColour, [&] {
        textOut(layer, scaled(17), scaled(15), text(IDS_TIMEZONE));
        textOut(layer, scaled(17), scaled(44), text(IDS_UTC_BIAS));
        textOut(layer, scaled(237), scaled(44), text(IDS_DST_BIAS));
        textOut(layer, scaled(17), scaled(161), text(IDS_DATE));
        textOut(layer, scaled(17), scaled(190), text(IDS_DST));
    });
    drawBlock(layer, scaled(110), scaled(50), 700, textColour, [&] {
        textOut(layer, scaled(17), scaled(58), still.hours);
        textOut(layer, scaled(162), scaled(58), still.minutes);
        textOut(layer, scaled(309), scaled(58), still.seconds);
    });
    drawBlock(layer, scaled(18), scaled(8), 700, textColour, [&] {
        textOut(layer, scaled(121), scaled(15), still.zoneName);
        textOut(layer, scaled(121), scaled(44), still.bias);
        textOut(layer, scaled(331), scaled(44), still.daylightBias);
        textOut(layer, scaled(71), scaled(161), still.date);
    });
    drawBlock(layer, scaled(12), scaled(7), 700, textColour, [&] {
        textOut(layer, scaled(71), scaled(185), still.ruleStart);
        textOut(layer, scaled(71), scaled(198), still.ruleEnd);
    });
}
