// The registry file: every key and value survives a save and a load exactly, the file is plain text
// a person can read and write, and a malformed file changes nothing.
#include <fstream>
#include <sstream>

#include "support/platform_fixture.h"

namespace {

const std::string Tarn = "\\Registry\\Machine\\Software\\Brackwater\\Quill Tarn\\4";

std::string ReadText(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class RegistryFileTest : public PlatformTest {
protected:
    // Creates (or opens) a key through the Zw services, as the driver would.
    HANDLE CreateKey(const std::u16string& path, ULONG options)
    {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                            const_cast<PWSTR>(path.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key = nullptr;
        EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, nullptr), STATUS_SUCCESS);
        return key;
    }

    std::string TempFile(const std::string& name)
    {
        return ::testing::TempDir() + "tarn_registry_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
    }
};

struct ExpectedValue {
    std::string key;
    std::string name;
    ULONG type;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<uint8_t>(index * 7 + 3);
    }
    return bytes;
}

}  // namespace

TEST_F(RegistryFileTest, SaveAndLoadKeepEveryKeyAndValueExactly)
{
    const std::vector<ExpectedValue> values = {
        {Tarn, "Number of cables", REG_DWORD, {8, 0, 0, 0}},
        {Tarn, "", REG_SZ, {'A', 0, 0, 0}},
        {Tarn, "Empty", REG_BINARY, {}},
        {Tarn, "Large", REG_BINARY, Pattern(600)},
        {Tarn, "Odd type", 0x1234, {0xAB}},
        {Tarn, "100% \"sure\"", REG_DWORD, {1, 0, 0, 0}},
        {Tarn + "\\C\xC3\xA2" "ble 1", "Caf\xC3\xA9\tname", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {Tarn + "\\Trailing ", "Back\\slash", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}},
    };
    for (const auto& value : values) {
        host::RegistrySetValue(value.key, value.name, value.type, value.data);
    }
    host::RegistryCreateKey(Tarn + "\\Empty key");
    const std::string first = TempFile("first");
    const std::string second = TempFile("second");
    host::RegistrySaveFile(first);

    host::RegistryClear();
    ASSERT_FALSE(host::RegistryKeyExists(Tarn));
    ASSERT_TRUE(host::RegistryLoadFile(first));

    for (const auto& expected : values) {
        SCOPED_TRACE(expected.name);
        host::RegistryValueData loaded;
        ASSERT_TRUE(host::RegistryGetValue(expected.key, expected.name, &loaded));
        EXPECT_EQ(loaded.type, expected.type);
        EXPECT_EQ(loaded.data, expected.data);
    }
    EXPECT_EQ(host::RegistrySubkeys(Tarn),
              (std::vector<std::string>{"C\xC3\xA2" "ble 1", "Empty key", "Trailing "}));
    host::RegistrySaveFile(second);
    EXPECT_EQ(ReadText(second), ReadText(first));
}

TEST_F(RegistryFileTest, TheFileIsTextWithQuotedNamesAndHexData)
{
    host::RegistrySetDword(Tarn, "Number of cables", 8);
    host::RegistrySetValue(Tarn, "100% \"sure\"", REG_BINARY, {0x0A, 0xFF});
    const std::string file = TempFile("text");
    host::RegistrySaveFile(file);
    const std::string text = ReadText(file);
    EXPECT_NE(text.find("key \"\\REGISTRY\\MACHINE\\SOFTWARE\\Brackwater\\Quill Tarn\\4\"\n"
                        "value \"Number of cables\" REG_DWORD 08000000\n"
                        "value \"100%0025 %0022sure%0022\" REG_BINARY 0aff\n"),
              std::string::npos)
        << text;
}

