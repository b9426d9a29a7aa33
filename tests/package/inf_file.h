// A reader for the parts of an INF file that the driver package's installation acts on: the
// device's install section, its registry additions (device, service and machine keys) and its
// device interfaces. Section names are case-insensitive; %strkey% fields take their [Strings] text.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace inf {

// One AddReg line, with its root resolved against where the section was referenced from.
struct RegistryEntry {
    std::string keyPath;  // kernel object name, e.g. "\Registry\Machine\SOFTWARE\..."
    std::string name;
    unsigned long flags;
    std::string value;
};

struct Interface {
    std::string category;   // "{6994AD04-...}" as written, upper case
    std::string reference;  // "wave1"
    std::string section;    // its add-interface section
};

class InfFile {
public:
    // Throws std::runtime_error when the file cannot be read.
    explicit InfFile(const std::string& path);

    // The lines of a section, comments and blank lines removed; empty when there is none.
    const std::vector<std::string>& Section(const std::string& name) const;
    bool HasSection(const std::string& name) const;
    // The fields of a line (or of the part after '=' of a directive), unquoted and substituted.
    std::vector<std::string> Fields(const std::string& text) const;
    // The values of every `key=` directive of a section, in order.
    std::vector<std::string> Directives(const std::string& section, const std::string& key) const;

    // The install section of the first device of the first manufacturer.
    std::string InstallSection() const;
    // The name of the service AddService installs for the device, and its install section.
    std::string ServiceName() const;
    std::string ServiceSection() const;
    // Every AddReg entry of the install section (HKR: `deviceKey`) and of the service
    // (HKR: `serviceKey`), in file order.
    std::vector<RegistryEntry> RegistryEntries(const std::string& deviceKey, const std::string& serviceKey) const;
    std::vector<Interface> Interfaces() const;

private:
    void AddEntries(const std::string& section, const std::string& hkr, std::vector<RegistryEntry>* entries) const;

    std::map<std::string, std::vector<std::string>> sections_;  // by lower-case name
    std::map<std::string, std::string> strings_;                // by lower-case key
};

}  // namespace inf
