// Small owners of Windows resources, released at scope exit: the one home of the guards that
// Pendra, Klemora, the installer's custom action and the test tools share.
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

// One handle of a kind that Traits describes (its type, its empty value, when it holds
// something, how it is released), released when the owner goes. Movable, never copied.
template <typename Traits> class ScopedHandle {
public:
    using Handle = typename Traits::Handle;
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    Handle get() const { return handle_; }
    bool valid() const { return Traits::isValid(handle_); }
    explicit operator bool() const { return valid(); }
    // Gives the handle up: the caller releases it, for one who needs the release's result.
    Handle release() {
        const Handle handle = handle_;
        handle_ = Traits::empty();
        return handle;
    }
    // Releases what is held and takes handle instead.
    void reset(Handle handle = Traits::empty()) {
        if (valid()) {
            Traits::close(handle_);
        }
        handle_ = handle;
    }
    // For a call that returns the handle through a pointer: releases what is held first.
    Handle* out() {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Traits::empty();
};

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static HCRYPTPROV empty() { return 0; }
    static bool isValid(HCRYPTPROV provider) { return provider != 0; }
    static void close(HCRYPTPROV provider) { CryptReleaseContext(provider, 0); }
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE empty() { return nullptr; }
    static bool isValid(HANDLE handle) { return handle != nullptr; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};

// A file handle as CreateFile gives it: INVALID_HANDLE_VALUE when it failed.
struct FileHandleTraits {
    using Handle = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool isValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool isValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { FindClose(handle); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool isValid(SC_HANDLE handle) { return handle != nullptr; }
    static void close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

struct DesktopHandleTraits {
    using Handle = HDESK;
    static HDESK empty() { return nullptr; }
    static bool isValid(HDESK handle) { return handle != nullptr; }
    static void close(HDESK handle) { CloseDesktop(handle); }
};

struct LibraryTraits {
    using Handle = HMODULE;
    static HMODULE empty() { return nullptr; }
    static bool isValid(HMODULE module) { return module != nullptr; }
    static void close(HMODULE module) { FreeLibrary(module); }
};

// An open registry key. The predefined roots are never held.
struct RegistryKeyTraits {
    using Handle = HKEY;
    static HKEY empty() { return nullptr; }
    static bool isValid(HKEY key) { return key != nullptr; }
    static void close(HKEY key) { RegCloseKey(key); }
};

using ThreadHandle = ScopedHandle<KernelHandleTraits>;
using FileHandle = ScopedHandle<FileHandleTraits>;
using FindHandle = ScopedHandle<FindHandleTraits>;
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;
using DesktopHandle = ScopedHandle<DesktopHandleTraits>;
using RegistryKeyHandle = ScopedHandle<RegistryKeyTraits>;
using LibraryHandle = ScopedHandle<LibraryTraits>;

class EventHandle : public ScopedHandle<KernelHandleTraits> {
public:
    // Unnamed, auto-reset, not signalled.
    EventHandle() : ScopedHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
};
