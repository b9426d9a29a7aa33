// The registry saved to and loaded from a text file that a person can read and edit:
//
//   # Tarn host registry
//   key "\REGISTRY\MACHINE\SOFTWARE\Brackwater\Quill Tarn\4"
//   value "Number of cables" REG_DWORD 10000000
//   value "Empty" REG_BINARY
//   value "Odd type" 0x00001234 0a0b
//
// One line per key (parents first, subkeys in the registry's order) and one per value, which belongs
// to the key line above it (values in creation order). Lines starting with '#' and blank lines are
// ignored; a key line's missing parents are created. A type is one of the REG_ names below or a
// number; data is hexadecimal, two digits per byte, and left out when empty. Inside quotes, '"',
// '%' and every character outside printable ASCII is written as '%' and the four hexadecimal digits
// of its UTF-16 unit ("%00E9" for e acute), so every name round-trips exactly. Volatile keys are not
// saved, as Windows does not keep them across a restart.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/harness.h"
#include "registry_tree.h"

namespace host {

using namespace registry;

namespace {

struct TypeName {
    ULONG type;
    const char* name;
};

constexpr TypeName TypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

constexpr char HexDigits[] = "0123456789abcdef";

std::string Quote(const std::u16string& text)
{
    std::string quoted = "\"";
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit <= 0x7E && unit != u'"' && unit != u'%') {
            quoted.push_back(static_cast<char>(unit));
        } else {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "%%%04X", static_cast<unsigned>(unit));
            quoted += escape;
        }
    }
    return quoted + "\"";
}

std::string TypeText(ULONG type)
{
    for (const auto& entry : TypeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    char number[16];
    std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(type));
    return number;
}

void WriteKey(std::ostream& out, const Key& key)
{
    if (key.isVolatile) {
        return;
    }
    out << "key " << Quote(key.Path()) << "\n";
    for (const auto& value : key.values) {
        out << "value " << Quote(value.name) << " " << TypeText(value.type);
        if (!value.data.empty()) {
            out << " ";
            for (uint8_t byte : value.data) {
                out << HexDigits[byte >> 4] << HexDigits[byte & 0x0F];
            }
        }
        out << "\n";
    }
    for (const auto& subkey : key.subkeys) {
        WriteKey(out, *subkey.second);
    }
}

int HexValue(char digit)
{
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// Reads one line's fields; every Read* returns false on a syntax error.
class LineParser {
public:
    explicit LineParser(const std::string& line) : line_(line) {}

    bool ReadWord(std::string* word)
    {
        SkipSpaces();
        const size_t start = position_;
        while (position_ < line_.size() && line_[position_] != ' ' && line_[position_] != '\t') {
            ++position_;
        }
        *word = line_.substr(start, position_ - start);
        return !word->empty();
    }

    bool ReadQuoted(std::u16string* text)
    {
        SkipSpaces();
        if (position_ >= line_.size() || line_[position_] != '"') {
            return false;
        }
        text->clear();
        for (++position_; position_ < line_.size(); ++position_) {
            const char character = line_[position_];
            if (character == '"') {
                ++position_;
                return true;
            }
            if (character == '%') {
                int unit = 0;
                for (int digit = 1; digit <= 4; ++digit) {
                    const int value = position_ + digit < line_.size() ? HexValue(line_[position_ + digit]) : -1;
                    if (value < 0) {
                        return false;
                    }
                    unit = unit * 16 + value;
                }
                text->push_back(static_cast<char16_t>(unit));
                position_ += 4;
            } else if (static_cast<unsigned char>(character) < 0x20 || static_cast<unsigned char>(character) > 0x7E) {
                return false;
            } else {
                text->push_back(static_cast<char16_t>(character));
            }
        }
        return false;  // no closing quote
    }

    bool AtEnd()
    {
        SkipSpaces();
        return position_ == line_.size();
    }

private:
    void SkipSpaces()
    {
        while (position_ < line_.size() && (line_[position_] == ' ' || line_[position_] == '\t')) {
            ++position_;
        }
    }

    const std::string& line_;
    size_t position_ = 0;
};

bool ParseType(const std::string& text, ULONG* type)
{
    for (const auto& entry : TypeNames) {
        if (text == entry.name) {
            *type = entry.type;
            return true;
        }
    }
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    *type = static_cast<ULONG>(number);
    return !text.empty() && *end == '\0' && number <= 0xFFFFFFFFull && text[0] != '-' && text[0] != '+';
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* data)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    data->clear();
    for (size_t index = 0; index < text.size(); index += 2) {
        const int high = HexValue(text[index]);
        const int low = HexValue(text[index + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        data->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

// Applies one line to `tree`; `current` is the key that value lines belong to.
bool ParseLine(const std::string& line, Key& tree, Key** current)
{
    LineParser parser(line);
    std::string keyword;
    if (!parser.ReadWord(&keyword) || keyword[0] == '#') {
        return true;  // blank or comment
    }
    std::u16string name;
    if (!parser.ReadQuoted(&name)) {
        return false;
    }
    if (keyword == "key") {
        Components components;
        if (!parser.AtEnd() || !SplitRegistryPath(name, &components)) {
            return false;
        }
        *current = EnsurePath(tree, components);
        return true;
    }
    std::string typeText;
    std::string hexText;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    if (keyword != "value" || *current == nullptr || !parser.ReadWord(&typeText) || !ParseType(typeText, &type)) {
        return false;
    }
    if (!parser.AtEnd() && (!parser.ReadWord(&hexText) || !ParseHex(hexText, &data) || !parser.AtEnd())) {
        return false;
    }
    (*current)->SetValue(name, type, data.data(), data.size());
    return true;
}

}  // namespace

// Writes every non-volatile key and value; throws std::runtime_error when the file cannot be written.
void RegistrySaveFile(const std::string& file)
{
    std::ostringstream text;
    text << "# Tarn host registry: key lines, each followed by its value lines (type, hexadecimal data).\n";
    {
        RegistryState& state = State();
        std::lock_guard<std::mutex> guard(state.mutex);
        WriteKey(text, *state.root);
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write the registry file " + file);
    }
}

// Replaces the whole registry with the file's content, like a restart with that hive; handles still
// open then see STATUS_KEY_DELETED. False, with the registry unchanged, for a missing or malformed file.
bool RegistryLoadFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::shared_ptr<Key> tree = NewTree();
    Key* current = nullptr;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!ParseLine(line, *tree, &current)) {
            return false;
        }
    }
    if (in.bad()) {
        return false;
    }
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    Detach(*state.root);
    state.root = std::move(tree);
    return true;
}

}  // namespace host
