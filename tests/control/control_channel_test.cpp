// The control channel as the control panel uses it: opened by the interface path's reference
// string, requests as buffered device-control requests through the I/O manager, on a started
// device with two cables.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "config/registry_store.h"
#include "core/device.h"
#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

namespace {

const char16_t ReferenceString[] = u"0d13c528-a6fc-47f1-8fee-c5dd46f1fbb1";
const std::string ParametersKey = host::DriverImage::DefaultServiceKey + "\\Parameters";
const std::string Locations[] = {SoftwareKeyPath, ParametersKey};

struct Reply {
    NTSTATUS status;
    ULONG_PTR bytes;
    std::vector<uint8_t> data;  // the caller's output buffer

    ULONG Word(size_t offset) const
    {
        ULONG word = 0;
        std::memcpy(&word, data.data() + offset, sizeof(word));
        return word;
    }
};

std::vector<uint8_t> Bytes(const std::vector<ULONG>& words)
{
    std::vector<uint8_t> bytes(words.size() * sizeof(ULONG));
    std::memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

class ControlChannelTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 2);
        Start();
    }
    void TearDown() override
    {
        Stop();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "pool left after unload";
        PlatformTest::TearDown();
    }
    void Start()
    {
        ASSERT_EQ(image.Load(), STATUS_SUCCESS);
        ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
        ASSERT_EQ(Open(ReferenceString, &channel), STATUS_SUCCESS);
    }
    void Stop()
    {
        streams.clear();
        filters.clear();
        channel.reset();
        image.Unload();
    }
    // The driver loaded anew, as the panel's restart brings about; the registry stays.
    void Restart()
    {
        Stop();
        Start();
    }

    // As the panel opens the interface path with "\" and a reference string appended.
    NTSTATUS Open(const std::u16string& reference, std::unique_ptr<host::KsHandle>* handle)
    {
        return host::KsHandle::OpenFilter(node.FunctionalDevice(), reference, handle);
    }
    Reply SendBytes(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength, host::KsHandle* handle = nullptr)
    {
        Reply reply{STATUS_PENDING, 0, std::vector<uint8_t>(outputLength, 0xEE)};
        reply.status = host::SendBufferedDeviceControl(
            node.FunctionalDevice(), (handle != nullptr ? handle : channel.get())->FileObject(), code, input.data(),
            static_cast<ULONG>(input.size()), reply.data.data(), outputLength, &reply.bytes);
        return reply;
    }
    Reply Send(ULONG code, const std::vector<ULONG>& words, ULONG outputLength = 0)
    {
        return SendBytes(code, Bytes(words), outputLength);
    }
    Reply ReadDriverInfo()
    {
        Reply reply = Send(IOCTL_GET_DRIVER_INFO, {3}, 32);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return reply;
    }
    Reply ReadCableInfo(ULONG index)
    {
        Reply reply = Send(IOCTL_GET_CABLE_INFO, {3, index}, 108);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return reply;
    }
    UCHAR RestartNeeded() { return ReadDriverInfo().data[17]; }

    // A render stream on filter "waveN", in `state`.
    void OpenStream(const char16_t* filterName, KSSTATE state)
    {
        filters.emplace_back();
        ASSERT_EQ(Open(filterName, &filters.back()), STATUS_SUCCESS);
        host::WaveClientOptions options;
        options.filterHandle = filters.back().get();
        options.pinId = WaveRenderPin;
        options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
        streams.emplace_back();
        ASSERT_EQ(host::WaveClient::Open(nullptr, options, &streams.back()), STATUS_SUCCESS);
        ASSERT_EQ(streams.back()->SetState(state), STATUS_SUCCESS);
    }
    WaveMiniport* Wave(ULONG index)
    {
        ListEntry* link = static_cast<DriverState*>(image.Symbol("Driver"))->Adapter->Cables.Items().First();
        for (; index > 0; --index) {
            link = link->Next;
        }
        return Cable::FromLink(link)->Wave;
    }
    std::string RegistryText()
    {
        // One file per process: test programs of several builds may run at once.
        const std::string file = testing::TempDir() + "control_registry_" + std::to_string(getpid()) + ".txt";
        host::RegistrySaveFile(file);
        std::ostringstream text;
        text << std::ifstream(file).rdbuf();
        std::remove(file.c_str());
        return text.str();
    }

    host::DriverImage image{host::DefaultDriverImagePath()};
    host::DeviceNode node{image};
    std::unique_ptr<host::KsHandle> channel;
    std::vector<std::unique_ptr<host::KsHandle>> filters;
    std::vector<std::unique_ptr<host::WaveClient>> streams;
};

}  // namespace

