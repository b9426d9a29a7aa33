// The installation file against the driver it installs, run in the stand-in as Windows would run
// an installed system: the settings it writes are the ones the driver runs on without them, the
// driver reads and keeps every one, and its interfaces are exactly those the largest device
// registers. The file is the one scripts/make-inf.sh generates, or the one named by TARN_INF (the
// package check passes the built package's file).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <strings.h>
#include <unistd.h>

#include "config/driver_params.h"
#include "config/registry_store.h"
#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"
#include "package/inf_file.h"
#include "support/platform_fixture.h"

namespace {

constexpr unsigned long RegDwordFlag = 0x00010001;  // FLG_ADDREG_TYPE_DWORD
constexpr unsigned long NoClobberFlag = 0x00000002;  // FLG_ADDREG_NOCLOBBER
const std::string ServicesKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::string DeviceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000";

// The INF under test: TARN_INF's, or a fresh one from the generator.
std::unique_ptr<inf::InfFile> ReadInf()
{
    if (const char* given = std::getenv("TARN_INF")) {
        return std::make_unique<inf::InfFile>(given);
    }
    std::string tests = TARN_TEST_DATA_DIR;  // the tests' folder and "/data"
    std::string repository = tests.substr(0, tests.rfind("/tests/"));
    std::string path = "/tmp/tarn-inf-test-" + std::to_string(getpid()) + ".inf";
    std::string command = "bash '" + repository + "/scripts/make-inf.sh' '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("scripts/make-inf.sh failed");
    }
    auto file = std::make_unique<inf::InfFile>(path);
    std::remove(path.c_str());
    return file;
}

// Everything the driver takes from the registry, as it runs.
struct CableSettings {
    ULONG maxInstances, msPerInterrupt, minRate, maxRate, minBits, maxBits, minChannels, maxChannels;
    LONG limiting;
    ULONG volume, types, connected, clock;
    bool operator==(const CableSettings& other) const { return std::memcmp(this, &other, sizeof(*this)) == 0; }
};
struct Settings {
    ULONG cables, kmixerAffinity, clientAffinity, splitDpc;
    std::vector<CableSettings> perCable;
    bool operator==(const Settings& other) const
    {
        return cables == other.cables && kmixerAffinity == other.kmixerAffinity &&
               clientAffinity == other.clientAffinity && splitDpc == other.splitDpc && perCable == other.perCable;
    }
};

std::ostream& operator<<(std::ostream& out, const Settings& s)
{
    out << "cables " << s.cables << " affinity " << s.kmixerAffinity << "/" << s.clientAffinity << " split "
        << s.splitDpc;
    for (const CableSettings& c : s.perCable) {
        out << "\n  " << c.maxInstances << " " << c.msPerInterrupt << " " << c.minRate << ".." << c.maxRate << " "
            << c.minBits << ".." << c.maxBits << " " << c.minChannels << ".." << c.maxChannels << " limiting "
            << c.limiting << " volume " << c.volume << " types " << c.types << " connected " << c.connected
            << " clock " << c.clock;
    }
    return out;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// Whether `path` is `key` or below it; registry names are case-insensitive.
bool Under(const std::string& path, const std::string& key)
{
    return path.size() >= key.size() && strncasecmp(path.c_str(), key.c_str(), key.size()) == 0;
}

std::vector<uint8_t> RegistryData(const inf::RegistryEntry& entry)
{
    if ((entry.flags & ~NoClobberFlag) == RegDwordFlag) {
        ULONG number = static_cast<ULONG>(std::stoul(entry.value, nullptr, 0));
        std::vector<uint8_t> data(sizeof(number));
        std::memcpy(data.data(), &number, sizeof(number));
        return data;
    }
    std::vector<uint8_t> data;  // REG_SZ: UTF-16LE with its terminator
    for (char c : entry.value) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(0);
    }
    data.insert(data.end(), {0, 0});
    return data;
}

class InfPackageTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        file = ReadInf();
        serviceKey = ServicesKey + file->ServiceName();
        entries = file->RegistryEntries(DeviceKey, serviceKey);
    }

    // Writes the file's registry entries, those under `onlyUnder` when it is given.
    void Install(const std::string& onlyUnder = "")
    {
        for (const inf::RegistryEntry& entry : entries) {
            unsigned long type = entry.flags & ~NoClobberFlag;
            ASSERT_TRUE(type == 0 || type == RegDwordFlag) << entry.keyPath << " " << entry.name << " flags "
                                                          << entry.flags;
            if (Under(entry.keyPath, onlyUnder)) {
                host::RegistrySetValue(entry.keyPath, entry.name, type == 0 ? REG_SZ : REG_DWORD, RegistryData(entry));
            }
        }
    }

    // Entries in one of the two places the driver reads, relative to it: "Cable 1\Clock correction".
    std::multiset<std::string> SettingEntries(const std::string& location)
    {
        std::multiset<std::string> found;
        for (const inf::RegistryEntry& entry : entries) {
            if (Under(entry.keyPath, location)) {
                std::string subkey = entry.keyPath.substr(location.size());
                found.insert(subkey + "\\" + entry.name + "=" + entry.value);
            }
        }
        return found;
    }

    // Loads the driver as the installed service, starts its device and reads what it runs on.
    Settings StartAndRead()
    {
        Settings settings{};
        host::DriverImage image(host::DefaultDriverImagePath());
        EXPECT_EQ(image.Load(serviceKey), STATUS_SUCCESS);
        {
            host::DeviceNode node(image);
            EXPECT_EQ(node.AddAndStart(), STATUS_SUCCESS);
            const DriverParams* params = static_cast<const DriverParams*>(image.Symbol("Params"));
            const DriverState* driver = static_cast<const DriverState*>(image.Symbol("Driver"));
            settings = {params->NumberOfCables, params->KmixerAffinityCableCount, params->ClientAffinityCableCount,
                        params->SplitDpcAmongCpus, {}};
            for (ULONG index = 0; driver->Adapter != nullptr && index < params->NumberOfCables; ++index) {
                const Cable* cable = driver->Adapter->FindCable(index);
                const WaveMiniport* wave = cable->Wave;
                const TopologyMiniport* topology = cable->Topology;
                settings.perCable.push_back({cable->MaxInstances, wave->MsPerInterrupt, wave->MinSampleRate,
                                             wave->MaxSampleRate, wave->MinBitsPerSample, wave->MaxBitsPerSample,
                                             wave->MinChannels, wave->MaxChannels, wave->FormatLimiting,
                                             wave->VolumeControl, topology->SourceLineTypesMask,
                                             topology->ConnectedSourceLinesMask, wave->ClockCorrection});
            }
            interfaces.clear();
            for (const host::DeviceInterface& entry : host::DeviceInterfaces(node.PhysicalDevice())) {
                size_t classEnd = entry.link.find(u"}\\");
                if (classEnd != std::u16string::npos) {  // the filters have reference strings
                    std::u16string reference = entry.link.substr(classEnd + 2);
                    interfaces.insert(GuidText(entry.interfaceClass) + " " +
                                      std::string(reference.begin(), reference.end()));
                }
            }
        }
        image.Unload();
        return settings;
    }

    std::unique_ptr<inf::InfFile> file;
    std::string serviceKey;
    std::vector<inf::RegistryEntry> entries;
    std::set<std::string> interfaces;  // "{category} reference" of the last device started
};

}  // namespace

TEST_F(InfPackageTest, InstalledSettingsAreTheOnesTheDriverRunsOnWithoutThem)
{
    Settings bare = StartAndRead();
    Install();
    Settings installed = StartAndRead();
    EXPECT_EQ(installed, bare);
    EXPECT_EQ(installed.perCable.size(), DefaultNumberOfCables);
}

TEST_F(InfPackageTest, BothLocationsHoldTheSameSettings)
{
    std::multiset<std::string> software = SettingEntries(SoftwareKeyPath);
    EXPECT_FALSE(software.empty());
    EXPECT_EQ(software, SettingEntries(serviceKey + "\\Parameters"));
}

// Loading copies every value it reads and accepts from the Parameters key into the software key,
// so a value missing there afterwards has a name the driver does not read or a value it refuses.
TEST_F(InfPackageTest, TheDriverReadsAndKeepsEverySettingInstalled)
{
    const std::string parameters = serviceKey + "\\Parameters";
    Install(parameters);
    StartAndRead();
    size_t compared = 0;
    for (const inf::RegistryEntry& entry : entries) {
        if (!Under(entry.keyPath, parameters)) {
            continue;
        }
        std::string copy = SoftwareKeyPath + entry.keyPath.substr(parameters.size());
        host::RegistryValueData value;
        ASSERT_TRUE(host::RegistryGetValue(copy, entry.name, &value)) << copy << " " << entry.name;
        EXPECT_EQ(value.type, static_cast<ULONG>(REG_DWORD)) << copy << " " << entry.name;
        EXPECT_EQ(value.data, RegistryData(entry)) << copy << " " << entry.name;
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

TEST_F(InfPackageTest, InterfacesAreExactlyThoseOfTheLargestDevice)
{
    Install();
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", MaxNumberOfCables);
    ASSERT_EQ(StartAndRead().perCable.size(), MaxNumberOfCables);

    std::set<std::string> listed;
    for (const inf::Interface& entry : file->Interfaces()) {
        EXPECT_TRUE(listed.insert(entry.category + " " + entry.reference).second)
            << "listed twice: " << entry.category << " " << entry.reference;
    }
    EXPECT_EQ(listed, interfaces);
    EXPECT_EQ(interfaces.size(), 5 * MaxNumberOfCables) << "three wave and two topology interfaces a cable";
}
