// The stand-in registry's tree of keys and values, and the state behind the Zw services.
#include "registry_tree.h"

#include "text.h"

namespace host {
namespace registry {

Value* Key::FindValue(const std::u16string& valueName)
{
    const std::u16string wanted = Upcase(valueName);
    for (auto& value : values) {
        if (Upcase(value.name) == wanted) {
            return &value;
        }
    }
    return nullptr;
}

void Key::SetValue(const std::u16string& valueName, ULONG type, const uint8_t* data, size_t size)
{
    Value* value = FindValue(valueName);
    if (value == nullptr) {
        values.push_back(Value{valueName, type, {}});
        value = &values.back();
    }
    value->type = type;
    value->data.assign(data, data + size);
}

Key* Key::FindSubkey(const std::u16string& keyName) const
{
    auto found = subkeys.find(Upcase(keyName));
    return found == subkeys.end() ? nullptr : found->second.get();
}

std::u16string Key::Path() const
{
    if (parent == nullptr) {
        return u"\\" + name;
    }
    return parent->Path() + u"\\" + name;
}

RegistryState& State()
{
    static RegistryState state;
    static std::once_flag created;
    std::call_once(created, [] { state.root = NewTree(); });
    return state;
}

std::shared_ptr<Key> NewTree()
{
    auto root = std::make_shared<Key>();
    root->name = u"REGISTRY";
    root->upperPath = u"\\REGISTRY";
    root->permanent = true;
    root->closedToZw = true;
    Key* machine = AddSubkey(*root, u"MACHINE");
    machine->permanent = true;
    machine->closedToZw = true;
    AddSubkey(*machine, u"SOFTWARE")->permanent = true;
    AddSubkey(*machine, u"SYSTEM")->permanent = true;
    Key* user = AddSubkey(*root, u"USER");
    user->permanent = true;
    user->closedToZw = true;
    return root;
}

void Detach(Key& key)
{
    for (auto& subkey : key.subkeys) {
        Detach(*subkey.second);
    }
    key.subkeys.clear();
    key.deleted = true;
    key.parent = nullptr;
}

bool SplitPath(const std::u16string& path, bool absolute, Components* components)
{
    components->clear();
    size_t position = 0;
    if (absolute) {
        if (path.empty() || path[0] != u'\\') {
            return false;
        }
        position = 1;
    }
    while (position <= path.size()) {
        size_t separator = path.find(u'\\', position);
        if (separator == std::u16string::npos) {
            separator = path.size();
        }
        if (separator == position) {
            return false;
        }
        components->push_back(path.substr(position, separator - position));
        position = separator + 1;
    }
    return true;
}

bool SplitRegistryPath(const std::u16string& path, Components* belowRoot)
{
    if (!SplitPath(path, true, belowRoot) || Upcase(belowRoot->front()) != u"REGISTRY") {
        return false;
    }
    belowRoot->erase(belowRoot->begin());
    return true;
}

Key* Walk(Key* start, const Components& components)
{
    Key* key = start;
    for (const auto& component : components) {
        key = key->FindSubkey(component);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

std::u16string ChildUpperPath(const std::u16string& parentUpperPath, const std::u16string& keyName)
{
    return parentUpperPath + u"\\" + Upcase(keyName);
}

Key* AddSubkey(Key& parent, const std::u16string& keyName)
{
    auto key = std::make_shared<Key>();
    key->name = keyName;
    key->upperPath = ChildUpperPath(parent.upperPath, keyName);
    key->parent = &parent;
    Key* added = key.get();
    parent.subkeys.emplace(Upcase(keyName), std::move(key));
    return added;
}

Key* EnsurePath(Key& start, const Components& components)
{
    Key* key = &start;
    for (const auto& component : components) {
        Key* next = key->FindSubkey(component);
        key = next != nullptr ? next : AddSubkey(*key, component);
    }
    return key;
}

NTSTATUS InjectedFault(const RegistryState& state, const std::u16string& upperPath)
{
    // The most specific faulted path wins, so a test can fail a whole tree and a subkey differently.
    NTSTATUS status = STATUS_SUCCESS;
    size_t matchedLength = 0;
    for (const auto& fault : state.faults) {
        const auto& faulted = fault.upperPath;
        const bool atOrBelow = upperPath.compare(0, faulted.size(), faulted) == 0 &&
                               (upperPath.size() == faulted.size() || upperPath[faulted.size()] == u'\\');
        if (atOrBelow && faulted.size() >= matchedLength) {
            status = fault.status;
            matchedLength = faulted.size();
        }
    }
    return status;
}

}  // namespace registry
}  // namespace host