TEST_F(ControlChannelTest, OnlyTheExactReferenceStringOpensTheChannelAndOtherNamesGoToThePort)
{
    const struct {
        std::u16string name;
        NTSTATUS open;
        NTSTATUS driverInfo;  // through the handle, when it opened
    } rows[] = {
        {ReferenceString, STATUS_SUCCESS, STATUS_SUCCESS},
        {u"0D13C528-A6FC-47F1-8FEE-C5DD46F1FBB1", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {u"", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {std::u16string(ReferenceString) + u"x", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {std::u16string(ReferenceString).substr(1), STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {u"wave1", STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST},  // the port's filter answers
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name.begin(), row.name.end()));
        std::unique_ptr<host::KsHandle> handle;
        ASSERT_EQ(Open(row.name, &handle), row.open);
        if (row.open != STATUS_SUCCESS) {
            EXPECT_EQ(handle, nullptr);
            continue;
        }
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(SendBytes(IOCTL_GET_DRIVER_INFO, Bytes({3}), 32, handle.get()).status, row.driverInfo);
        EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
    }
}

TEST_F(ControlChannelTest, EachRequestIsRefusedWithItsStatusAndARefusalChangesNothing)
{
    const ULONG count = 2;  // cables
    const struct {
        const char* request;
        ULONG code;
        std::vector<uint8_t> input;
        ULONG outputLength;
        NTSTATUS status;
    } rows[] = {
        {"version 2", IOCTL_GET_DRIVER_INFO, Bytes({2}), 32, STATUS_INVALID_DEVICE_REQUEST},
        {"version 4", IOCTL_GET_CABLE_INFO, Bytes({4, 0}), 108, STATUS_INVALID_DEVICE_REQUEST},
        {"version 2 on a set", IOCTL_SET_VOLUME_CONTROL, Bytes({2, 0, 1}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"no input", IOCTL_GET_DRIVER_INFO, {}, 32, STATUS_INVALID_DEVICE_REQUEST},
        {"3 bytes", IOCTL_GET_DRIVER_INFO, {3, 0, 0}, 32, STATUS_INVALID_DEVICE_REQUEST},
        {"function 0x800", 0x222000, Bytes({3}), 32, STATUS_INVALID_DEVICE_REQUEST},
        {"function 0x80C", 0x222030, Bytes({3, 0, 1}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"driver info as METHOD_NEITHER", 0x222007, Bytes({3}), 32, STATUS_INVALID_DEVICE_REQUEST},
        {"driver info, 8-byte input", IOCTL_GET_DRIVER_INFO, Bytes({3, 0}), 32, STATUS_INVALID_DEVICE_REQUEST},
        {"driver info, no output", IOCTL_GET_DRIVER_INFO, Bytes({3}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"driver info, 33-byte output", IOCTL_GET_DRIVER_INFO, Bytes({3}), 33, STATUS_INVALID_DEVICE_REQUEST},
        {"cable info, 4-byte input", IOCTL_GET_CABLE_INFO, Bytes({3}), 108, STATUS_INVALID_DEVICE_REQUEST},
        {"cable info, index = count", IOCTL_GET_CABLE_INFO, Bytes({3, count}), 108, STATUS_OBJECT_NAME_NOT_FOUND},
        {"cable info, 109-byte output", IOCTL_GET_CABLE_INFO, Bytes({3, 0}), 109, STATUS_INVALID_DEVICE_REQUEST},
        {"cable info, no output", IOCTL_GET_CABLE_INFO, Bytes({3, 0}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"set, 4-byte input", IOCTL_SET_CLOCK_CORRECTION, Bytes({3}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"cables, 4-byte input", IOCTL_SET_NUMBER_OF_CABLES, Bytes({3}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"cables 0", IOCTL_SET_NUMBER_OF_CABLES, Bytes({3, 0}), 0, STATUS_INVALID_PARAMETER},
        {"cables 257", IOCTL_SET_NUMBER_OF_CABLES, Bytes({3, 257}), 0, STATUS_INVALID_PARAMETER},
        {"set, index = count", IOCTL_SET_VOLUME_CONTROL, Bytes({3, count, 1}), 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {"ms, 8-byte input", IOCTL_SET_MS_PER_INTERRUPT, Bytes({3, 0}), 0, STATUS_INVALID_PARAMETER},
        {"range, 28-byte input", IOCTL_SET_FORMAT_RANGE, Bytes({3, 0, 8000, 8000, 8, 8, 1}), 0,
         STATUS_INVALID_PARAMETER},
        {"volume 2", IOCTL_SET_VOLUME_CONTROL, Bytes({3, 0, 2}), 0, STATUS_INVALID_PARAMETER},
        {"ms 0", IOCTL_SET_MS_PER_INTERRUPT, Bytes({3, 0, 0}), 0, STATUS_INVALID_PARAMETER},
        {"rate 7999", IOCTL_SET_FORMAT_RANGE, Bytes({3, 0, 7999, 48000, 8, 16, 1, 2}), 0, STATUS_INVALID_PARAMETER},
        {"9 channels", IOCTL_SET_FORMAT_RANGE, Bytes({3, 0, 8000, 48000, 8, 16, 1, 9}), 0, STATUS_INVALID_PARAMETER},
        {"limiting 3", IOCTL_SET_STREAM_FORMAT_LIMITING, Bytes({3, 0, 3}), 0, STATUS_INVALID_PARAMETER},
        {"limiting -1", IOCTL_SET_STREAM_FORMAT_LIMITING, Bytes({3, 0, 0xFFFFFFFF}), 0, STATUS_INVALID_PARAMETER},
        {"instances 0", IOCTL_SET_MAX_INSTANCES, Bytes({3, 0, 0}), 0, STATUS_INVALID_PARAMETER},
        {"instances 101", IOCTL_SET_MAX_INSTANCES, Bytes({3, 0, 101}), 0, STATUS_INVALID_PARAMETER},
        {"line types 15", IOCTL_SET_SOURCE_LINE_TYPES, Bytes({3, 0, 15}), 0, STATUS_INVALID_PARAMETER},
        {"connected 9", IOCTL_SET_CONNECTED_SOURCE_LINES, Bytes({3, 0, 9}), 0, STATUS_INVALID_PARAMETER},
        {"clock 58654", IOCTL_SET_CLOCK_CORRECTION, Bytes({3, 0, 58654}), 0, STATUS_INVALID_PARAMETER},
        {"clock 72417", IOCTL_SET_CLOCK_CORRECTION, Bytes({3, 0, 72417}), 0, STATUS_INVALID_PARAMETER},
        {"clock 2^32 - 1", IOCTL_SET_CLOCK_CORRECTION, Bytes({3, 1, 0xFFFFFFFF}), 0, STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request);
        const std::string registry = RegistryText();
        const std::vector<uint8_t> cables[] = {ReadCableInfo(0).data, ReadCableInfo(1).data};
        Reply reply = SendBytes(row.code, row.input, row.outputLength);
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(reply.bytes, 0u);
        EXPECT_EQ(reply.data, std::vector<uint8_t>(row.outputLength, 0xEE)) << "nothing is copied back";
        EXPECT_EQ(RegistryText(), registry);
        EXPECT_EQ(ReadCableInfo(0).data, cables[0]);
        EXPECT_EQ(ReadCableInfo(1).data, cables[1]);
        EXPECT_EQ(RestartNeeded(), 0);
    }
}

TEST_F(ControlChannelTest, RepliesAreCutToTheOutputBufferAndCarryTheirFieldsAtTheirOffsets)
{
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 2", "Milliseconds per interrupt", 7);
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 2", "Maximum instances", 3);
    Restart();
    OpenStream(u"wave2", KSSTATE_PAUSE);
    const Reply driver = ReadDriverInfo();
    const Reply cable = ReadCableInfo(1);
    const std::pair<size_t, ULONG> driverFields[] = {{0, 4}, {4, 10}, {8, 0}, {12, 2567}, {16, 0}, {20, 2},
                                                     {24, 1}, {28, 3}};  // channel, filter, pin
    for (const auto& [offset, value] : driverFields) {
        EXPECT_EQ(driver.Word(offset), value) << "DriverInfo at " << offset;
    }
    const std::pair<size_t, ULONG> cableFields[] = {
        {0, 0},       {4, 7},     {8, 3},  {12, 8000}, {16, 48000}, {20, 8},  {24, 16}, {28, 1}, {32, 2},
        {36, 0x0002FFFE}, {40, 44100}, {76, 0}, {80, 1},    {84, 1},     {88, 7},  {92, 2},  {96, 0x10000},
        {100, 0},     {104, 0}};
    for (const auto& [offset, value] : cableFields) {
        EXPECT_EQ(cable.Word(offset), value) << "CableInfo at " << offset;
    }
    for (ULONG length = 1; length <= 108; ++length) {
        SCOPED_TRACE(length);
        if (length <= 32) {
            Reply part = Send(IOCTL_GET_DRIVER_INFO, {3}, length);
            EXPECT_EQ(part.bytes, length);
            EXPECT_TRUE(std::equal(part.data.begin(), part.data.end(), driver.data.begin()));
        }
        Reply part = Send(IOCTL_GET_CABLE_INFO, {3, 1}, length);
        EXPECT_EQ(part.bytes, length);
        EXPECT_TRUE(std::equal(part.data.begin(), part.data.end(), cable.data.begin()));
    }
}

TEST_F(ControlChannelTest, AcceptedSettingsTakeEffectAndAreSavedInBothLocations)
{
    const struct {
        const char* request;
        ULONG code;
        std::vector<ULONG> input;  // on the second cable
        std::vector<std::pair<size_t, ULONG>> fields;  // CableInfo offset and value afterwards
        std::vector<std::pair<const char*, ULONG>> saved;  // under "Cable 2"
        UCHAR restartNeeded;
    } rows[] = {
        {"volume 0x101", IOCTL_SET_VOLUME_CONTROL, {3, 1, 0x101}, {{0, 1}}, {{"Volume control", 1}}, 0},
        {"ms 20", IOCTL_SET_MS_PER_INTERRUPT, {3, 1, 20}, {{4, 20}}, {{"Milliseconds per interrupt", 20}}, 0},
        {"range 8000..8000, 8..8, 1..1", IOCTL_SET_FORMAT_RANGE, {3, 1, 8000, 8000, 8, 8, 1, 1},
         {{12, 8000}, {16, 8000}, {20, 8}, {24, 8}, {28, 1}, {32, 1}},
         {{"Minimum sampling rate", 8000}, {"Maximum sampling rate", 8000}, {"Minimum bits per sample", 8},
          {"Maximum bits per sample", 8}, {"Minimum number of channels", 1}, {"Maximum number of channels", 1}},
         0},
        {"limiting 2", IOCTL_SET_STREAM_FORMAT_LIMITING, {3, 1, 2}, {{84, 2}}, {{"Stream format limiting", 2}}, 0},
        {"clock 58655", IOCTL_SET_CLOCK_CORRECTION, {3, 1, 58655}, {{96, 58655}}, {{"Clock correction", 58655}}, 0},
        {"clock 72416", IOCTL_SET_CLOCK_CORRECTION, {3, 1, 72416}, {{96, 72416}}, {{"Clock correction", 72416}}, 0},
        {"instances 5", IOCTL_SET_MAX_INSTANCES, {3, 1, 5}, {{8, 20}}, {{"Maximum instances", 5}}, 1},
        {"line types 5", IOCTL_SET_SOURCE_LINE_TYPES, {3, 1, 5}, {{88, 5}}, {{"Source line types mask", 5}}, 1},
        {"connected 4", IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 1, 4}, {{92, 4}}, {{"Connected source lines mask", 4}},
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request);
        Restart();
        Reply reply = Send(row.code, row.input);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytes, 0u);
        Reply cable = ReadCableInfo(1);
        for (const auto& [offset, value] : row.fields) {
            EXPECT_EQ(offset == 0 ? cable.data[0] : cable.Word(offset), value) << "CableInfo at " << offset;
        }
        for (const std::string& location : Locations) {
            for (const auto& [name, value] : row.saved) {
                EXPECT_EQ(RegistryDword(location + "\\Cable 2", name), value) << location << " " << name;
            }
        }
        EXPECT_EQ(RestartNeeded(), row.restartNeeded);
    }
}

TEST_F(ControlChannelTest, NumberOfCablesAndMaxInstancesWaitForTheNextStart)
{
    ASSERT_EQ(Send(IOCTL_SET_NUMBER_OF_CABLES, {3, 256}).status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SET_MAX_INSTANCES, {3, 0, 5}).status, STATUS_SUCCESS);
    for (const std::string& location : Locations) {
        EXPECT_EQ(RegistryDword(location, "Number of cables"), 256u) << location;
    }
    EXPECT_EQ(ReadDriverInfo().Word(20), 2u) << "the cables that exist";
    EXPECT_EQ(ReadCableInfo(0).Word(8), 20u) << "the limit the cable was made with";
    EXPECT_EQ(RestartNeeded(), 1);

    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 3);  // quicker to start than 256
    Restart();
    EXPECT_EQ(ReadDriverInfo().Word(20), 3u);
    EXPECT_EQ(ReadCableInfo(0).Word(8), 5u);
    EXPECT_EQ(RestartNeeded(), 0);
}

TEST_F(ControlChannelTest, ConnectedLinesLieWithinTheTypesMaskAndAFailedReannounceAsksForARestart)
{
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 1", "Source line types mask", 5);
    Restart();
    EXPECT_EQ(Send(IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 0, 2}).status, STATUS_INVALID_PARAMETER);
    host::TakeInterfaceStateChanges();
    EXPECT_EQ(Send(IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 0, 4}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadCableInfo(0).Word(92), 4u);
    const std::u16string topo1 = host::DeviceInterfaceLink(node.PhysicalDevice(), KSCATEGORY_AUDIO, u"topo1");
    std::vector<host::InterfaceStateChange> changes = host::TakeInterfaceStateChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].link, topo1);
    EXPECT_FALSE(changes[0].enabled);
    EXPECT_EQ(changes[1].link, topo1);
    EXPECT_TRUE(changes[1].enabled);
    EXPECT_EQ(RestartNeeded(), 0);

    host::RemoveDeviceInterface(topo1);
    EXPECT_EQ(Send(IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 0, 1}).status, STATUS_SUCCESS) << "saved";
    EXPECT_EQ(RegistryDword(std::string(SoftwareKeyPath) + "\\Cable 1", "Connected source lines mask"), 1u);
    EXPECT_EQ(RestartNeeded(), 1);
}

TEST_F(ControlChannelTest, StreamsKeepTheirCableOrTheDriverFromChangingAsEachSettingSays)
{
    OpenStream(u"wave1", KSSTATE_RUN);
    const struct {
        const char* request;
        ULONG code;
        std::vector<ULONG> input;
        NTSTATUS status;
    } rows[] = {
        {"volume, busy cable", IOCTL_SET_VOLUME_CONTROL, {3, 0, 1}, STATUS_CONNECTION_IN_USE},
        {"volume, idle cable", IOCTL_SET_VOLUME_CONTROL, {3, 1, 1}, STATUS_SUCCESS},
        {"ms, busy cable", IOCTL_SET_MS_PER_INTERRUPT, {3, 0, 10}, STATUS_CONNECTION_IN_USE},
        {"ms, short input first", IOCTL_SET_MS_PER_INTERRUPT, {3, 0}, STATUS_INVALID_PARAMETER},
        {"ms, refused value", IOCTL_SET_MS_PER_INTERRUPT, {3, 0, 0}, STATUS_CONNECTION_IN_USE},
        {"range, busy cable", IOCTL_SET_FORMAT_RANGE, {3, 0, 8000, 8000, 8, 8, 1, 1}, STATUS_CONNECTION_IN_USE},
        {"limiting, busy cable", IOCTL_SET_STREAM_FORMAT_LIMITING, {3, 0, 1}, STATUS_CONNECTION_IN_USE},
        {"instances, idle cable", IOCTL_SET_MAX_INSTANCES, {3, 1, 5}, STATUS_CONNECTION_IN_USE},
        {"line types, idle cable", IOCTL_SET_SOURCE_LINE_TYPES, {3, 1, 3}, STATUS_CONNECTION_IN_USE},
        {"connected, idle cable", IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 1, 1}, STATUS_CONNECTION_IN_USE},
        {"cables 256", IOCTL_SET_NUMBER_OF_CABLES, {3, 256}, STATUS_CONNECTION_IN_USE},
        {"cables 0", IOCTL_SET_NUMBER_OF_CABLES, {3, 0}, STATUS_CONNECTION_IN_USE},
        {"clock while streaming", IOCTL_SET_CLOCK_CORRECTION, {3, 0, 0x10100}, STATUS_SUCCESS},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Send(row.code, row.input).status, row.status) << row.request;
    }
    EXPECT_EQ(ReadCableInfo(0).Word(96), 0x10100u);
    EXPECT_EQ(RestartNeeded(), 0);
}

