// Small owners of Windows resources, released at scope exit.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { EnterCriticalSection(&section_); }
    void leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& section) : section_(section) { section_.enter(); }
    ~CriticalSectionLock() { section_.leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& section_;
};

class StdioFile {
public:
    StdioFile() = default;
    ~StdioFile() { close(); }
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;

    void open(const char* path, const char* mode) {
        close();
        file_ = std::fopen(path, mode);
    }
    void close() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_ = nullptr;
};

// One handle of a kind that Traits describes (its type, when it holds something, how it is
// released), released when the owner goes.
template <typename Traits> class ScopedHandle {
public:
    using Handle = typename Traits::Handle;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (valid()) {
            Traits::close(handle_);
        }
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return Traits::isValid(handle_); }
    explicit operator bool() const { return valid(); }

private:
    Handle handle_;
};

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static bool isValid(HCRYPTPROV provider) { return provider != 0; }
    static void close(HCRYPTPROV provider) { CryptReleaseContext(provider, 0); }
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static bool isValid(HANDLE handle) { return handle != nullptr; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static bool isValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { FindClose(handle); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static bool isValid(SC_HANDLE handle) { return handle != nullptr; }
    static void close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

struct DesktopHandleTraits {
    using Handle = HDESK;
    static bool isValid(HDESK handle) { return handle != nullptr; }
    static void close(HDESK handle) { CloseDesktop(handle); }
};

using ThreadHandle = ScopedHandle<KernelHandleTraits>;
using FindHandle = ScopedHandle<FindHandleTraits>;
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;
using DesktopHandle = ScopedHandle<DesktopHandleTraits>;

class EventHandle : public ScopedHandle<KernelHandleTraits> {
public:
    // Unnamed, auto-reset, not signalled.
    EventHandle() : ScopedHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
};
