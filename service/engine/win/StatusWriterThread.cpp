#include "service/engine/win/StatusWriterThread.h"

#include <utility>

StatusWriterThread::StatusWriterThread(Write write)
    : write_(std::move(write)), idle_(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {
    DWORD id = 0;
    thread_.reset(CreateThread(nullptr, 0, &StatusWriterThread::threadMain, this, 0, &id));
}

StatusWriterThread::~StatusWriterThread() {
    {
        CriticalSectionLock guard(lock_);
        closing_ = true;
    }
    SetEvent(wake_.get());
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
    } else {
        writeAll(); // no thread could be made: the caller writes
    }
}

void StatusWriterThread::post(const StatusRecord& record) {
    {
        CriticalSectionLock guard(lock_);
        pending_ = record;
        ResetEvent(idle_.get());
    }
    if (thread_) {
        SetEvent(wake_.get());
    } else {
        writeAll();
    }
}

void StatusWriterThread::flush() {
    if (thread_) {
        WaitForSingleObject(idle_.get(), INFINITE);
    }
}

void StatusWriterThread::writeAll() {
    for (;;) {
        std::optional<StatusRecord> record;
        {
            CriticalSectionLock guard(lock_);
            record = std::move(pending_);
            pending_.reset();
            if (!record) {
                SetEvent(idle_.get());
                return;
            }
        }
        result_ = write_(*record);
    }
}

DWORD WINAPI StatusWriterThread::threadMain(LPVOID self) {
    auto& writer = *static_cast<StatusWriterThread*>(self);
    for (;;) {
        WaitForSingleObject(writer.wake_.get(), INFINITE);
        writer.writeAll();
        CriticalSectionLock guard(writer.lock_);
        if (writer.closing_ && !writer.pending_) {
            return 0;
        }
    }
}