TEST_F(ControlChannelTest, AChangedClockCorrectionRestartsTheRateMeasurementAndTheSameOneDoesNot)
{
    OpenStream(u"wave1", KSSTATE_RUN);
    host::AdvanceTime(500000);  // 50 ms of streaming
    WaveMiniport* wave = Wave(0);
    ASSERT_NE(wave->ProcessedBytes, 0u);
    ASSERT_EQ(Send(IOCTL_SET_CLOCK_CORRECTION, {3, 0, 0x10100}).status, STATUS_SUCCESS);
    const ULONGLONG changedAt = KeQueryInterruptTime();
    EXPECT_EQ(wave->StartTime, changedAt);
    EXPECT_EQ(wave->ProcessedBytes, 0u);
    host::AdvanceTime(500000);
    const ULONGLONG processed = wave->ProcessedBytes;
    ASSERT_NE(processed, 0u);
    EXPECT_EQ(Send(IOCTL_SET_CLOCK_CORRECTION, {3, 0, 0x10100}).status, STATUS_SUCCESS);
    EXPECT_EQ(wave->StartTime, changedAt);
    EXPECT_EQ(wave->ProcessedBytes, processed);
}

TEST_F(ControlChannelTest, AClockCorrectionChangeKeepsTheCableTimeAlreadyDue)
{
    // A 44.1 kHz cable whose 5-ms passes run at 5 and 10 ms, with the interrupt time moving in
    // 2.5-ms clock ticks; the correction changes at `at`, on a tick. The cable plays
    // round(44100 x at) frames at the old rate, then round(rate x (10 ms - at)) at the new one:
    // 0x10400 is 44100 x 1.015625 = 44789.06 -> 44789 frames a second, 0xFC00 is
    // 44100 x 0.984375 = 43410.94 -> 43411.
    const struct {
        ULONG at;  // 100-ns units after the start
        ULONG correction;
        ULONG frames;  // played after 10 ms
    } rows[] = {
        {25000, 0x10000, 441},        // the same correction: 10 ms at 44100
        {25000, 0x10400, 110 + 336},  // 110.25 -> 110 before the first pass, then 335.92 -> 336
        {50000, 0x10400, 221 + 224},  // right after a pass: 220.5 -> 221, then 223.95 -> 224
        {75000, 0xFC00, 331 + 109},   // 330.75 -> 331 (221 of them in the first pass), then 108.53
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.correction);
        streams.clear();
        filters.clear();
        ASSERT_EQ(Send(IOCTL_SET_CLOCK_CORRECTION, {3, 0, 0x10000}).status, STATUS_SUCCESS);
        OpenStream(u"wave1", KSSTATE_RUN);
        host::AdvanceTime(row.at);
        ASSERT_EQ(Send(IOCTL_SET_CLOCK_CORRECTION, {3, 0, row.correction}).status, STATUS_SUCCESS);
        host::AdvanceTime(100000 - row.at);
        KSAUDIO_POSITION position = {};
        ASSERT_EQ(streams.back()->GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position.PlayOffset, row.frames * 4ull);
    }
}

