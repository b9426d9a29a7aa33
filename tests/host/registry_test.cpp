// The stand-in registry gives the Zw services' documented statuses: creation of the last component
// only, partial reads at the header and data boundaries, deletion rules, access checks, relative
// names, case-insensitive names, fault injection and the IRQL check.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#include "support/platform_fixture.h"

namespace {

const std::string Software = "\\Registry\\Machine\\Software";
const std::u16string SoftwareWide = u"\\Registry\\Machine\\Software";

// A counted string over `text` with no terminator in its length, as the driver may pass one.
UNICODE_STRING Counted(std::u16string_view text)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<PWSTR>(text.data());
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    return counted;
}

class RegistryTest : public PlatformTest {
protected:
    NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, HANDLE* key, HANDLE root = nullptr)
    {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(key, access, &attributes);
    }

    NTSTATUS Create(const std::u16string& path, HANDLE* key, ULONG* disposition = nullptr, HANDLE root = nullptr,
                    ULONG options = REG_OPTION_NON_VOLATILE)
    {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
    }

    NTSTATUS SetDword(HANDLE key, const std::u16string& valueName, ULONG value)
    {
        UNICODE_STRING name = Counted(valueName);
        return ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
    }

    NTSTATUS Query(HANDLE key, const std::u16string& valueName, void* buffer, ULONG length, ULONG* resultLength)
    {
        UNICODE_STRING name = Counted(valueName);
        return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, resultLength);
    }

    // Opens a key prepared through the harness with full access; the test fails if it cannot.
    HANDLE OpenAll(const std::u16string& path)
    {
        HANDLE key = nullptr;
        EXPECT_EQ(Open(path, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
        return key;
    }
};

}  // namespace

