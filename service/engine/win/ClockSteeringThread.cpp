#include "service/engine/win/ClockSteeringThread.h"

#include <exception>

ClockSteeringThread::ClockSteeringThread(ClockDiscipline& discipline) : discipline_(discipline) {
    DWORD id = 0;
    thread_.reset(CreateThread(nullptr, 0, &ClockSteeringThread::threadMain, this, 0, &id));
}

ClockSteeringThread::~ClockSteeringThread() {
    SetEvent(end_.get());
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
    }
}

DWORD WINAPI ClockSteeringThread::threadMain(LPVOID self) {
    auto& steering = *static_cast<ClockSteeringThread*>(self);
    while (WaitForSingleObject(steering.end_.get(), ClockDiscipline::tickMilliseconds) ==
           WAIT_TIMEOUT) {
        try {
            steering.discipline_.tick();
        } catch (const std::exception&) {
            // Out of memory for a rate span: the next tick tries again.
        }
    }
    return 0;
}