TEST_F(ControlChannelTest, OpenHandlesCountTheChannelItselfAndEveryOtherHandle)
{
    EXPECT_EQ(ReadDriverInfo().Word(28), 1u) << "the requester's own handle";
    std::unique_ptr<host::KsHandle> second;
    std::unique_ptr<host::KsHandle> filter;
    const size_t poolBefore = host::LivePoolCount();
    ASSERT_EQ(Open(ReferenceString, &second), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"wave1", &filter), STATUS_SUCCESS);
    EXPECT_EQ(ReadDriverInfo().Word(28), 3u);
    EXPECT_EQ(second->Close(), STATUS_SUCCESS);
    EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
    EXPECT_EQ(ReadDriverInfo().Word(28), 1u);
    EXPECT_EQ(host::LivePoolCount(), poolBefore) << "a closed channel leaves no record";
}

TEST_F(ControlChannelTest, AChannelWithoutMemoryForItsRecordIsRefusedAndNotCounted)
{
    host::FailAllocationsFrom("ControlCreate");
    std::unique_ptr<host::KsHandle> refused;
    EXPECT_EQ(Open(ReferenceString, &refused), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::InjectedPoolFailures(), 1u);
    host::ClearPoolFaults();
    EXPECT_EQ(ReadDriverInfo().Word(28), 1u);
}