TEST_F(RegistryTest, CreateKeyWithAMissingParentFailsAndCreatesNothing)
{
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(Create(SoftwareWide + u"\\Brackwater\\Quill Tarn", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(host::RegistryKeyExists(Software + "\\Brackwater"));
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}

TEST_F(RegistryTest, CreateKeyReportsWhetherItCreatedOrOpened)
{
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(SoftwareWide + u"\\Brackwater", &first, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(SoftwareWide + u"\\Brackwater", &second, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(first, second);
    EXPECT_TRUE(host::RegistryKeyExists(Software + "\\Brackwater"));
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
}

TEST_F(RegistryTest, OpenKeyOfAMissingKeyOrParentIsNameNotFound)
{
    host::RegistryCreateKey(Software + "\\Brackwater");
    const std::u16string missing[] = {
        SoftwareWide + u"\\Brackwater\\Quill Tarn",     // the key itself
        SoftwareWide + u"\\Brackwater\\Quill Tarn\\4",  // its parent
        SoftwareWide + u"\\Nowhere\\Quill Tarn\\4",     // a grandparent
    };
    for (const auto& path : missing) {
        HANDLE key = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(Open(path, KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(key, nullptr);
    }
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\software\\Brackwater", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Number of Cables", 5), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"NUMBER OF CABLES", 6), STATUS_SUCCESS);
    ZwClose(key);

    ASSERT_EQ(Open(u"\\registry\\machine\\SOFTWARE\\BRACKWATER", KEY_READ, &key), STATUS_SUCCESS);
    UCHAR buffer[16] = {};
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"number of cables", buffer, sizeof(buffer), &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data[0], 6);
    ZwClose(key);

    const std::vector<std::string> subkeys = host::RegistrySubkeys(Software);
    EXPECT_EQ(std::count(subkeys.begin(), subkeys.end(), "Brackwater"), 1);
    EXPECT_TRUE(host::RegistryGetValue(Software + "\\Brackwater", "Number of Cables", nullptr));
}

TEST_F(RegistryTest, ANameEndsAtItsLengthNotAtATerminator)
{
    host::RegistryCreateKey(Software + "\\Brackwater");
    const std::u16string text = SoftwareWide + u"\\BrackwaterXYZ";
    UNICODE_STRING name = Counted(text);
    name.Length -= 3 * sizeof(WCHAR);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(RegistryTest, RelativeNamesStartAtTheRootDirectoryHandle)
{
    host::RegistryCreateKey(Software + "\\Brackwater\\Quill Tarn");
    HANDLE root = OpenAll(SoftwareWide + u"\\Brackwater");
    HANDLE child = nullptr;
    EXPECT_EQ(Open(u"Quill Tarn", KEY_READ, &child, root), STATUS_SUCCESS);
    ZwClose(child);
    EXPECT_EQ(Create(u"Quill Tarn\\4", &child, nullptr, root), STATUS_SUCCESS);
    ZwClose(child);
    EXPECT_TRUE(host::RegistryKeyExists(Software + "\\Brackwater\\Quill Tarn\\4"));
    EXPECT_EQ(Open(u"Missing\\4", KEY_READ, &child, root), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\Quill Tarn", KEY_READ, &child, root), STATUS_OBJECT_PATH_SYNTAX_BAD);
    // An empty name opens the root key itself again.
    EXPECT_EQ(Open(u"", KEY_READ, &child, root), STATUS_SUCCESS);
    EXPECT_NE(child, root);
    ZwClose(child);
    ZwClose(root);
    EXPECT_EQ(Open(u"Quill Tarn", KEY_READ, &child, root), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, PartialReadsAtTheHeaderAndDataBoundaries)
{
    host::RegistrySetValue(Software + "\\Brackwater", "Six bytes", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    // Windows writes as much of the data as fits; nothing goes past the caller's length.
    const struct {
        ULONG length;
        NTSTATUS status;
        bool headerWritten;
        size_t dataBytesWritten;
    } cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, false, 0},
        {11, STATUS_BUFFER_TOO_SMALL, false, 0},
        {12, STATUS_BUFFER_OVERFLOW, true, 0},
        {17, STATUS_BUFFER_OVERFLOW, true, 5},
        {18, STATUS_SUCCESS, true, 6},
        {64, STATUS_SUCCESS, true, 6},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.length);
        UCHAR buffer[64];
        std::memset(buffer, 0xCD, sizeof(buffer));
        ULONG resultLength = 0;
        EXPECT_EQ(Query(key, u"Six bytes", buffer, row.length, &resultLength), row.status);
        EXPECT_EQ(resultLength, 18u);
        auto* information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (row.headerWritten) {
            EXPECT_EQ(information->TitleIndex, 0u);
            EXPECT_EQ(information->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(information->DataLength, 6u);
        } else {
            EXPECT_EQ(buffer[0], 0xCD);
            EXPECT_EQ(buffer[11], 0xCD);
        }
        for (size_t index = 0; index < 6; ++index) {
            EXPECT_EQ(buffer[12 + index], index < row.dataBytesWritten ? index + 1 : 0xCD) << index;
        }
    }
    ZwClose(key);
}

TEST_F(RegistryTest, AZeroByteValueFitsInTheHeaderAlone)
{
    host::RegistrySetValue(Software + "\\Brackwater", "Empty", REG_BINARY, {});
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    UCHAR buffer[12];
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"Empty", buffer, sizeof(buffer), &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(resultLength, 12u);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->DataLength, 0u);
    ZwClose(key);
}

TEST_F(RegistryTest, QueryOfAMissingValueOrAnotherInformationClassFails)
{
    host::RegistrySetDword(Software + "\\Brackwater", "Present", 1);
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    UCHAR buffer[32];
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"Absent", buffer, sizeof(buffer), &resultLength), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING name = Counted(u"Present");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(RegistryTest, SetValueCreatesThenReplacesTypeAndData)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(SoftwareWide + u"\\Brackwater", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Value", 0x01020304), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Value");
    UCHAR two[2] = {9, 8};
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, two, sizeof(two)), STATUS_SUCCESS);
    ZwClose(key);
    host::RegistryValueData value;
    ASSERT_TRUE(host::RegistryGetValue(Software + "\\Brackwater", "Value", &value));
    EXPECT_EQ(value.type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(value.data, (std::vector<uint8_t>{9, 8}));
}

TEST_F(RegistryTest, AReadHandleCannotChangeAnything)
{
    host::RegistrySetDword(Software + "\\Brackwater", "Value", 7);
    host::RegistryCreateKey(Software + "\\Brackwater\\Leaf");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(SoftwareWide + u"\\Brackwater", KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Value");
    EXPECT_EQ(SetDword(key, u"Value", 8), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_ACCESS_DENIED);
    ZwClose(key);
    ASSERT_EQ(Open(SoftwareWide + u"\\Brackwater\\Leaf", KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_ACCESS_DENIED);
    ZwClose(key);
    EXPECT_EQ(RegistryDword(Software + "\\Brackwater", "Value"), 7u);
    EXPECT_TRUE(host::RegistryKeyExists(Software + "\\Brackwater\\Leaf"));
}

TEST_F(RegistryTest, AWriteOnlyHandleCannotQuery)
{
    host::RegistrySetDword(Software + "\\Brackwater", "Value", 7);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(SoftwareWide + u"\\Brackwater", KEY_SET_VALUE, &key), STATUS_SUCCESS);
    UCHAR buffer[16];
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"Value", buffer, sizeof(buffer), &resultLength), STATUS_ACCESS_DENIED);
    ZwClose(key);
}

