// The registry's controls for tests and tools: preparing and inspecting keys and values without the
// Zw services' checks, fault injection and call counts. Paths are absolute kernel names in UTF-8.
#include <stdexcept>

#include "host/harness.h"
#include "registry_tree.h"
#include "text.h"

namespace host {

using namespace registry;

namespace {

Components BelowRoot(const std::string& path)
{
    Components components;
    if (!SplitRegistryPath(Utf16FromUtf8(path), &components)) {
        throw std::invalid_argument("not an absolute registry path (\\Registry\\...): " + path);
    }
    return components;
}

// The key at `path`, or null when it is missing or the path is malformed.
Key* FindKey(RegistryState& state, const std::string& path)
{
    Components components;
    if (!SplitRegistryPath(Utf16FromUtf8(path), &components)) {
        return nullptr;
    }
    return Walk(state.root.get(), components);
}

}  // namespace

// Starts afresh: only the hive roots, no open handles, no call counts (faults stay until cleared).
void RegistryClear()
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.handles.clear();
    state.root = NewTree();
    state.callCounts.clear();
}

bool RegistryKeyExists(const std::string& path)
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    return FindKey(state, path) != nullptr;
}

void RegistryCreateKey(const std::string& path)
{
    const Components components = BelowRoot(path);
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    EnsurePath(*state.root, components);
}

void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data)
{
    const Components components = BelowRoot(keyPath);
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    EnsurePath(*state.root, components)->SetValue(Utf16FromUtf8(name), type, data.data(), data.size());
}

void RegistrySetDword(const std::string& keyPath, const std::string& name, ULONG value)
{
    const std::vector<uint8_t> littleEndian{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    RegistrySetValue(keyPath, name, REG_DWORD, littleEndian);
}

bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValueData* value)
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    Key* key = FindKey(state, keyPath);
    const Value* found = key == nullptr ? nullptr : key->FindValue(Utf16FromUtf8(name));
    if (found == nullptr) {
        return false;
    }
    if (value != nullptr) {
        value->type = found->type;
        value->data = found->data;
    }
    return true;
}

std::vector<std::string> RegistrySubkeys(const std::string& keyPath)
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    std::vector<std::string> names;
    if (Key* key = FindKey(state, keyPath)) {
        for (const auto& subkey : key->subkeys) {
            names.push_back(Utf8FromUtf16(subkey.second->name));
        }
    }
    return names;
}

size_t RegistryOpenHandleCount()
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.handles.size();
}

void RegistryFailAccess(const std::string& keyPath, NTSTATUS status)
{
    const Components components = BelowRoot(keyPath);
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    std::u16string upperPath = state.root->upperPath;
    for (const auto& component : components) {
        upperPath = ChildUpperPath(upperPath, component);
    }
    auto& faults = state.faults;
    for (auto fault = faults.begin(); fault != faults.end();) {
        fault = fault->upperPath == upperPath ? faults.erase(fault) : fault + 1;
    }
    if (status != STATUS_SUCCESS) {
        faults.push_back(Fault{upperPath, status});
    }
}

void RegistryClearFaults()
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.faults.clear();
}

std::map<std::string, int> RegistryCallCounts()
{
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.callCounts;
}

}  // namespace host
