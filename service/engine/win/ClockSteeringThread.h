// Ticks the clock discipline on a thread of its own, so that the rate is set anew every tick
// also while a poll waits for a server or a name. Ends when it is destroyed; giving the clock its
// own rate back is the owner's.
#pragma once

#include "service/engine/ClockDiscipline.h"
#include "win32/Guards.h"

#include <windows.h>

class ClockSteeringThread {
public:
    explicit ClockSteeringThread(ClockDiscipline& discipline);
    ~ClockSteeringThread();
    ClockSteeringThread(const ClockSteeringThread&) = delete;
    ClockSteeringThread& operator=(const ClockSteeringThread&) = delete;

    // False when the system could not make the thread.
    bool running() const { return static_cast<bool>(thread_); }

private:
    static DWORD WINAPI threadMain(LPVOID self);

    ClockDiscipline& discipline_;
    EventHandle end_;
    ThreadHandle thread_;
};