TEST_F(RegistryTest, DeleteValueRemovesItOnce)
{
    host::RegistrySetDword(Software + "\\Brackwater", "Value", 7);
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    UNICODE_STRING name = Counted(u"VALUE");
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    EXPECT_FALSE(host::RegistryGetValue(Software + "\\Brackwater", "Value", nullptr));
}

TEST_F(RegistryTest, AKeyWithSubkeysCannotBeDeleted)
{
    host::RegistryCreateKey(Software + "\\Brackwater\\Quill Tarn");
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    ZwClose(key);
    EXPECT_TRUE(host::RegistryKeyExists(Software + "\\Brackwater\\Quill Tarn"));
}

TEST_F(RegistryTest, HandlesToADeletedKeyFailWithKeyDeleted)
{
    host::RegistrySetDword(Software + "\\Brackwater", "Value", 7);
    HANDLE deleting = OpenAll(SoftwareWide + u"\\Brackwater");
    HANDLE other = OpenAll(SoftwareWide + u"\\Brackwater");
    ASSERT_EQ(ZwDeleteKey(deleting), STATUS_SUCCESS);
    EXPECT_FALSE(host::RegistryKeyExists(Software + "\\Brackwater"));

    // A key of the same name created afterwards is a different key.
    HANDLE recreated = nullptr;
    ASSERT_EQ(Create(SoftwareWide + u"\\Brackwater", &recreated), STATUS_SUCCESS);
    UCHAR buffer[16];
    ULONG resultLength = 0;
    EXPECT_EQ(Query(other, u"Value", buffer, sizeof(buffer), &resultLength), STATUS_KEY_DELETED);
    EXPECT_EQ(SetDword(other, u"Value", 8), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(deleting), STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(u"Child", &child, nullptr, other), STATUS_KEY_DELETED);
    EXPECT_EQ(Query(recreated, u"Value", buffer, sizeof(buffer), &resultLength), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwClose(deleting), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(recreated), STATUS_SUCCESS);
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}