TEST_F(ControlChannelTest, AFailedSaveFailsOnlyTheSettingsThatWaitForARestartAndTakesThemBack)
{
    host::RegistryFailAccess(ParametersKey, STATUS_ACCESS_DENIED);
    const struct {
        const char* request;
        ULONG code;
        std::vector<ULONG> input;
        NTSTATUS status;
        size_t offset;  // of the CableInfo field
        ULONG field;    // afterwards
    } rows[] = {
        {"ms 9, in effect", IOCTL_SET_MS_PER_INTERRUPT, {3, 0, 9}, STATUS_SUCCESS, 4, 9},
        {"clock, in effect", IOCTL_SET_CLOCK_CORRECTION, {3, 0, 0x10100}, STATUS_SUCCESS, 96, 0x10100},
        {"instances", IOCTL_SET_MAX_INSTANCES, {3, 0, 5}, STATUS_ACCESS_DENIED, 8, 20},
        {"line types, taken back", IOCTL_SET_SOURCE_LINE_TYPES, {3, 0, 3}, STATUS_ACCESS_DENIED, 88, 7},
        {"connected, taken back", IOCTL_SET_CONNECTED_SOURCE_LINES, {3, 0, 1}, STATUS_ACCESS_DENIED, 92, 2},
    };
    host::TakeInterfaceStateChanges();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request);
        EXPECT_EQ(Send(row.code, row.input).status, row.status);
        EXPECT_EQ(ReadCableInfo(0).Word(row.offset), row.field);
    }
    EXPECT_EQ(Send(IOCTL_SET_NUMBER_OF_CABLES, {3, 4}).status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(host::TakeInterfaceStateChanges().empty()) << "nothing announced";
    EXPECT_EQ(RestartNeeded(), 0);
    host::RegistryClearFaults();
}

