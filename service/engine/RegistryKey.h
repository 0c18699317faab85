// Typed readers of registry values. Windows builds read the real registry; the native build
// reads an in-memory store with the same outcomes (value, missing key, missing value, wrong
// type), so the configuration rules are tested without Windows.
#pragma once

#include "common/RegistryTypes.h"

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
using RegistryHandle = HKEY;
#else
struct FakeRegistryKeyNode;
using RegistryHandle = FakeRegistryKeyNode*;
#endif

enum class PredefinedRoot { classesRoot, currentUser, localMachine, users };

// The platform's primitives, with the results of RegOpenKeyExA, RegQueryValueExA (0 on success,
// 2 for a missing value, 234 when the data does not fit), RegCloseKey and
// ExpandEnvironmentStringsA.
RegistryHandle registryRoot(PredefinedRoot root);
long registryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* opened);
long registryQueryValue(RegistryHandle key, const char* name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size);
void registryCloseKey(RegistryHandle key);
std::uint32_t expandEnvironmentStrings(const char* source, char* destination, std::uint32_t size);

class RegistryKey {
public:
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    virtual ~RegistryKey() = default;
    // Releases the handle; every subclass's destructor calls its own close.
    virtual void close() = 0;

    // Each raises SimpleException "missing registry entry" when the value cannot be read and
    // "unexpected format registry value" for a type it does not accept.
    std::uint32_t readDword(const char* name) const;
    std::string readString(const char* name) const;       // REG_SZ only
    std::string readExpandString(const char* name) const; // REG_SZ, or REG_EXPAND_SZ expanded
    // Sets both outputs to 0, then asks for type and size; true when the value exists.
    bool queryValueInfo(const char* name, std::uint32_t& type, std::uint32_t& size) const;

    RegistryHandle handle() const { return handle_; }

protected:
    explicit RegistryKey(RegistryHandle handle) : handle_(handle) {}
    // Opens subKey of parent for reading; raises "missing registry key" when it cannot.
    RegistryKey(RegistryHandle parent, const char* subKey);
    RegistryKey(const RegistryKey& parent, const char* subKey)
        : RegistryKey(parent.handle(), subKey) {}

    RegistryHandle handle_;
};

// A root of the registry: never closed.
class PredefinedRegistryKey : public RegistryKey {
public:
    ~PredefinedRegistryKey() override { PredefinedRegistryKey::close(); }
    void close() override {}

protected:
    explicit PredefinedRegistryKey(PredefinedRoot root) : RegistryKey(registryRoot(root)) {}
};

class ClassesRootKey : public PredefinedRegistryKey {
public:
    ClassesRootKey() : PredefinedRegistryKey(PredefinedRoot::classesRoot) {}
};
class CurrentUserKey : public PredefinedRegistryKey {
public:
    CurrentUserKey() : PredefinedRegistryKey(PredefinedRoot::currentUser) {}
};
class LocalMachineKey : public PredefinedRegistryKey {
public:
    LocalMachineKey() : PredefinedRegistryKey(PredefinedRoot::localMachine) {}
};
class UsersKey : public PredefinedRegistryKey {
public:
    UsersKey() : PredefinedRegistryKey(PredefinedRoot::users) {}
};

// An opened subkey, closed when the object goes.
class RegistrySubKey : public RegistryKey {
public:
    RegistrySubKey(const RegistryKey& parent, const char* subKey) : RegistryKey(parent, subKey) {}
    ~RegistrySubKey() override { RegistrySubKey::close(); }
    void close() override;
};
