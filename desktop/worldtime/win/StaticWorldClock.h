// The world clock over the map: the time of the zone shown with its names, offsets, date and
// daylight-saving rule, and the ticker line, drawn anew at each painting into a buffer bitmap
// that is copied to the screen in one step.
#pragma once

#include "desktop/framework/Static.h"
#include "desktop/worldtime/win/DayNightMap.h"
#include "win32/Gdi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class CDateTimePage;
class CBallThread;

// A test hook: the clock window answers this message with how often its ticker has started
// again, so that a test can wait for a restart.
constexpr UINT WM_TICKER_RESTARTS = WM_APP + 1;

class CStaticWorldClock : public CStatic {
public:
    explicit CStaticWorldClock(CDateTimePage& page);
    ~CStaticWorldClock() override;

    // Makes the window over a rectangle of the page and starts its repaint thread.
    bool create(const RECT& area, UINT id);
    // The resource number of the map bitmap drawn at the window's size.
    UINT mapId() const { return m_mapId; }

protected:
    LRESULT windowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // The texts that change once a second at most.
    struct StillTexts {
        std::string hours, minutes, seconds, zoneName, bias, daylightBias, date, ruleStart, ruleEnd;
        bool operator==(const StillTexts&) const = default;
    };

    void paint();
    void drawStillLayer(const StillTexts& still,
                        const std::function<const std::string&(unsigned)>& text);
    void stopRepainting();
    void measureTicker(HDC dc);
    // Sizes the picture to the window: the map and every text in proportion to its width.
    void fitPicture(int width, int height);
    // The map at the picture's size, after day and night moved or the size changed.
    void stretchMap();
    // The parts of the picture that change between paintings: the two colons, the milliseconds
    // and the ticker's line.
    std::vector<RECT> movingAreas() const;
    // Takes the map bitmap with that resource number (the one of 96 DPI when it cannot).
    void useMap(UINT id);
    // A length of the picture as made for 96 DPI, at the window's scale.
    int scaled(double length) const;

    CDateTimePage& m_page;
    HDC m_clientDC = nullptr;
    CBallThread* m_pRepaintThread = nullptr;
    // In this order: the selections go first, then the DCs, then the bitmaps.
    DayNightMap m_map;
    BitmapHandle m_backBitmap;
    BitmapHandle m_layerBitmap;
    BitmapHandle m_pictureMap;
    MemoryDC m_mapDC;
    MemoryDC m_layerDC;
    MemoryDC m_pictureMapDC;
    std::optional<SelectedObject> m_mapSelection;
    std::optional<SelectedObject> m_layerSelection;
    std::optional<SelectedObject> m_pictureMapSelection;
    UINT m_mapId = 0;
    SIZE m_mapSize{};
    SIZE m_pictureSize{};
    FontHandle m_digitFont;
    FontHandle m_millisecondsFont;
    FontHandle m_tickerFont;
    double m_scale = 1.0;    // of the texts
    double m_mapScale = 1.0; // of the map
    StillTexts m_stillTexts;
    std::vector<std::int32_t> m_tickerEnds;
    std::vector<RECT> m_movingAreas;
    bool m_tickerMeasured = false;
    int m_tickerStart = 460;
    int m_tickerOffset = 0;
    LRESULT m_tickerRestarts = 0;
    std::string m_zoneName;
    std::map<unsigned, std::string> m_strings;
};
