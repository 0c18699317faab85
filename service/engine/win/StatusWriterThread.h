// Writes the status record on a thread of its own, so that a poll never waits for the
// registry: the loop hands over each new record, and one not yet written is replaced by the
// newer. The loop learns of a failed write at its next look.
#pragma once

#include "common/PendraStatus.h"
#include "win32/Guards.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <optional>

class StatusWriterThread {
public:
    using Write = std::function<LONG(const StatusRecord&)>;

    explicit StatusWriterThread(Write write);
    // Writes what is still pending, then ends the thread.
    ~StatusWriterThread();
    StatusWriterThread(const StatusWriterThread&) = delete;
    StatusWriterThread& operator=(const StatusWriterThread&) = delete;

    void post(const StatusRecord& record);
    // Returns once every record posted so far is written.
    void flush();
    // The result of the last write: ERROR_SUCCESS, or the code of its failure.
    LONG lastResult() const { return result_; }

private:
    static DWORD WINAPI threadMain(LPVOID self);
    void writeAll();

    Write write_;
    CriticalSection lock_;
    std::optional<StatusRecord> pending_;
    bool closing_ = false;
    EventHandle wake_; // auto-reset: something was posted, or the end
    ScopedHandle<KernelHandleTraits> idle_;
    std::atomic<LONG> result_{ERROR_SUCCESS};
    ThreadHandle thread_;
};
