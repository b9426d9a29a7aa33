// The stand-in registry's data: a tree of keys under \REGISTRY with typed values, the open key
// handles, and the test controls (faults, call counts). Shared by the Zw services (registry.cpp)
// and the harness (registry_harness.cpp); everything here is guarded by RegistryState::mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel.h"

namespace host {
namespace registry {

struct Value {
    std::u16string name;  // as first set; compared without regard to case
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key : std::enable_shared_from_this<Key> {
    std::u16string name;       // as created
    std::u16string upperPath;  // absolute and upper-cased ("\REGISTRY\MACHINE\..."); never changes
    Key* parent = nullptr;     // null for the root and for a deleted key
    // By upper-cased name, so subkeys enumerate in the order the real registry lists them.
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    std::vector<Value> values;  // in the order they were created
    bool isVolatile = false;    // REG_OPTION_VOLATILE: lives in memory only, never saved to a file
    bool permanent = false;     // a hive root or above: cannot be deleted
    bool closedToZw = false;    // \REGISTRY, \REGISTRY\MACHINE, \REGISTRY\USER: ZwCreateKey adds no keys here
    bool deleted = false;       // removed from the tree; handles still open on it see STATUS_KEY_DELETED

    Value* FindValue(const std::u16string& valueName);
    // Creates the value, or replaces the type and data of the one that has this name.
    void SetValue(const std::u16string& valueName, ULONG type, const uint8_t* data, size_t size);
    Key* FindSubkey(const std::u16string& keyName) const;
    std::u16string Path() const;  // absolute, with the names' own case
};

using Components = std::vector<std::u16string>;

struct OpenHandle {
    std::shared_ptr<Key> key;
    ACCESS_MASK granted;
};

struct Fault {
    std::u16string upperPath;
    NTSTATUS status;
};

struct RegistryState {
    std::mutex mutex;
    std::shared_ptr<Key> root;
    std::map<uintptr_t, OpenHandle> handles;
    uintptr_t nextHandle = 0;
    std::vector<Fault> faults;
    std::map<std::string, int> callCounts;
};

// The one registry of the process, created with its hive roots on first use.
RegistryState& State();

// A fresh tree holding only what every Windows system has: \REGISTRY, \REGISTRY\MACHINE with its
// SOFTWARE and SYSTEM hives, and \REGISTRY\USER.
std::shared_ptr<Key> NewTree();

// Marks a key and everything below it deleted and cuts it off its parent.
void Detach(Key& key);

// Splits "\A\B" (absolute) or "A\B" (relative) into its names. False for an empty name between
// separators or a trailing separator, which the object manager refuses.
bool SplitPath(const std::u16string& path, bool absolute, Components* components);

// Splits an absolute registry name ("\Registry\Machine\...") into the names below \REGISTRY.
// False when the name is malformed or outside the registry.
bool SplitRegistryPath(const std::u16string& path, Components* belowRoot);

// Follows `components` from `start`; null when a key on the way is missing.
Key* Walk(Key* start, const Components& components);

// Adds a subkey (which must not exist yet) under `parent`.
Key* AddSubkey(Key& parent, const std::u16string& keyName);

// Follows `components` from `start`, creating every key that is missing.
Key* EnsurePath(Key& start, const Components& components);

// The status injected for a key at or below a faulted path, or STATUS_SUCCESS.
NTSTATUS InjectedFault(const RegistryState& state, const std::u16string& upperPath);

std::u16string ChildUpperPath(const std::u16string& parentUpperPath, const std::u16string& keyName);

}  // namespace registry
}  // namespace host