// Real threads, each opening, using and closing channels of its own: the open list, the count of
// open handles and the settings stay whole however the requests interleave.
TEST_F(ControlChannelTest, ChannelsOnSeveralThreadsAtOnceAreEachServedWhole)
{
    constexpr ULONG Threads = 4;
    constexpr ULONG Rounds = 100;
    const size_t poolBefore = host::LivePoolCount();
    std::atomic<ULONG> served{0};
    std::vector<std::thread> threads;
    for (ULONG thread = 0; thread < Threads; ++thread) {
        threads.emplace_back([this, thread, &served] {
            for (ULONG round = 0; round < Rounds; ++round) {
                std::unique_ptr<host::KsHandle> handle;
                if (Open(ReferenceString, &handle) != STATUS_SUCCESS) {
                    continue;
                }
                const ULONG ms = 1 + (thread + round) % 20;
                Reply set = SendBytes(IOCTL_SET_MS_PER_INTERRUPT, Bytes({3, thread % 2, ms}), 0, handle.get());
                Reply info = SendBytes(IOCTL_GET_CABLE_INFO, Bytes({3, thread % 2}), 108, handle.get());
                ULONG reported = info.Word(4);
                if (set.status == STATUS_SUCCESS && info.status == STATUS_SUCCESS && info.bytes == 108 &&
                    reported >= 1 && reported <= 20 && handle->Close() == STATUS_SUCCESS) {
                    ++served;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(served, Threads * Rounds);
    EXPECT_EQ(ReadDriverInfo().Word(28), 1u);
    EXPECT_EQ(host::LivePoolCount(), poolBefore);
}
