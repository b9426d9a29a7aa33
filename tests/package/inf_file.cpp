// Reading an INF file: sections, fields and the install section's registry and interfaces.
#include "package/inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

namespace inf {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The line without its comment: a ';' outside quotes starts one.
std::string StripComment(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

// The position of the first '=' outside quotes, or npos.
size_t EqualsSign(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == '=' && !quoted) {
            return i;
        }
    }
    return std::string::npos;
}

const std::string DeviceKeyRoot = "HKR";

}  // namespace

InfFile::InfFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<std::string>* current = nullptr;
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(StripComment(line));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            current = &sections_[Lower(Trim(line.substr(1, line.size() - 2)))];
        } else if (current != nullptr) {
            current->push_back(line);
        }
    }
    for (const std::string& entry : Section("Strings")) {
        size_t equals = EqualsSign(entry);
        if (equals != std::string::npos) {
            std::string text = Trim(entry.substr(equals + 1));
            if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
                text = text.substr(1, text.size() - 2);
            }
            strings_[Lower(Trim(entry.substr(0, equals)))] = text;
        }
    }
}

const std::vector<std::string>& InfFile::Section(const std::string& name) const
{
    static const std::vector<std::string> none;
    auto found = sections_.find(Lower(name));
    return found == sections_.end() ? none : found->second;
}

bool InfFile::HasSection(const std::string& name) const
{
    return sections_.count(Lower(name)) != 0;
}

std::vector<std::string> InfFile::Fields(const std::string& text) const
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    auto finish = [&] {
        std::string value = wasQuoted ? field : Trim(field);
        if (!wasQuoted && value.size() > 2 && value.front() == '%' && value.back() == '%') {
            auto found = strings_.find(Lower(value.substr(1, value.size() - 2)));
            if (found != strings_.end()) {
                value = found->second;
            }
        }
        fields.push_back(value);
        field.clear();
        wasQuoted = false;
    };
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            wasQuoted = true;
        } else if (c == ',' && !quoted) {
            finish();
        } else if (quoted || !(wasQuoted && (c == ' ' || c == '\t'))) {
            field.push_back(c);
        }
    }
    finish();
    return fields;
}

std::vector<std::string> InfFile::Directives(const std::string& section, const std::string& key) const
{
    std::vector<std::string> values;
    for (const std::string& line : Section(section)) {
        size_t equals = EqualsSign(line);
        if (equals != std::string::npos && Lower(Trim(line.substr(0, equals))) == Lower(key)) {
            values.push_back(Trim(line.substr(equals + 1)));
        }
    }
    return values;
}

std::string InfFile::InstallSection() const
{
    const std::vector<std::string>& manufacturers = Section("Manufacturer");
    if (manufacturers.empty()) {
        throw std::runtime_error("no [Manufacturer] entry");
    }
    std::vector<std::string> models = Fields(manufacturers.front().substr(EqualsSign(manufacturers.front()) + 1));
    // A decorated models section for x64 when the entry names decorations.
    std::string modelsSection = models.size() > 1 ? models[0] + "." + models[1] : models[0];
    const std::vector<std::string>& devices = Section(modelsSection);
    if (devices.empty()) {
        throw std::runtime_error("no device in [" + modelsSection + "]");
    }
    return Fields(devices.front().substr(EqualsSign(devices.front()) + 1)).at(0);
}

std::string InfFile::ServiceName() const
{
    std::vector<std::string> services = Directives(InstallSection() + ".Services", "AddService");
    if (services.empty()) {
        throw std::runtime_error("no AddService for the device");
    }
    return Fields(services.front()).at(0);
}

std::string InfFile::ServiceSection() const
{
    return Fields(Directives(InstallSection() + ".Services", "AddService").at(0)).at(2);
}

void InfFile::AddEntries(const std::string& section, const std::string& hkr, std::vector<RegistryEntry>* entries) const
{
    for (const std::string& line : Section(section)) {
        std::vector<std::string> fields = Fields(line);
        fields.resize(std::max<size_t>(fields.size(), 5));
        std::string root = Upper(fields[0]);
        std::string keyPath;
        if (root == DeviceKeyRoot) {
            keyPath = hkr;
        } else if (root == "HKLM") {
            keyPath = "\\Registry\\Machine";
        } else {
            throw std::runtime_error("registry root " + fields[0] + " in [" + section + "]");
        }
        if (!fields[1].empty()) {
            keyPath += "\\" + fields[1];
        }
        unsigned long flags = fields[3].empty() ? 0 : std::stoul(fields[3], nullptr, 0);
        entries->push_back({keyPath, fields[2], flags, fields[4]});
    }
}

std::vector<RegistryEntry> InfFile::RegistryEntries(const std::string& deviceKey, const std::string& serviceKey) const
{
    std::vector<RegistryEntry> entries;
    for (const std::string& list : Directives(InstallSection(), "AddReg")) {
        for (const std::string& section : Fields(list)) {
            AddEntries(section, deviceKey, &entries);
        }
    }
    for (const std::string& list : Directives(ServiceSection(), "AddReg")) {
        for (const std::string& section : Fields(list)) {
            AddEntries(section, serviceKey, &entries);
        }
    }
    return entries;
}

std::vector<Interface> InfFile::Interfaces() const
{
    std::vector<Interface> interfaces;
    for (const std::string& entry : Directives(InstallSection() + ".Interfaces", "AddInterface")) {
        std::vector<std::string> fields = Fields(entry);
        fields.resize(std::max<size_t>(fields.size(), 3));
        interfaces.push_back({Upper(fields[0]), fields[1], fields[2]});
    }
    return interfaces;
}

}  // namespace inf
