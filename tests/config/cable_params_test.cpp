// Per-cable parameters: what loading applies and writes back for each value stored, the subkey
// of each cable, and the two savers.
#include <cstring>

#include "config/cable_params.h"
#include "config/registry_store.h"
#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"

namespace {

const std::string ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv\\Parameters";

// Everything loading can change, in one record.
struct Loaded {
    ULONG maxInstances, msPerInterrupt, minRate, maxRate, minBits, maxBits, minChannels, maxChannels;
    LONG limiting;
    ULONG volume, types, connected, clock;
    bool operator==(const Loaded& other) const { return std::memcmp(this, &other, sizeof(*this)) == 0; }
};

std::ostream& operator<<(std::ostream& out, const Loaded& l)
{
    return out << l.maxInstances << " " << l.msPerInterrupt << " " << l.minRate << ".." << l.maxRate << " "
               << l.minBits << ".." << l.maxBits << " " << l.minChannels << ".." << l.maxChannels << " limiting "
               << l.limiting << " volume " << l.volume << " types " << l.types << " connected " << l.connected
               << " clock " << l.clock;
}

// With nothing stored: the object defaults, but the format range of a fresh load.
const Loaded Defaults = {20, 5, 8000, 48000, 8, 16, 1, 2, 1, 0, 7, 2, 65536};

class CableParamsTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        std::strcpy(Driver.ParametersPath, ParametersKey.c_str());
        adapter = Adapter::Create();
        ASSERT_NE(adapter, nullptr);
    }
    void TearDown() override
    {
        adapter->DestroyAllCables();
        adapter->Release();
        EXPECT_EQ(host::LivePoolCount(), 0u);
        EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
        PlatformTest::TearDown();
    }

    Cable* AddCable(ULONG index)
    {
        Cable* cable = Cable::Create(index, adapter);
        cable->AttachWaveMiniport(WaveMiniport::Create(cable));
        cable->AttachTopologyMiniport(TopologyMiniport::Create(cable));
        adapter->AddCable(cable);
        return cable;
    }

    static Loaded Held(const Cable* cable)
    {
        const WaveMiniport* w = cable->Wave;
        return {cable->MaxInstances, w->MsPerInterrupt, w->MinSampleRate, w->MaxSampleRate, w->MinBitsPerSample,
                w->MaxBitsPerSample, w->MinChannels, w->MaxChannels, w->FormatLimiting, w->VolumeControl,
                cable->Topology->SourceLineTypesMask, cable->Topology->ConnectedSourceLinesMask,
                w->ClockCorrection};
    }

    Adapter* adapter = nullptr;
};

std::string SoftwareSubkey(ULONG number)
{
    return std::string(SoftwareKeyPath) + "\\Cable " + std::to_string(number);
}

std::string ParametersSubkey(ULONG number)
{
    return ParametersKey + "\\Cable " + std::to_string(number);
}

}  // namespace

