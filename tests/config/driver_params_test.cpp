// Driver-wide parameters as DriverEntry loads them: limits, write-back with the type and size
// read, and the copy into the software key.
#include "config/driver_params.h"
#include "config/registry_store.h"
#include "support/platform_fixture.h"

namespace {

const std::string ParametersKey = host::DriverImage::DefaultServiceKey + "\\Parameters";

class DriverParamsTest : public PlatformTest {
protected:
    void TearDown() override
    {
        image.Unload();
        PlatformTest::TearDown();
    }

    DriverParams LoadImage()
    {
        EXPECT_EQ(image.Load(), STATUS_SUCCESS);
        auto* params = static_cast<DriverParams*>(image.Symbol("Params"));
        return params != nullptr ? *params : DriverParams{};
    }

    host::DriverImage image{host::DefaultDriverImagePath()};
};

}  // namespace

TEST_F(DriverParamsTest, NumberOfCablesAcceptsOneToTwoHundredFiftySix)
{
    struct Case {
        ULONG stored;
        ULONG expected;
    };
    for (Case c : {Case{1, 1}, Case{256, 256}, Case{257, 8}, Case{0, 8}, Case{0xFFFFFFFF, 8}}) {
        SCOPED_TRACE(c.stored);
        host::ResetPlatform();
        host::RegistrySetDword(SoftwareKeyPath, "Number of cables", c.stored);
        EXPECT_EQ(LoadImage().NumberOfCables, c.expected);
        // A refused value stays in the registry as it was.
        EXPECT_EQ(RegistryDword(SoftwareKeyPath, "Number of cables"), c.stored);
        image.Unload();
    }
}

TEST_F(DriverParamsTest, RefusedValuesAreNotCopiedToTheParametersKey)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 257);
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables to restrict KMixer thread affinity", 257);
    DriverParams params = LoadImage();
    EXPECT_EQ(params.NumberOfCables, 8u);
    EXPECT_EQ(params.KmixerAffinityCableCount, 0u);
    EXPECT_FALSE(host::RegistryKeyExists(ParametersKey));
}

TEST_F(DriverParamsTest, AffinityCountsAcceptZeroToTwoHundredFiftySix)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables to restrict KMixer thread affinity", 256);
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables to restrict client thread affinity", 3);
    DriverParams params = LoadImage();
    EXPECT_EQ(params.KmixerAffinityCableCount, 256u);
    EXPECT_EQ(params.ClientAffinityCableCount, 3u);
    EXPECT_EQ(RegistryDword(ParametersKey, "Number of cables to restrict client thread affinity"), 3u);
}

TEST_F(DriverParamsTest, AValueFoundOnlyInTheParametersKeyIsCopiedIntoTheSoftwareKey)
{
    host::RegistrySetDword(ParametersKey, "Number of cables", 12);
    EXPECT_EQ(LoadImage().NumberOfCables, 12u);
    EXPECT_EQ(RegistryDword(SoftwareKeyPath, "Number of cables"), 12u);
}

TEST_F(DriverParamsTest, SplitDpcStoredAsTwoIsTrueAndWrittenBackAsTwo)
{
    host::RegistrySetDword(SoftwareKeyPath, "Split DPC processing among CPUs", 2);
    EXPECT_EQ(LoadImage().SplitDpcAmongCpus, TRUE);
    host::RegistryValueData written;
    ASSERT_TRUE(host::RegistryGetValue(ParametersKey, "Split DPC processing among CPUs", &written));
    EXPECT_EQ(written.type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(written.data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST_F(DriverParamsTest, AOneByteBinaryValueIsReadAndWrittenBackWithItsTypeAndSize)
{
    host::RegistrySetValue(SoftwareKeyPath, "Number of cables", REG_BINARY, {5});
    EXPECT_EQ(LoadImage().NumberOfCables, 5u);
    host::RegistryValueData written;
    ASSERT_TRUE(host::RegistryGetValue(ParametersKey, "Number of cables", &written));
    EXPECT_EQ(written.type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(written.data, std::vector<uint8_t>{5});
}

TEST_F(DriverParamsTest, AValueTooLargeForTheStoreIsTreatedAsAbsent)
{
    host::RegistrySetValue(SoftwareKeyPath, "Number of cables", REG_BINARY, std::vector<uint8_t>(600, 1));
    EXPECT_EQ(LoadImage().NumberOfCables, 8u);
}

TEST_F(DriverParamsTest, EachCountTakesOnlyValuesInItsRange)
{
    struct Case {
        const char* name;
        ULONG stored;
        ULONG expected;
        ULONG DriverParams::*field;
    };
    const char* const kmixer = "Number of cables to restrict KMixer thread affinity";
    const char* const client = "Number of cables to restrict client thread affinity";
    const Case cases[] = {
        {"Number of cables", 1, 1, &DriverParams::NumberOfCables},
        {"Number of cables", 0, 8, &DriverParams::NumberOfCables},
        {"Number of cables", 257, 8, &DriverParams::NumberOfCables},
        {kmixer, 0, 0, &DriverParams::KmixerAffinityCableCount},
        {kmixer, 256, 256, &DriverParams::KmixerAffinityCableCount},
        {kmixer, 257, 0, &DriverParams::KmixerAffinityCableCount},
        {kmixer, 0xFFFFFFFF, 0, &DriverParams::KmixerAffinityCableCount},
        {client, 256, 256, &DriverParams::ClientAffinityCableCount},
        {client, 257, 0, &DriverParams::ClientAffinityCableCount},
        {client, 0x80000000, 0, &DriverParams::ClientAffinityCableCount},
        {client, 0xFFFFFFFF, 0, &DriverParams::ClientAffinityCableCount},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.stored));
        host::ResetPlatform();
        host::RegistrySetDword(SoftwareKeyPath, c.name, c.stored);
        EXPECT_EQ(LoadImage().*c.field, c.expected);
        image.Unload();
    }
}
