#include "win32/StatusRegistry.h"

#include "win32/Guards.h"
#include "win32/RegistryValues.h"

#include <sddl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// Pendra writes the record value by value on a thread of its own while Klemora and Pendra
// -status read it. A named mutex keeps readers out of a record half written: a global one where
// names have namespaces, so that the service and the user's programs share it.
constexpr const char* lockName = "Tarnwick Pendra status record";
// The writer holds it for a dozen values: a holder that keeps it longer is not waited for.
constexpr DWORD lockWaitMilliseconds = 1000;
// Without the lock a record counts as whole when two reads in a row agree; of one that keeps
// changing, the last read is taken.
constexpr int mostReadsWithoutLock = 5;

using ConvertSecurityDescriptor = decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorA);

HANDLE openLock() {
    // Windows 2000 and later; before them the name has no namespace and the mutex no rights.
    static const auto convert = reinterpret_cast<ConvertSecurityDescriptor>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("advapi32.dll"),
                       "ConvertStringSecurityDescriptorToSecurityDescriptorA")));
    if (convert == nullptr) {
        return CreateMutexA(nullptr, FALSE, lockName);
    }
    // The system and administrators may do anything with it; any user who signed in may wait
    // for it and release it, so that Klemora shares the service's lock.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    convert("D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)", SDDL_REVISION_1, &descriptor,
            nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const std::string name = std::string("Global\\") + lockName;
    HANDLE mutex = CreateMutexA(descriptor != nullptr ? &attributes : nullptr, FALSE, name.c_str());
    if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
        // Made by the service: opened with the rights it grants.
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    }
    LocalFree(descriptor);
    return mutex;
}

using MutexHandle = ScopedHandle<KernelHandleTraits>;

// The writer's handle, kept for the process's life: a user's program may not make a global
// object, but it may open the service's.
HANDLE writerLock() {
    static const MutexHandle mutex(openLock());
    return mutex.get();
}

// Holds the record's lock, where there is one, for the owner's lifetime.
class RecordLock {
public:
    explicit RecordLock(HANDLE mutex) : mutex_(mutex) {
        if (mutex_ != nullptr) {
            const DWORD waited = WaitForSingleObject(mutex_, lockWaitMilliseconds);
            held_ = waited == WAIT_OBJECT_0;
            // A writer ended in the middle of the record: what it left is not whole.
            if (waited == WAIT_ABANDONED) {
                ReleaseMutex(mutex_);
            }
        }
    }
    ~RecordLock() {
        if (held_) {
            ReleaseMutex(mutex_);
        }
    }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

StatusRecord readOnce(HKEY key) {
    return readStatusRecord([key](const char* name) -> std::optional<StoredValue> {
        const std::optional<RegistryValue> value = readRegistryValue(key, name);
        if (!value) {
            return std::nullopt;
        }
        return StoredValue{value->type, std::string(value->data.begin(), value->data.end())};
    });
}

// Two reads found the same values: as they would be written, and the same ones unreadable.
bool sameRecord(const StatusRecord& first, const StatusRecord& second) {
    const std::vector<StatusValue> a = statusValues(first);
    const std::vector<StatusValue> b = statusValues(second);
    return first.unreadable == second.unreadable &&
           std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const StatusValue& x, const StatusValue& y) {
                          return x.text == y.text && x.number == y.number;
                      });
}

} // namespace

UnixSeconds unixNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return unixFromFileTime(std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime);
}

std::optional<StatusRecord> readStatusRegistry() {
    const MutexHandle mutex(openLock());
    const RecordLock lock(mutex.get());
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, statusKeyPath, 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    const RegistryKeyHandle key(opened);
    // Under the lock one read is whole. Without it (no service has written since it started and
    // this user may not make a global object; a holder kept it past the wait) a record read twice
    // alike is.
    StatusRecord last = readOnce(key.get());
    for (int read = 1; !lock.held() && read < mostReadsWithoutLock; ++read) {
        StatusRecord next = readOnce(key.get());
        const bool agreed = sameRecord(last, next);
        last = std::move(next);
        if (agreed) {
            break;
        }
    }
    return last;
}

LONG writeStatusRegistry(const StatusRecord& record) {
    const RecordLock lock(writerLock());
    HKEY created = nullptr;
    LONG result =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, statusKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &created, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const RegistryKeyHandle key(created);
    for (const StatusValue& value : statusValues(record)) {
        if (value.text) {
            result = RegSetValueExA(key.get(), value.name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.text->c_str()),
                                    static_cast<DWORD>(value.text->size() + 1));
        } else {
            const DWORD number = value.number;
            result = RegSetValueExA(key.get(), value.name, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&number), sizeof number);
        }
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    return ERROR_SUCCESS;
}
