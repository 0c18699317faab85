#include "tests/fakes/FakeRegistry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

struct NoCaseLess {
    using is_transparent = void;
    static unsigned char lower(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
    }
    bool operator()(std::string_view a, std::string_view b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return lower(x) < lower(y); });
    }
};

struct Value {
    std::uint32_t type = registry_type::none;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::map<std::string, std::shared_ptr<Key>, NoCaseLess> subkeys;
    std::map<std::string, Value, NoCaseLess> values;
    bool deleted = false;
};

void markDeleted(Key& key) {
    key.deleted = true;
    for (auto& entry : key.subkeys)
        markDeleted(*entry.second);
}

} // namespace

// A handle: each open gets its own, sharing ownership of its key so that deleting the key
// leaves the handle usable (and failing) until it is closed.
struct FakeRegistryKeyNode {
    std::shared_ptr<Key> key;
};

namespace {

constexpr std::size_t rootCount = 4;

struct Registry {
    std::array<FakeRegistryKeyNode, rootCount> roots;
    std::map<const FakeRegistryKeyNode*, std::unique_ptr<FakeRegistryKeyNode>> openHandles;
    std::map<std::string, std::string, NoCaseLess> environment;
    bool expansionFails = false;
    std::size_t closes = 0;
    std::size_t invalidCloses = 0;

    Registry() {
        for (auto& root : roots)
            root.key = std::make_shared<Key>();
    }

