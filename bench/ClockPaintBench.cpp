// The world clock's painting cost under Wine: the clock of a zone with daylight saving in a
// window of its own, with its repaint thread. Prints one line:
//   frame_ms=<mean cost of one painting> median_ms=<its median> max_ms=<the dearest painting>,
//   each painting of what the repaint thread invalidated (the moving parts, and the whole
//   picture once a second when its texts change)
//   full_ms=<median cost of painting the whole picture, as after a change of size or DPI>
//   paints_per_second=<paintings that the repaint thread caused while the message loop ran>
//   cpu_share=<process CPU time / wall time in that loop>
//   terminator_ms=<median cost of drawing day and night into the map, as once a minute>
//   terminator_max_ms=<its dearest>
// Usage: clock-bench [FRAMES] [SECONDS] [TICKER_BYTES] [DPI]; TICKER_BYTES: a ticker line of that
// many characters instead of the banner, as the longest news text would give; DPI: the clock's
// window as large as the page makes it at that DPI (96 by default).
#include "desktop/resources/resource.h"
#include "desktop/worldtime/win/DateTimePage.h"
#include "desktop/worldtime/win/DayNightMap.h"
#include "desktop/worldtime/win/RegistryZoneSource.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

namespace {

double seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& rate) {
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(rate.QuadPart);
}

double processSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
    };
    return value(kernel) + value(user);
}

} // namespace

int main(int argc, char** argv) {
    const int frames = std::max(1, argc > 1 ? std::atoi(argv[1]) : 2000);
    const int duration = argc > 2 ? std::atoi(argv[2]) : 10;
    const int tickerBytes = argc > 3 ? std::atoi(argv[3]) : 0;
    const int dpi = std::clamp(argc > 4 ? std::atoi(argv[4]) : 96, 96, 384);

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ClockBench";
    RegisterClassA(&windowClass);
    const HWND host = CreateWindowExA(0, "ClockBench", "Clock bench", WS_OVERLAPPEDWINDOW, 0, 0,
                                      MulDiv(520, dpi, 96), MulDiv(330, dpi, 96), nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    ShowWindow(host, SW_SHOW);

    // A page without its dialog: the data the clock reads.
    CDateTimePage page;
    page.m_hWnd = host;
    RegistryZoneSource source(timeZoneDatabaseKey(VER_PLATFORM_WIN32_NT));
    page.m_selectedZone = loadTimeZones(source, "Central Europe Standard Time", page.m_catalogue);
    page.m_tickerText =
        tickerBytes > 0 ? std::string(static_cast<std::size_t>(tickerBytes), 'N') : tickerBanner;
    const RECT area{0, 0, MulDiv(470, dpi, 96), MulDiv(290, dpi, 96)};
    if (page.m_selectedZone < 0 || !page.m_worldClock.create(area, IDC_WORLD_CLOCK)) {
        std::fputs("clock-bench: no zone or no clock window\n", stderr);
        return 1;
    }
    const HWND clock = page.m_worldClock.m_hWnd;

    LARGE_INTEGER rate, start, end;
    QueryPerformanceFrequency(&rate);
    std::vector<double> fullMs;
    for (int i = 0; i < std::max(1, frames / 4); ++i) {
        QueryPerformanceCounter(&start);
        RedrawWindow(clock, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        QueryPerformanceCounter(&end);
        fullMs.push_back(seconds(start, end, rate) * 1000);
    }
    std::sort(fullMs.begin(), fullMs.end());
    // As the repaint thread asks for them: once it has invalidated, the painting is timed.
    std::vector<double> frameMs;
    for (int i = 0; i < frames; ++i) {
        RECT pending{};
        for (int wait = 0; wait < 100 && !GetUpdateRect(clock, &pending, FALSE); ++wait) {
            Sleep(1);
        }
        QueryPerformanceCounter(&start);
        UpdateWindow(clock);
        QueryPerformanceCounter(&end);
        frameMs.push_back(seconds(start, end, rate) * 1000);
    }
    const double meanMs = std::accumulate(frameMs.begin(), frameMs.end(), 0.0) / frames;
    std::sort(frameMs.begin(), frameMs.end());

    // The repaint thread invalidates; the message loop paints.
    int paints = 0;
    const double cpuBefore = processSeconds();
    QueryPerformanceCounter(&start);
    MSG message;
    for (;;) {
        QueryPerformanceCounter(&end);
        if (seconds(start, end, rate) >= duration) {
            break;
        }
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            paints += message.message == WM_PAINT && message.hwnd == clock;
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    const double wall = seconds(start, end, rate);
    const double cpu = processSeconds() - cpuBefore;

    // Day and night drawn into the map that the clock shows at this size, for 60 minutes of one
    // day, each one a new drawing.
    const BitmapHandle worldMap(
        LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(page.m_worldClock.mapId())));
    DayNightMap dayNight(worldMap.get());
    std::vector<double> shadeMs;
    SYSTEMTIME instant{2026, 12, 2, 8, 0, 0, 0, 0};
    for (WORD minute = 0; minute < 60; ++minute) {
        instant.wMinute = minute;
        QueryPerformanceCounter(&start);
        const bool drawn = dayNight.update(instant);
        QueryPerformanceCounter(&end);
        if (drawn) {
            shadeMs.push_back(seconds(start, end, rate) * 1000);
        }
    }
    std::sort(shadeMs.begin(), shadeMs.end());
    if (shadeMs.empty()) {
        std::fputs("clock-bench: the map could not be shaded\n", stderr);
        return 1;
    }
    std::printf("frame_ms=%.3f median_ms=%.3f max_ms=%.3f full_ms=%.3f paints_per_second=%.1f "
                "cpu_share=%.3f terminator_ms=%.3f terminator_max_ms=%.3f\n",
                meanMs, frameMs[frameMs.size() / 2], frameMs.back(), fullMs[fullMs.size() / 2],
                paints / wall, cpu / wall, shadeMs[shadeMs.size() / 2], shadeMs.back());
    DestroyWindow(host); // stops the repaint thread with the clock's window
    page.m_hWnd = nullptr;
    return 0;
}