TEST_F(CableParamsTest, EachStoredValueIsAppliedAndWrittenBackOnlyWhenItsSetterTakesIt)
{
    struct Stored {
        const char* name;
        ULONG value;
    };
    struct Case {
        const char* what;
        std::vector<Stored> stored;
        Loaded expected;
        std::vector<Stored> writtenBack;  // what the Parameters key holds afterwards
    };
    auto with = [](auto change) {
        Loaded loaded = Defaults;
        change(loaded);
        return loaded;
    };
    const Loaded absoluteRange = with([](Loaded& l) {
        l.maxRate = 192000;
        l.maxBits = 32;
        l.maxChannels = 8;
    });
    const Case cases[] = {
        {"nothing stored", {}, Defaults, {}},
        {"a maximum rate of 4000 refuses the set but is kept",
         {{"Maximum sampling rate", 4000}},
         absoluteRange,
         {{"Maximum sampling rate", 4000}}},
        {"a whole format range",
         {{"Minimum sampling rate", 44100},
          {"Maximum sampling rate", 96000},
          {"Minimum bits per sample", 16},
          {"Maximum bits per sample", 24},
          {"Minimum number of channels", 2},
          {"Maximum number of channels", 6}},
         with([](Loaded& l) { l = {20, 5, 44100, 96000, 16, 24, 2, 6, 1, 0, 7, 2, 65536}; }),
         {{"Minimum sampling rate", 44100}, {"Maximum number of channels", 6}}},
        {"clock correction 58654", {{"Clock correction", 58654}}, Defaults, {}},
        {"clock correction 58655", {{"Clock correction", 58655}}, with([](Loaded& l) { l.clock = 58655; }),
         {{"Clock correction", 58655}}},
        {"clock correction 72416", {{"Clock correction", 72416}}, with([](Loaded& l) { l.clock = 72416; }),
         {{"Clock correction", 72416}}},
        {"clock correction 72417", {{"Clock correction", 72417}}, Defaults, {}},
        {"connected lines outside the types", {{"Connected source lines mask", 8}}, Defaults, {}},
        {"connected lines within the types", {{"Connected source lines mask", 3}},
         with([](Loaded& l) { l.connected = 3; }), {{"Connected source lines mask", 3}}},
        {"connected lines held against the types loaded just before",
         {{"Source line types mask", 4}, {"Connected source lines mask", 4}},
         with([](Loaded& l) {
             l.types = 4;
             l.connected = 4;
         }),
         {{"Source line types mask", 4}, {"Connected source lines mask", 4}}},
        {"types mask 8", {{"Source line types mask", 8}}, Defaults, {}},
        {"volume control 5 is on, stored as 1", {{"Volume control", 5}}, with([](Loaded& l) { l.volume = 1; }),
         {{"Volume control", 1}}},
        {"limiting -1", {{"Stream format limiting", 0xFFFFFFFF}}, Defaults, {}},
        {"limiting 0", {{"Stream format limiting", 0}}, with([](Loaded& l) { l.limiting = 0; }),
         {{"Stream format limiting", 0}}},
        {"period 21", {{"Milliseconds per interrupt", 21}}, Defaults, {}},
        {"period 20", {{"Milliseconds per interrupt", 20}}, with([](Loaded& l) { l.msPerInterrupt = 20; }),
         {{"Milliseconds per interrupt", 20}}},
        {"instances 101", {{"Maximum instances", 101}}, Defaults, {}},
        {"instances 1", {{"Maximum instances", 1}}, with([](Loaded& l) { l.maxInstances = 1; }),
         {{"Maximum instances", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::RegistryClear();
        for (const Stored& s : c.stored) {
            host::RegistrySetDword(SoftwareSubkey(1), s.name, s.value);
        }
        Cable* cable = AddCable(0);
        EXPECT_EQ(LoadCableParams(cable), STATUS_SUCCESS);
        EXPECT_EQ(Held(cable), c.expected);
        for (const Stored& s : c.writtenBack) {
            EXPECT_EQ(RegistryDword(ParametersSubkey(1), s.name), s.value) << s.name;
            EXPECT_EQ(RegistryDword(SoftwareSubkey(1), s.name), s.value) << s.name;
        }
        // Nothing refused is copied, and nothing absent is created.
        if (c.writtenBack.empty()) {
            EXPECT_FALSE(host::RegistryKeyExists(ParametersSubkey(1)));
        }
        adapter->DestroyAllCables();
    }
}

TEST_F(CableParamsTest, EachCableReadsItsOwnSubkeyNumberedFromOne)
{
    host::RegistrySetDword(SoftwareSubkey(1), "Milliseconds per interrupt", 7);
    host::RegistrySetDword(ParametersSubkey(256), "Milliseconds per interrupt", 9);
    Cable* first = AddCable(0);
    Cable* second = AddCable(1);
    Cable* last = AddCable(255);
    for (Cable* cable : {first, second, last}) {
        LoadCableParams(cable);
    }
    EXPECT_EQ(first->Wave->MsPerInterrupt, 7u);
    EXPECT_EQ(second->Wave->MsPerInterrupt, 5u);
    EXPECT_EQ(last->Wave->MsPerInterrupt, 9u);
    // A value found only in the Parameters key is copied into the software key.
    EXPECT_EQ(RegistryDword(SoftwareSubkey(256), "Milliseconds per interrupt"), 9u);
}

TEST_F(CableParamsTest, SaversWriteBothLocationsAndReturnTheParametersKeysStatus)
{
    Cable* cable = AddCable(2);
    EXPECT_EQ(SaveCableValue(cable, "Clock correction", 70000), STATUS_SUCCESS);
    EXPECT_EQ(RegistryDword(SoftwareSubkey(3), "Clock correction"), 70000u);
    EXPECT_EQ(RegistryDword(ParametersSubkey(3), "Clock correction"), 70000u);

    for (ULONG refused : {0u, 101u}) {
        EXPECT_EQ(SaveCableMaxInstances(cable, refused), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(RegistryDword(SoftwareSubkey(3), "Maximum instances"), 0xFFFFFFFFu) << "nothing written";
    EXPECT_EQ(SaveCableMaxInstances(cable, 100), STATUS_SUCCESS);
    EXPECT_EQ(RegistryDword(ParametersSubkey(3), "Maximum instances"), 100u);
    EXPECT_EQ(cable->MaxInstances, 20u) << "the running cable keeps its limit";

    host::RegistryFailAccess(ParametersKey, STATUS_ACCESS_DENIED);
    EXPECT_EQ(SaveCableValue(cable, "Volume control", 1), STATUS_ACCESS_DENIED);
    host::RegistryClearFaults();
    EXPECT_EQ(RegistryDword(SoftwareSubkey(3), "Volume control"), 1u) << "the software key was written";
}