TEST_F(RegistryFileTest, AHandWrittenFileLoads)
{
    const std::string file = TempFile("hand");
    WriteText(file,
              "# written by hand\r\n"
              "\r\n"
              "key \"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv\\Parameters\"\r\n"
              "  value \"Number of cables\"   4   10000000\r\n"
              "value \"Caf%00E9\" REG_SZ\n");
    ASSERT_TRUE(host::RegistryLoadFile(file));
    const std::string parameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv\\Parameters";
    EXPECT_EQ(RegistryDword(parameters, "Number of cables"), 16u);
    host::RegistryValueData value;
    ASSERT_TRUE(host::RegistryGetValue(parameters, "Caf\xC3\xA9", &value));
    EXPECT_EQ(value.type, static_cast<ULONG>(REG_SZ));
    EXPECT_TRUE(value.data.empty());
}

TEST_F(RegistryFileTest, AMalformedFileIsRefusedAndChangesNothing)
{
    const std::string badLines[] = {
        "value \"Orphan\" REG_DWORD 01000000",  // no key line before it
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"x\" REG_DWORD 0",   // odd number of hex digits
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"x\" REG_DWORD 0g",  // not hexadecimal
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"x\" REG_NOPE 00",   // unknown type name
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"x REG_DWORD 00",    // unterminated name
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"%00ZZ\" REG_DWORD",  // bad escape
        "key \"\\Registry\\Machine\\Software\\A\"\nvalue \"x\" REG_DWORD 00 00",  // trailing field
        "key \"Registry\\Machine\"",                                        // not absolute
        "key \"\\Device\\Tarn\"",                                           // not in the registry
        "key \"\\Registry\\\\Machine\"",                                    // empty name
        "key \"\\Registry\\Machine\\Software\\A\" extra",                   // trailing field
        "frobnicate \"x\"",                                                 // unknown line
    };
    host::RegistrySetDword(Tarn, "Marker", 1);
    for (const auto& text : badLines) {
        SCOPED_TRACE(text);
        const std::string file = TempFile("bad");
        WriteText(file, text + "\n");
        EXPECT_FALSE(host::RegistryLoadFile(file));
        EXPECT_EQ(RegistryDword(Tarn, "Marker"), 1u);
        EXPECT_FALSE(host::RegistryKeyExists("\\Registry\\Machine\\Software\\A"));
    }
    EXPECT_FALSE(host::RegistryLoadFile(TempFile("does-not-exist")));
    EXPECT_EQ(RegistryDword(Tarn, "Marker"), 1u);
}

TEST_F(RegistryFileTest, LoadingReplacesTheRegistryUnderOpenHandles)
{
    host::RegistrySetDword(Tarn, "Old", 1);
    const std::string file = TempFile("empty");
    WriteText(file, "key \"\\Registry\\Machine\\Software\\Other\"\n");
    HANDLE key = CreateKey(u"\\Registry\\Machine\\Software\\Brackwater\\Quill Tarn\\4", REG_OPTION_NON_VOLATILE);

    ASSERT_TRUE(host::RegistryLoadFile(file));
    EXPECT_FALSE(host::RegistryKeyExists(Tarn));
    EXPECT_TRUE(host::RegistryKeyExists("\\Registry\\Machine\\Software\\Other"));
    EXPECT_TRUE(host::RegistryKeyExists("\\Registry\\Machine\\System"));
    ULONG value = 2;
    UNICODE_STRING valueName{6, 6, const_cast<PWSTR>(u"Old")};
    EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryFileTest, VolatileKeysAreNotSaved)
{
    host::RegistryCreateKey("\\Registry\\Machine\\Software\\Lasting");
    ZwClose(CreateKey(u"\\Registry\\Machine\\Software\\Passing", REG_OPTION_VOLATILE));
    const std::string file = TempFile("volatile");
    host::RegistrySaveFile(file);
    host::RegistryClear();
    ASSERT_TRUE(host::RegistryLoadFile(file));
    EXPECT_TRUE(host::RegistryKeyExists("\\Registry\\Machine\\Software\\Lasting"));
    EXPECT_FALSE(host::RegistryKeyExists("\\Registry\\Machine\\Software\\Passing"));
}
