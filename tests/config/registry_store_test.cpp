// The registry parameter store: lookup order, write-through to both locations, path creation and
// the fixed-size buffers.
#include <cstring>

#include "config/registry_store.h"
#include "core/driver_state.h"
#include "support/platform_fixture.h"

namespace {

const std::string ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv\\Parameters";

class RegistryStoreTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        std::strcpy(Driver.ParametersPath, ParametersKey.c_str());
        host::RegistryCreateKey("\\Registry\\Machine\\Software");
        host::RegistryCreateKey("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv");
    }

    NTSTATUS Read(const char* subkey, const char* name, ULONG* type, void* data, ULONG* size)
    {
        return RegistryValue(false, subkey, name, type, data, size);
    }
};

}  // namespace

TEST_F(RegistryStoreTest, ReadPrefersTheSoftwareKeyOverTheParametersKey)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 3);
    host::RegistrySetDword(ParametersKey, "Number of cables", 7);
    ULONG value = 0, type = 0, size = 4;

    EXPECT_EQ(Read(nullptr, "Number of cables", &type, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(size, 4u);
}

TEST_F(RegistryStoreTest, ReadFallsBackToTheParametersKeyWhenTheSoftwareKeyLacksTheValue)
{
    host::RegistryCreateKey(SoftwareKeyPath);
    host::RegistrySetDword(ParametersKey + "\\Cable 2", "Clock correction", 65601);
    ULONG value = 0, type = 0, size = 4;

    EXPECT_EQ(Read("Cable 2", "Clock correction", &type, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(value, 65601u);
}

TEST_F(RegistryStoreTest, ReadOfAValueAbsentEverywhereIsNotFound)
{
    ULONG value = 0, type = 0, size = 4;
    EXPECT_EQ(Read(nullptr, "Number of cables", &type, &value, &size), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryStoreTest, AFailureOtherThanNotFoundAtTheSoftwareKeyIsReturnedWithoutTryingParameters)
{
    host::RegistrySetDword(SoftwareKeyPath, "Other", 1);
    host::RegistrySetDword(ParametersKey, "Number of cables", 7);
    host::RegistryFailAccess(SoftwareKeyPath, STATUS_ACCESS_DENIED);
    ULONG value = 0, type = 0, size = 4;

    EXPECT_EQ(Read(nullptr, "Number of cables", &type, &value, &size), STATUS_ACCESS_DENIED);
    EXPECT_EQ(value, 0u);
}

TEST_F(RegistryStoreTest, WriteGoesToBothLocationsCreatingEveryMissingKey)
{
    ULONG value = 42, type = REG_DWORD, size = 4;

    EXPECT_EQ(RegistryValue(true, "Cable 1", "Milliseconds per interrupt", &type, &value, &size), STATUS_SUCCESS);

    EXPECT_EQ(RegistryDword(std::string(SoftwareKeyPath) + "\\Cable 1", "Milliseconds per interrupt"), 42u);
    EXPECT_EQ(RegistryDword(ParametersKey + "\\Cable 1", "Milliseconds per interrupt"), 42u);
    for (const char* key : {"\\Registry\\Machine\\Software\\Brackwater", "\\Registry\\Machine\\Software\\Brackwater\\Quill Tarn"}) {
        EXPECT_TRUE(host::RegistryKeyExists(key)) << key;
    }
}

TEST_F(RegistryStoreTest, WriteReturnsTheParametersKeyStatusWhateverTheSoftwareKeyDid)
{
    ULONG value = 5, type = REG_DWORD, size = 4;
    host::RegistryCreateKey(SoftwareKeyPath);
    host::RegistryFailAccess(SoftwareKeyPath, STATUS_ACCESS_DENIED);
    EXPECT_EQ(RegistryValue(true, nullptr, "Number of cables", &type, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(RegistryDword(ParametersKey, "Number of cables"), 5u);

    host::RegistryClearFaults();
    host::RegistryCreateKey(ParametersKey);
    host::RegistryFailAccess(ParametersKey, STATUS_ACCESS_DENIED);
    value = 6;
    EXPECT_EQ(RegistryValue(true, nullptr, "Number of cables", &type, &value, &size), STATUS_ACCESS_DENIED);
    EXPECT_EQ(RegistryDword(SoftwareKeyPath, "Number of cables"), 6u);
}

TEST_F(RegistryStoreTest, AShortValueReadIntoALargerBufferReportsItsOwnSizeAndType)
{
    host::RegistrySetValue(SoftwareKeyPath, "Short", REG_BINARY, {0x34, 0x12});
    ULONG value = 0, type = 0, size = 4;

    EXPECT_EQ(Read(nullptr, "Short", &type, &value, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(value, 0x1234u);
}

TEST_F(RegistryStoreTest, ValuesOfUnusualSizesNeverOverrunTheCallersBuffer)
{
    struct Case {
        size_t storedBytes;
        NTSTATUS expectedStatus;
        ULONG expectedSize;
    };
    const Case cases[] = {
        {0, STATUS_SUCCESS, 0},
        {6, STATUS_SUCCESS, 4},
        {516, STATUS_SUCCESS, 4},
        {517, STATUS_BUFFER_OVERFLOW, 0},
        {4096, STATUS_BUFFER_OVERFLOW, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.storedBytes);
        std::vector<uint8_t> stored(c.storedBytes);
        for (size_t i = 0; i < stored.size(); ++i) {
            stored[i] = static_cast<uint8_t>(i + 1);
        }
        host::RegistrySetValue(SoftwareKeyPath, "Odd", REG_BINARY, stored);
        // Guard bytes around a 4-byte data word catch any write past it.
        uint8_t buffer[12];
        std::memset(buffer, 0xEE, sizeof(buffer));
        ULONG type = 0, size = 4;

        EXPECT_EQ(Read(nullptr, "Odd", &type, buffer + 4, &size), c.expectedStatus);
        EXPECT_EQ(size, c.expectedSize);
        for (int i : {0, 1, 2, 3, 8, 9, 10, 11}) {
            EXPECT_EQ(buffer[i], 0xEE) << "guard byte " << i;
        }
        for (ULONG i = 0; i < c.expectedSize; ++i) {
            EXPECT_EQ(buffer[4 + i], i + 1);
        }
    }
}

TEST_F(RegistryStoreTest, NamesAndPathsLongerThanTheBuffersAreRefusedAndCreateNothing)
{
    ULONG value = 1, type = REG_DWORD, size = 4;
    std::string longName(256, 'n');
    EXPECT_EQ(RegistryValue(true, nullptr, longName.c_str(), &type, &value, &size), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(host::RegistryKeyExists(SoftwareKeyPath));

    std::string longSubkey(256 - sizeof(SoftwareKeyPath), 's');  // location + "\" + subkey = 256 characters
    EXPECT_EQ(RegistryValue(true, longSubkey.c_str(), "Value", &type, &value, &size), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(host::RegistryKeyExists(SoftwareKeyPath));

    longSubkey.pop_back();  // 255 characters fit
    EXPECT_EQ(RegistryValue(true, longSubkey.c_str(), "Value", &type, &value, &size), STATUS_INVALID_PARAMETER)
        << "the Parameters path is longer than the software path, so it does not fit";
    EXPECT_EQ(RegistryDword(std::string(SoftwareKeyPath) + "\\" + longSubkey, "Value"), 1u);

    size = 4;
    EXPECT_EQ(RegistryValue(false, nullptr, longName.c_str(), &type, &value, &size), STATUS_INVALID_PARAMETER)
        << "the key exists, so the name itself is refused";
}

TEST_F(RegistryStoreTest, EveryHandleOpenedIsClosed)
{
    host::RegistrySetDword(ParametersKey, "Number of cables", 4);
    ULONG value = 0, type = 0, size = 4;
    Read(nullptr, "Number of cables", &type, &value, &size);
    RegistryValue(true, "Cable 9", "Volume control", &type, &value, &size);
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}

TEST_F(RegistryStoreTest, KeysOpenedForAClientsRequestAreKernelHandles)
{
    // The control channel writes settings from the panel's process: the store's handles must not
    // land in that process's handle table.
    host::RegistrySetDword(ParametersKey, "Number of cables", 4);
    ULONG value = 0, type = 0, size = 4;
    std::vector<host::Violation> violations;
    {
        host::InProcess client;
        ASSERT_EQ(Read(nullptr, "Number of cables", &type, &value, &size), STATUS_SUCCESS);
        value = 5;
        ASSERT_EQ(RegistryValue(true, "Cable 9", "Volume control", &type, &value, &size), STATUS_SUCCESS);
        violations = host::TakeViolations();
    }
    for (const host::Violation& violation : violations) {
        ADD_FAILURE() << violation.message;
    }
    EXPECT_TRUE(violations.empty());
    EXPECT_EQ(RegistryDword(ParametersKey + "\\Cable 9", "Volume control"), 5u);
}