TEST_F(RegistryTest, ClosingAnUnknownOrClosedHandleIsInvalidHandle)
{
    HANDLE key = OpenAll(SoftwareWide);
    EXPECT_EQ(host::RegistryOpenHandleCount(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, HiveRootsExistAfterAClearAndCannotBeDeleted)
{
    HANDLE key = OpenAll(u"\\Registry\\Machine\\System");
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    ZwClose(key);
    HANDLE hive = nullptr;
    EXPECT_EQ(Create(u"\\Registry\\Machine\\Tarn", &hive), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\Device\\Tarn", KEY_READ, &hive), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"Registry\\Machine", KEY_READ, &hive), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\Registry\\\\Machine", KEY_READ, &hive), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, AVolatileKeyTakesOnlyVolatileSubkeys)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(SoftwareWide + u"\\Session", &key, nullptr, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(u"Lasting", &child, nullptr, key), STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Create(u"Passing", &child, nullptr, key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(key);
}

TEST_F(RegistryTest, EveryRegistryServiceReportsACallAbovePassiveLevel)
{
    host::RegistrySetDword(Software + "\\Brackwater\\Leaf", "Value", 1);
    HANDLE key = OpenAll(SoftwareWide + u"\\Brackwater");
    HANDLE leaf = OpenAll(SoftwareWide + u"\\Brackwater\\Leaf");
    HANDLE opened = nullptr;
    HANDLE created = nullptr;
    UCHAR buffer[16];
    ULONG resultLength = 0;
    UNICODE_STRING name = Counted(u"Value");

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Open(SoftwareWide, KEY_READ, &opened);
    Create(SoftwareWide + u"\\Brackwater\\New", &created);
    Query(leaf, u"Value", buffer, sizeof(buffer), &resultLength);
    SetDword(key, u"Value", 2);
    ZwDeleteValueKey(leaf, &name);
    ZwDeleteKey(leaf);
    ZwClose(leaf);
    KeLowerIrql(old);

    const std::vector<std::string> expected = {"ZwOpenKey",        "ZwCreateKey", "ZwQueryValueKey", "ZwSetValueKey",
                                               "ZwDeleteValueKey", "ZwDeleteKey", "ZwClose"};
    std::vector<std::string> routines;
    for (const host::Violation& violation : host::TakeViolations()) {
        EXPECT_EQ(violation.rule, "IRQL_NOT_LESS_OR_EQUAL");
        EXPECT_NE(violation.message.find("DISPATCH_LEVEL"), std::string::npos) << violation.message;
        routines.push_back(violation.routine);
    }
    EXPECT_EQ(routines, expected);
    ZwClose(key);
    ZwClose(opened);
    ZwClose(created);
}

TEST_F(RegistryTest, InjectedFaultsHitTheKeyAndEverythingBelowItOnly)
{
    host::RegistryCreateKey(Software + "\\Brackwater\\Quill Tarn");
    host::RegistryCreateKey(Software + "\\BrackwaterOther");
    HANDLE openedBefore = OpenAll(SoftwareWide + u"\\Brackwater\\Quill Tarn");
    host::RegistryFailAccess(Software + "\\BRACKWATER", STATUS_ACCESS_DENIED);

    HANDLE key = nullptr;
    EXPECT_EQ(Open(SoftwareWide + u"\\Brackwater", KEY_READ, &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(SoftwareWide + u"\\Brackwater\\Quill Tarn\\4", &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(SoftwareWide + u"\\Brackwater\\Missing\\4", &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDword(openedBefore, u"Value", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(SoftwareWide + u"\\BrackwaterOther", KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(openedBefore), STATUS_SUCCESS);
    EXPECT_FALSE(host::RegistryKeyExists(Software + "\\Brackwater\\Quill Tarn\\4"));

    host::RegistryClearFaults();
    EXPECT_EQ(Open(SoftwareWide + u"\\Brackwater", KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(RegistryTest, TheMostSpecificInjectedFaultWinsAndSuccessClearsOne)
{
    host::RegistryCreateKey(Software + "\\Brackwater\\Quill Tarn\\4");
    host::RegistryFailAccess(Software + "\\Brackwater", STATUS_ACCESS_DENIED);
    host::RegistryFailAccess(Software + "\\Brackwater\\Quill Tarn", STATUS_INSUFFICIENT_RESOURCES);
    HANDLE key = nullptr;
    EXPECT_EQ(Open(SoftwareWide + u"\\Brackwater\\Quill Tarn\\4", KEY_READ, &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Open(SoftwareWide + u"\\Brackwater", KEY_READ, &key), STATUS_ACCESS_DENIED);
    host::RegistryFailAccess(Software + "\\Brackwater\\Quill Tarn", STATUS_SUCCESS);
    EXPECT_EQ(Open(SoftwareWide + u"\\Brackwater\\Quill Tarn\\4", KEY_READ, &key), STATUS_ACCESS_DENIED);
}

TEST_F(RegistryTest, CallCountsCountEveryCallIncludingFailuresUntilTheNextClear)
{
    HANDLE key = nullptr;
    Open(SoftwareWide + u"\\Missing", KEY_READ, &key);
    Open(SoftwareWide, KEY_READ, &key);
    ZwClose(key);
    ZwClose(key);
    std::map<std::string, int> counts = host::RegistryCallCounts();
    EXPECT_EQ(counts["ZwOpenKey"], 2);
    EXPECT_EQ(counts["ZwClose"], 2);
    EXPECT_EQ(counts["ZwCreateKey"], 0);
    host::RegistryClear();
    EXPECT_TRUE(host::RegistryCallCounts().empty());
}

TEST_F(RegistryTest, ConcurrentWritersAllLand)
{
    constexpr int Threads = 4;
    constexpr int ValuesPerThread = 100;
    std::vector<std::thread> writers;
    for (int thread = 0; thread < Threads; ++thread) {
        writers.emplace_back([this, thread] {
            HANDLE key = nullptr;
            const std::u16string path = SoftwareWide + u"\\Thread" + static_cast<char16_t>(u'0' + thread);
            ASSERT_EQ(Create(path, &key), STATUS_SUCCESS);
            for (int index = 0; index < ValuesPerThread; ++index) {
                std::u16string name = u"V";
                for (char digit : std::to_string(index)) {
                    name.push_back(static_cast<char16_t>(digit));
                }
                EXPECT_EQ(SetDword(key, name, static_cast<ULONG>(index)), STATUS_SUCCESS);
            }
            ZwClose(key);
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    for (int thread = 0; thread < Threads; ++thread) {
        const std::string path = Software + "\\Thread" + std::to_string(thread);
        EXPECT_EQ(RegistryDword(path, "V99"), 99u);
    }
    EXPECT_EQ(host::RegistryCallCounts()["ZwSetValueKey"], Threads * ValuesPerThread);
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}