    bool isRoot(const FakeRegistryKeyNode* handle) const {
        return std::any_of(roots.begin(), roots.end(),
                           [handle](const FakeRegistryKeyNode& root) { return &root == handle; });
    }
    // Never dereferences a pointer it did not hand out itself.
    const FakeRegistryKeyNode* valid(const FakeRegistryKeyNode* handle) const {
        if (handle == nullptr || (!isRoot(handle) && openHandles.count(handle) == 0))
            return nullptr;
        return handle;
    }
};

Registry& registry() {
    static Registry instance;
    return instance;
}

const std::shared_ptr<Key>& rootKey(PredefinedRoot root) {
    return registry().roots[static_cast<std::size_t>(root)].key;
}

template <typename Visit> void forEachComponent(std::string_view path, Visit visit) {
    while (!path.empty()) {
        const std::size_t separator = path.find('\\');
        const std::string_view component = path.substr(0, separator);
        if (!component.empty() && !visit(component))
            return;
        if (separator == std::string_view::npos)
            break;
        path.remove_prefix(separator + 1);
    }
}

std::shared_ptr<Key> findKey(const std::shared_ptr<Key>& start, std::string_view path) {
    std::shared_ptr<Key> current = start;
    forEachComponent(path, [&](std::string_view component) {
        const auto it = current->subkeys.find(component);
        current = it == current->subkeys.end() ? nullptr : it->second;
        return current != nullptr;
    });
    return current;
}

Key& createPath(PredefinedRoot root, std::string_view path) {
    Key* current = rootKey(root).get();
    forEachComponent(path, [&](std::string_view component) {
        auto& child = current->subkeys[std::string(component)];
        if (child == nullptr)
            child = std::make_shared<Key>();
        current = child.get();
        return true;
    });
    return *current;
}

std::vector<std::uint8_t> withTerminator(std::string_view text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

// Like Windows: %NAME% of a known variable is replaced, anything else is copied as written.
std::string expand(std::string_view source) {
    const auto& environment = registry().environment;
    std::string result;
    while (!source.empty()) {
        if (source.front() != '%') {
            const std::size_t length = std::min(source.find('%'), source.size());
            result.append(source.substr(0, length));
            source.remove_prefix(length);
            continue;
        }
        const std::size_t close = source.find('%', 1);
        if (close == std::string_view::npos) {
            result.append(source);
            break;
        }
        const auto variable = environment.find(source.substr(1, close - 1));
        if (close > 1 && variable != environment.end())
            result.append(variable->second);
        else
            result.append(source.substr(0, close + 1));
        source.remove_prefix(close + 1);
    }
    return result;
}

} // namespace

RegistryHandle registryRoot(PredefinedRoot root) {
    return &registry().roots[static_cast<std::size_t>(root)];
}

long registryOpenKey(RegistryHandle parent, const char* subKey, RegistryHandle* opened) {
    if (opened == nullptr)
        return fake_registry::errorInvalidParameter;
    *opened = nullptr;
    const FakeRegistryKeyNode* parentHandle = registry().valid(parent);
    if (parentHandle == nullptr)
        return fake_registry::errorInvalidHandle;
    if (parentHandle->key->deleted)
        return fake_registry::errorKeyDeleted;
    std::shared_ptr<Key> key = findKey(parentHandle->key, subKey != nullptr ? subKey : "");
    if (key == nullptr)
        return fake_registry::errorFileNotFound;
    auto handle = std::make_unique<FakeRegistryKeyNode>(FakeRegistryKeyNode{std::move(key)});
    *opened = handle.get();
    registry().openHandles.emplace(handle.get(), std::move(handle));
    return fake_registry::errorSuccess;
}

long registryQueryValue(RegistryHandle key, const char* name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) {
    const FakeRegistryKeyNode* handle = registry().valid(key);
    if (handle == nullptr)
        return fake_registry::errorInvalidHandle;
    const Key* queried = handle->key.get();
    if (queried->deleted)
        return fake_registry::errorKeyDeleted;
    if (data != nullptr && size == nullptr)
        return fake_registry::errorInvalidParameter;
    const auto it = queried->values.find(std::string_view(name != nullptr ? name : ""));
    if (it == queried->values.end())
        return fake_registry::errorFileNotFound;
    const Value& value = it->second;
    if (type != nullptr)
        *type = value.type;
    const auto needed = static_cast<std::uint32_t>(value.data.size());
    if (size == nullptr)
        return fake_registry::errorSuccess;
    if (data != nullptr && *size < needed) {
        *size = needed;
        return fake_registry::errorMoreData;
    }
    if (data != nullptr && needed != 0)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return fake_registry::errorSuccess;
}

void registryCloseKey(RegistryHandle key) {
    auto& handles = registry().openHandles;
    const auto it = handles.find(key);
    if (it == handles.end()) {
        ++registry().invalidCloses;
        return;
    }
    handles.erase(it);
    ++registry().closes;
}

std::uint32_t expandEnvironmentStrings(const char* source, char* destination, std::uint32_t size) {
    if (registry().expansionFails || source == nullptr)
        return 0;
    const std::string expanded = expand(source);
    const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
    if (destination != nullptr && size >= needed)
        std::memcpy(destination, expanded.c_str(), needed);
    return needed;
}

namespace fake_registry {

void reset() {
    Registry& state = registry();
    for (auto& root : state.roots) {
        for (auto& entry : root.key->subkeys)
            markDeleted(*entry.second);
        root.key->subkeys.clear();
        root.key->values.clear();
    }
    state.environment.clear();
    state.expansionFails = false;
    state.closes = 0;
    state.invalidCloses = 0;
}

void createKey(PredefinedRoot root, std::string_view path) {
    createPath(root, path);
}

bool deleteKey(PredefinedRoot root, std::string_view path) {
    const std::size_t separator = path.rfind('\\');
    const std::string_view parentPath =
        separator == std::string_view::npos ? std::string_view() : path.substr(0, separator);
    const std::string_view name =
        separator == std::string_view::npos ? path : path.substr(separator + 1);
    const std::shared_ptr<Key> parent = findKey(rootKey(root), parentPath);
    if (parent == nullptr || name.empty())
        return false;
    const auto it = parent->subkeys.find(name);
    if (it == parent->subkeys.end())
        return false;
    markDeleted(*it->second);
    parent->subkeys.erase(it);
    return true;
}

void setValue(PredefinedRoot root, std::string_view path, std::string_view name, std::uint32_t type,
              std::vector<std::uint8_t> data) {
    Value& value = createPath(root, path).values[std::string(name)];
    value.type = type;
    value.data = std::move(data);
}

void setDword(PredefinedRoot root, std::string_view path, std::string_view name,
              std::uint32_t value) {
    std::vector<std::uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    setValue(root, path, name, registry_type::dword, std::move(data));
}

void setString(PredefinedRoot root, std::string_view path, std::string_view name,
               std::string_view text) {
    setValue(root, path, name, registry_type::string, withTerminator(text));
}

void setExpandString(PredefinedRoot root, std::string_view path, std::string_view name,
                     std::string_view text) {
    setValue(root, path, name, registry_type::expandString, withTerminator(text));
}

void setBinary(PredefinedRoot root, std::string_view path, std::string_view name,
               std::vector<std::uint8_t> data) {
    setValue(root, path, name, registry_type::binary, std::move(data));
}

bool deleteValue(PredefinedRoot root, std::string_view path, std::string_view name) {
    const std::shared_ptr<Key> key = findKey(rootKey(root), path);
    if (key == nullptr)
        return false;
    const auto it = key->values.find(name);
    if (it == key->values.end())
        return false;
    key->values.erase(it);
    return true;
}

void setEnvironmentVariable(std::string_view name, std::string_view value) {
    registry().environment.insert_or_assign(std::string(name), std::string(value));
}

void setExpansionFails(bool fails) {
    registry().expansionFails = fails;
}

std::size_t closeCount() {
    return registry().closes;
}

std::size_t invalidCloseCount() {
    return registry().invalidCloses;
}

std::size_t openHandleCount() {
    return registry().openHandles.size();
}

} // namespace fake_registry
