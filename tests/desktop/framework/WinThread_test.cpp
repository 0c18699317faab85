// Threads that delete their object at once: the creating thread must not write into the freed
// object, and every thread handle is closed.
#include "desktop/framework/WinThread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> finished{0};

std::atomic<int> withoutHandle{0};

class ReturnsAtOnce : public CWinThread {
public:
    ~ReturnsAtOnce() override { ++finished; }
    BOOL InitInstance() override {
        // The object's handle must be its own thread's by the time the thread runs: else the
        // creator stores it later, into an object that may be gone.
        if (m_hThread == nullptr || GetThreadId(m_hThread) != GetCurrentThreadId()) {
            ++withoutHandle;
        }
        return FALSE;
    }
};

class Counting : public CWinThread {
public:
    explicit Counting(std::atomic<int>& runs) : runs_(runs) {}
    BOOL InitInstance() override {
        ++runs_;
        return FALSE;
    }

private:
    std::atomic<int>& runs_;
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
    // One round first: the process's own handles of a first thread are made by then.
    ASSERT_TRUE((new ReturnsAtOnce)->CreateThread());
    ASSERT_TRUE(waitFor(1));
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < rounds; ++i) {
        ASSERT_TRUE((new ReturnsAtOnce)->CreateThread());
    }
    ASSERT_TRUE(waitFor(rounds + 1));
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(withoutHandle.load(), 0);
    // The last thread handles close while their threads end; a leak grows with the rounds.
    EXPECT_LE(after, before + 10);
}

TEST(WinThread, ASuspendedThreadRunsOnlyWhenResumed) {
    std::atomic<int> runs{0};
    Counting thread(runs);
    thread.m_bAutoDelete = false;
    ASSERT_TRUE(thread.CreateThread(CREATE_SUSPENDED));
    ASSERT_NE(thread.m_hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.m_hThread, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(runs.load(), 0);
    ResumeThread(thread.m_hThread);
    EXPECT_EQ(WaitForSingleObject(thread.m_hThread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
}
