// The shared guards: each handle is released exactly once, whether it is moved, given up,
// replaced or filled through an out-pointer.
#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

HANDLE newEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Wine counts no handles (GetProcessHandleCount gives 0): each handle is asked itself.
bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

} // namespace

TEST(Win32Guards, EveryWayOfHandingOnAHandleReleasesItOnce) {
    std::vector<HANDLE> made;
    {
        ThreadHandle first(newEvent());
        const HANDLE raw = first.get();
        made.push_back(raw);
        ThreadHandle moved(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(moved.get(), raw);

        ThreadHandle assigned(newEvent());
        const HANDLE replaced = assigned.get();
        assigned = std::move(moved); // closes what it held
        EXPECT_FALSE(isOpen(replaced));
        EXPECT_EQ(assigned.get(), raw);

        const HANDLE given = assigned.release();
        EXPECT_FALSE(assigned.valid());
        EXPECT_TRUE(isOpen(given));
        CloseHandle(given);

        ThreadHandle reset(newEvent());
        const HANDLE old = reset.get();
        reset.reset(newEvent());
        EXPECT_FALSE(isOpen(old));
        EXPECT_TRUE(isOpen(reset.get()));
        made.push_back(reset.get());
        ThreadHandle kept(newEvent());
        made.push_back(kept.get());
    }
    for (const HANDLE handle : made) {
        EXPECT_FALSE(isOpen(handle));
    }
}

TEST(Win32Guards, ARegistryKeyIsFilledThroughItsOutPointerAndReadBack) {
    HKEY first = nullptr;
    HKEY second = nullptr;
    {
        RegistryKeyHandle key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Tarnwick\\GuardsTest", 0, nullptr,
                                  0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
                  ERROR_SUCCESS);
        const char text[] = "a value";
        // Stored without its terminator: it still ends.
        ASSERT_EQ(RegSetValueExA(key.get(), "text", 0, REG_EXPAND_SZ,
                                 reinterpret_cast<const BYTE*>(text), sizeof text - 1),
                  ERROR_SUCCESS);
        const DWORD number = 7;
        ASSERT_EQ(RegSetValueExA(key.get(), "number", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&number), sizeof number),
                  ERROR_SUCCESS);
        const auto read = readRegistryText(key.get(), "text");
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->text, "a value");
        EXPECT_EQ(read->type, static_cast<DWORD>(REG_EXPAND_SZ));
        EXPECT_FALSE(readRegistryText(key.get(), "number").has_value());
        EXPECT_FALSE(readRegistryText(key.get(), "missing").has_value());
        EXPECT_EQ(readRegistryValue(key.get(), "number")->data.size(), sizeof number);

        first = key.get();
        // Opening again through the out-pointer closes the key held before.
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tarnwick\\GuardsTest", 0, KEY_READ,
                                key.out()),
                  ERROR_SUCCESS);
        second = key.get();
        EXPECT_TRUE(readRegistryText(key.get(), "text").has_value());
        if (second != first) {
            EXPECT_FALSE(isOpen(first));
        }
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Tarnwick\\GuardsTest");
    EXPECT_FALSE(isOpen(second));
}
