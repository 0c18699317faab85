// Threads that delete their object at once: the creating thread must not write into the freed
// object, and every thread handle is closed.
#include "desktop/framework/WinThread.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>

namespace {

std::atomic<int> finished{0};

std::atomic<int> withoutHandle{0};

// What each thread saw of itself: its handle in the object and its id.
struct Seen {
    std::atomic<HANDLE> handle{nullptr};
    std::atomic<DWORD> id{0};
};
std::array<Seen, 2001> seen;

class ReturnsAtOnce : public CWinThread {
public:
    explicit ReturnsAtOnce(std::size_t round) : round_(round) {}
    ~ReturnsAtOnce() override { ++finished; }
    BOOL InitInstance() override {
        // The object's handle must be its own thread's by the time the thread runs: else the
        // creator stores it later, into an object that may be gone.
        if (m_hThread == nullptr || GetThreadId(m_hThread) != GetCurrentThreadId()) {
            ++withoutHandle;
        }
        seen[round_].handle = m_hThread;
        seen[round_].id = GetCurrentThreadId();
        return FALSE;
    }

private:
    std::size_t round_;
};

bool waitFor(int count) {
    for (int i = 0; i < 2000 && finished.load() < count; ++i) {
        Sleep(5);
    }
    return finished.load() == count;
}

} // namespace

TEST(WinThread, SelfDeletingThreadsThatEndAtOnceLeaveNoHandleBehind) {
    constexpr int rounds = 2000;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_TRUE((new ReturnsAtOnce(static_cast<std::size_t>(i)))->CreateThread());
    }
    ASSERT_TRUE(waitFor(rounds));
    EXPECT_EQ(withoutHandle.load(), 0);
    // Wine counts no handles, so each is asked: one that still names its thread was never
    // closed (a closed value taken again names another object).
    auto leaked = [] {
        int count = 0;
        for (const Seen& thread : seen) {
            const HANDLE handle = thread.handle;
            count += handle != nullptr && GetThreadId(handle) == thread.id ? 1 : 0;
        }
        return count;
    };
    // The last objects close their handles just after they count themselves finished.
    for (int i = 0; i < 200 && leaked() > 0; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(leaked(), 0);
}
