// Every event that Pendra writes finds its text, with its inserts, in Pendra.exe's message
// table under the number it is written with: what the event viewer shows.
#include "service/engine/win/EventLogWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

TEST(EventTexts, EachEventHasItsTextWithItsInsertsInPendraExe) {
    std::string path = std::string("Z:") + PENDRA_BINARY_DIR + "/bin/Pendra.exe";
    std::replace(path.begin(), path.end(), '/', '\\');
    const HMODULE pendra = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(pendra, nullptr) << path;
    const std::vector<ServiceEvent> events{
        {EventType::information, event_id::started, {"pool.test"}},
        {EventType::information, event_id::stopped, {}},
        {EventType::error, event_id::configurationError, {"missing registry entry NTPServerName"}},
        {EventType::warning, event_id::clockStepped, {"+3600.250", "pool.test"}},
        {EventType::warning, event_id::noReplyForADay, {"2026-12-07T12:00:00Z", "96"}},
        {EventType::information, event_id::repliesAgain, {"pool.test", "2026-12-07T12:00:00Z"}},
        {EventType::warning, event_id::otherTimeService, {"NT5DS"}}};
    for (const ServiceEvent& event : events) {
        // FORMAT_MESSAGE_ARGUMENT_ARRAY takes the inserts as an array of pointer-sized values.
        std::vector<DWORD_PTR> inserts;
        for (const std::string& text : event.strings) {
            inserts.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
        }
        char text[1024] = {};
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, pendra,
                           eventMessageId(event), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                           text, sizeof text, reinterpret_cast<va_list*>(inserts.data()));
        ASSERT_GT(length, 0u) << event.id << " error " << GetLastError();
        for (const std::string& insert : event.strings) {
            EXPECT_NE(std::string(text).find(insert), std::string::npos) << text;
        }
        EXPECT_EQ(std::string(text).find('%'), std::string::npos) << text;
    }
    // A text under another severity is not the event's: the number must match exactly.
    char text[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, pendra,
                             0x80000000u | event_id::started, 0, text, sizeof text, nullptr),
              0u);
    FreeLibrary(pendra);
}
