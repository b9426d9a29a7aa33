// The node properties of a cable's two filters as a client reaches them through the ports:
// volume levels, mutes, stepping ranges, jack descriptions, channel configurations and CPU
// resources; and what the levels do to the audio with volume control on.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/ks_client.h"
#include "host/port_topology.h"
#include "host/port_wave_pci.h"
#include "support/stream_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG All = 0xFFFFFFFF;
constexpr LONG Silent = -2147483647 - 1;
constexpr LONG MinusSixDb = -6 * 65536;
// LevelToScale(-6 dB): 393216 / 6553 = 60 steps of (g * 16574 + 8192) >> 14 from 16384.
constexpr ULONG MinusSixDbDenominator = 32720;
// Topology nodes with the default types mask 7: line out 1/2, microphone 3/4, line in 5/6,
// S/PDIF 7/8; pins: line out 1, microphone 3, line in 4, S/PDIF 5.
constexpr ULONG LineOutVolume = 1;
constexpr ULONG LineOutMute = 2;
constexpr ULONG LineInVolume = 5;

std::vector<uint8_t> Ulongs(std::initializer_list<ULONG> values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(ULONG));
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

ULONG UlongAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

// KSNODEPROPERTY_AUDIO_CHANNEL after the node header: the channel and its reserved word.
std::vector<uint8_t> Channel(ULONG channel)
{
    return Ulongs({channel, 0});
}

// A request with a value buffer of `valueSize` bytes holding `value` (zeros past it).
template <typename Handle>
host::PropertyReply Request(Handle* handle, const std::vector<uint8_t>& input, ULONG valueSize,
                            const std::vector<uint8_t>& value = {})
{
    host::PropertyReply reply;
    reply.value.assign(valueSize, 0);
    std::copy_n(value.begin(), std::min<size_t>(value.size(), valueSize), reply.value.begin());
    host::KsPropertyBuffers buffers;
    buffers.input = input.data();
    buffers.inputSize = static_cast<ULONG>(input.size());
    buffers.output = valueSize != 0 ? reply.value.data() : nullptr;
    buffers.outputSize = valueSize;
    reply.status = handle->Property(buffers, &reply.bytes);
    reply.value.resize(NT_SUCCESS(reply.status) ? reply.bytes : 0);
    return reply;
}

class NodePropertyTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        topology = TopologyMiniport::Create(cable);
        ASSERT_NE(topology, nullptr);
        cable->AttachTopologyMiniport(topology);
        topologyPort = host::PortTopology::Create();
        ASSERT_EQ(topologyPort->Init(nullptr, nullptr, static_cast<IMiniportTopology*>(topology), nullptr, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(host::KsFilter::Open(topologyPort, &topologyFilter), STATUS_SUCCESS);
        ASSERT_EQ(host::KsFilter::Open(port, &waveFilter), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        clients.clear();
        if (waveFilter != nullptr) {
            waveFilter->Release();
        }
        if (topologyFilter != nullptr) {
            topologyFilter->Release();
        }
        topologyPort->ReleaseChildren();
        topologyPort->Release();
        StreamTest::TearDown();
    }

    template <typename Handle>
    NTSTATUS SetLevel(Handle* handle, ULONG node, ULONG channel, LONG level)
    {
        return Request(handle, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                                       KSPROPERTY_TYPE_SET, node, Channel(channel)),
                       4, Ulongs({static_cast<ULONG>(level)}))
            .status;
    }
    template <typename Handle>
    LONG Level(Handle* handle, ULONG node, ULONG channel)
    {
        host::PropertyReply reply = Request(handle, host::NodePropertyInput(KSPROPSETID_Audio,
                                                                            KSPROPERTY_AUDIO_VOLUMELEVEL,
                                                                            KSPROPERTY_TYPE_GET, node, Channel(channel)),
                                            4);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytes, 4u);
        return reply.bytes == 4 ? static_cast<LONG>(UlongAt(reply.value, 0)) : 0x7FFFFFFF;
    }
    NTSTATUS SetMute(ULONG channel, ULONG value)
    {
        return Request(topologyFilter, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                                               KSPROPERTY_TYPE_SET, LineOutMute, Channel(channel)),
                       4, Ulongs({value}))
            .status;
    }

    // A client whose pin is created on the wave filter handle, so that its node requests carry
    // its stream.
    host::WaveClient* OpenPin(bool capture, const std::vector<uint8_t>& dataFormat)
    {
        host::WaveClientOptions options;
        options.filter = waveFilter;
        options.pinId = capture ? WaveCapturePin : WaveRenderPin;
        options.dataFormat = dataFormat;
        std::unique_ptr<host::WaveClient> opened;
        EXPECT_EQ(host::WaveClient::Open(port, options, &opened), STATUS_SUCCESS);
        clients.push_back(std::move(opened));
        return clients.back().get();
    }

    const TopologyLine& LineOut() const { return topology->Lines[0]; }

    TopologyMiniport* topology = nullptr;
    host::PortTopology* topologyPort = nullptr;
    host::KsFilter* topologyFilter = nullptr;
    host::KsFilter* waveFilter = nullptr;
};

// One sample of `width` bytes scaled by num / den in the engine's 32-bit internal form (the
// sample in the top bits, 8-bit offset by 0x80), rounded half away as the converter does or
// truncated toward zero as the mix's gain stage does, and narrowed back by its top bits.
void ScaleSample(uint8_t* sample, ULONG width, ULONG num, ULONG den, bool roundHalf)
{
    uint32_t bits = 0;
    for (ULONG byte = 0; byte < width; ++byte) {
        bits |= static_cast<uint32_t>(sample[byte]) << (8 * (4 - width + byte));
    }
    if (width == 1) {
        bits ^= 0x80000000u;
    }
    const int64_t product = static_cast<int64_t>(static_cast<int32_t>(bits)) * num + (roundHalf ? den / 2 : 0);
    uint32_t scaled = static_cast<uint32_t>(static_cast<int32_t>(product / static_cast<int64_t>(den)));
    if (width == 1) {
        scaled ^= 0x80000000u;
    }
    for (ULONG byte = 0; byte < width; ++byte) {
        sample[byte] = static_cast<uint8_t>(scaled >> (8 * (4 - width + byte)));
    }
}

std::vector<uint8_t> Scaled(std::vector<uint8_t> bytes, ULONG width, ULONG num, ULONG den, bool roundHalf)
{
    for (size_t offset = 0; offset + width <= bytes.size(); offset += width) {
        ScaleSample(bytes.data() + offset, width, num, den, roundHalf);
    }
    return bytes;
}

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

}  // namespace

TEST_F(NodePropertyTest, TopologyVolumeAcceptsWholeDecibelsDownToMinus100AndSilence)
{
    struct Row {
        const char* what;
        ULONG node;
        ULONG channel;
        LONG level;
        NTSTATUS status;
        LONG readBack;  // channel 0 and 1 after the request
        ScalePair gain;
    };
    const Row rows[] = {
        {"-100 dB on all channels", LineOutVolume, All, -6553600, STATUS_SUCCESS, -6553600, {16384, 1666303410}},
        {"whole-dB part -100", LineOutVolume, All, -6619135, STATUS_SUCCESS, -6619135, {16384, 1666303410}},
        {"-101 dB", LineOutVolume, All, -6619136, STATUS_INVALID_PARAMETER, -6619135, {16384, 1666303410}},
        {"above 0 dB", LineOutVolume, All, 1, STATUS_INVALID_PARAMETER, -6619135, {16384, 1666303410}},
        {"silence", LineOutVolume, All, Silent, STATUS_SUCCESS, Silent, {0, 1}},
        {"0 dB", LineOutVolume, All, 0, STATUS_SUCCESS, 0, {1, 1}},
        {"a step too small to hear", LineOutVolume, All, -6552, STATUS_SUCCESS, -6552, {1, 1}},
        {"-6 dB", LineOutVolume, All, MinusSixDb, STATUS_SUCCESS, MinusSixDb, {16384, MinusSixDbDenominator}},
        {"channel 2 of a stereo cable", LineOutVolume, 2, 0, STATUS_INVALID_PARAMETER, MinusSixDb,
         {16384, MinusSixDbDenominator}},
        {"a source line's node", LineInVolume, All, -65536, STATUS_SUCCESS, MinusSixDb, {16384, MinusSixDbDenominator}},
    };
    miniport->MaxChannels = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(SetLevel(topologyFilter, row.node, row.channel, row.level), row.status);
        for (ULONG channel : {0u, 1u, All}) {
            EXPECT_EQ(Level(topologyFilter, LineOutVolume, channel), row.readBack) << channel;
        }
        for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
            EXPECT_EQ(LineOut().ChannelLevels[channel], row.readBack) << channel;
            EXPECT_EQ(LineOut().ChannelGains[channel].Numerator, row.gain.Numerator) << channel;
            EXPECT_EQ(LineOut().ChannelGains[channel].Denominator, row.gain.Denominator) << channel;
        }
    }
    EXPECT_EQ(Level(topologyFilter, LineInVolume, 1), -65536) << "each line keeps its own levels";
}

TEST_F(NodePropertyTest, OneChannelSetChangesThatChannelOnly)
{
    miniport->MaxChannels = 6;
    ASSERT_EQ(SetLevel(topologyFilter, LineOutVolume, 5, -6553600), STATUS_SUCCESS);
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        EXPECT_EQ(LineOut().ChannelLevels[channel], channel == 5 ? -6553600 : 0) << channel;
        EXPECT_EQ(LineOut().ChannelGains[channel].Denominator, channel == 5 ? 1666303410u : 1u) << channel;
    }
    EXPECT_EQ(SetLevel(topologyFilter, LineOutVolume, 6, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(NodePropertyTest, WaveVolumeKeepsFilterAndStreamLevelsApartWithinMinus100To0Db)
{
    host::WaveClient* render = OpenPin(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    ASSERT_NE(render, nullptr);
    host::WavePciPin* pin = render->Pin();
    struct Row {
        const char* what;
        bool onStream;
        LONG level;
        NTSTATUS status;
        LONG filterLevel;
        LONG streamLevel;
    };
    const Row rows[] = {
        {"-100 dB on the filter", false, -6553600, STATUS_SUCCESS, -6553600, 0},
        {"below -100 dB", false, -6553601, STATUS_INVALID_PARAMETER, -6553600, 0},
        {"-100 dB on the stream", true, -6553600, STATUS_SUCCESS, -6553600, -6553600},
        {"below -100 dB on the stream", true, -6553601, STATUS_INVALID_PARAMETER, -6553600, -6553600},
        {"above 0 dB", true, 1, STATUS_INVALID_PARAMETER, -6553600, -6553600},
        {"silence on the stream", true, Silent, STATUS_SUCCESS, -6553600, Silent},
        {"0 dB on the filter", false, 0, STATUS_SUCCESS, 0, Silent},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NTSTATUS status = row.onStream ? SetLevel(pin, WaveVolumeNode, All, row.level)
                                       : SetLevel(waveFilter, WaveVolumeNode, All, row.level);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(Level(waveFilter, WaveVolumeNode, 1), row.filterLevel);
        EXPECT_EQ(Level(pin, WaveVolumeNode, 1), row.streamLevel);
        EXPECT_EQ(miniport->FilterChannelLevels[7], row.filterLevel);
    }
}

TEST_F(NodePropertyTest, MuteStoresAnyNonZeroAsOnePerChannelOrForAll)
{
    struct Row {
        ULONG channel;
        ULONG value;
        NTSTATUS status;
        uint8_t mutes[GainTableEntries];
    };
    const Row rows[] = {
        {1, 5, STATUS_SUCCESS, {0, 1, 0, 0, 0, 0, 0, 0}},
        {0, 0xFFFFFFFF, STATUS_SUCCESS, {1, 1, 0, 0, 0, 0, 0, 0}},
        {2, 1, STATUS_INVALID_PARAMETER, {1, 1, 0, 0, 0, 0, 0, 0}},
        {All, 0, STATUS_SUCCESS, {0, 0, 0, 0, 0, 0, 0, 0}},
        {All, 0x100, STATUS_SUCCESS, {1, 1, 1, 1, 1, 1, 1, 1}},
    };
    miniport->MaxChannels = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "channel " << row.channel << " value " << row.value);
        EXPECT_EQ(SetMute(row.channel, row.value), row.status);
        for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
            EXPECT_EQ(LineOut().ChannelMutes[channel], row.mutes[channel]) << channel;
        }
        for (ULONG channel : {0u, 1u}) {
            host::PropertyReply reply =
                Request(topologyFilter,
                        host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET,
                                                LineOutMute, Channel(channel)),
                        4);
            ASSERT_EQ(reply.status, STATUS_SUCCESS);
            EXPECT_EQ(reply.value, Ulongs({row.mutes[channel]})) << channel;
        }
    }
}

TEST_F(NodePropertyTest, SizesAreCheckedBeforeAnyValueIsTouched)
{
    struct Row {
        const char* what;
        ULONG property;
        ULONG verb;
        std::vector<uint8_t> instance;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
    };
    const Row rows[] = {
        {"a volume size query", KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, Channel(0), 0,
         STATUS_BUFFER_OVERFLOW, 4},
        {"a volume value of 3 bytes", KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, Channel(0), 3,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"a volume without its channel", KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, {}, 4,
         STATUS_INVALID_PARAMETER, 0},
        {"a channel cut short", KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, {0, 0, 0}, 4,
         STATUS_INVALID_PARAMETER, 0},
        {"a mute size query", KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, Channel(0), 0, STATUS_BUFFER_OVERFLOW, 4},
        {"a mute value of 1 byte", KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET, Channel(0), 1, STATUS_BUFFER_TOO_SMALL,
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const ULONG node = row.property == KSPROPERTY_AUDIO_MUTE ? LineOutMute : LineOutVolume;
        // A level the volume accepts and a non-zero mute: nothing but the sizes refuses them.
        host::PropertyReply reply =
            Request(topologyFilter, host::NodePropertyInput(KSPROPSETID_Audio, row.property, row.verb, node, row.instance),
                    row.valueSize, Ulongs({0xFFFF0000}));
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(reply.bytes, row.bytes);
        EXPECT_EQ(LineOut().ChannelLevels[0], 0);
        EXPECT_EQ(LineOut().ChannelMutes[0], 0);
    }
}

// 56 + 16 per range: the description, the members header, the stepping ranges.
TEST_F(NodePropertyTest, VolumeBasicSupportOffersOneRangeUpToStereoAndOnePerChannelAbove)
{
    struct Row {
        ULONG maxChannels;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
        ULONG ranges;  // entries expected in the value; 0 when it is shorter
        ULONG descriptionSize;
        ULONG membersFlags;
    };
    const Row rows[] = {
        {2, 0, STATUS_BUFFER_OVERFLOW, 72, 0, 0, 0},
        {2, 72, STATUS_SUCCESS, 72, 1, 72, 0},
        {1, 100, STATUS_SUCCESS, 72, 1, 72, 0},
        {6, 0, STATUS_BUFFER_OVERFLOW, 152, 0, 0, 0},
        {6, 152, STATUS_SUCCESS, 152, 6, 152, 2},
        {6, 151, STATUS_SUCCESS, 40, 0, 152, 0},
        {6, 40, STATUS_SUCCESS, 40, 0, 152, 0},
        {8, 184, STATUS_SUCCESS, 184, 8, 184, 2},
        {6, 39, STATUS_SUCCESS, 4, 0, 0, 0},
        {6, 4, STATUS_SUCCESS, 4, 0, 0, 0},
        {6, 3, STATUS_BUFFER_TOO_SMALL, 0, 0, 0, 0},
    };
    host::WaveClient* render = OpenPin(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    ASSERT_NE(render, nullptr);
    for (const Row& row : rows) {
        miniport->MaxChannels = row.maxChannels;
        const std::vector<uint8_t> input = host::NodePropertyInput(
            KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, LineOutVolume);
        const std::vector<uint8_t> waveInput = host::NodePropertyInput(
            KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, WaveVolumeNode);
        const host::PropertyReply replies[] = {Request(topologyFilter, input, row.valueSize),
                                               Request(waveFilter, waveInput, row.valueSize),
                                               Request(render->Pin(), waveInput, row.valueSize)};
        for (const host::PropertyReply& reply : replies) {
            SCOPED_TRACE(testing::Message() << row.maxChannels << " channels, " << row.valueSize << " bytes, filter "
                                            << (&reply - replies));
            EXPECT_EQ(reply.status, row.status);
            EXPECT_EQ(reply.bytes, row.bytes);
            if (row.bytes == 4) {
                EXPECT_EQ(reply.value, Ulongs({KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT}));
            }
            if (row.status != STATUS_SUCCESS || row.bytes < 40) {
                continue;
            }
            KSPROPERTY_DESCRIPTION description;
            std::memcpy(&description, reply.value.data(), sizeof(description));
            EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
            EXPECT_EQ(description.DescriptionSize, row.descriptionSize);
            EXPECT_TRUE(IsEqualGUIDAligned(description.PropTypeSet.Set, KSPROPTYPESETID_General));
            EXPECT_EQ(description.PropTypeSet.Id, static_cast<ULONG>(VT_I4));
            EXPECT_EQ(description.MembersListCount, 1u);
            if (row.ranges == 0) {
                continue;
            }
            EXPECT_EQ(UlongAt(reply.value, 40), 2u) << "KSPROPERTY_MEMBER_STEPPEDRANGES";
            EXPECT_EQ(UlongAt(reply.value, 44), 16u);
            EXPECT_EQ(UlongAt(reply.value, 48), row.ranges);
            EXPECT_EQ(UlongAt(reply.value, 52), row.membersFlags) << "multichannel flag";
            for (ULONG range = 0; range < row.ranges; ++range) {
                EXPECT_EQ(reply.value.size(), 56u + 16 * row.ranges);
                const std::vector<uint8_t> entry(reply.value.begin() + 56 + 16 * range,
                                                 reply.value.begin() + 72 + 16 * range);
                EXPECT_EQ(entry, Ulongs({0x10000, 0, static_cast<ULONG>(-6553600), 0})) << range;
            }
        }
    }
}

TEST_F(NodePropertyTest, JackDescriptionsShowTheLineOutAndTheConnectedSourceLines)
{
    struct Row {
        ULONG pin;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
        ULONG isConnected;
    };
    const Row rows[] = {
        {1, 36, STATUS_SUCCESS, 36, 1},        // line out
        {3, 36, STATUS_SUCCESS, 36, 0},        // microphone
        {4, 40, STATUS_SUCCESS, 36, 1},        // line in: the default connected mask 2
        {5, 36, STATUS_SUCCESS, 36, 0},        // S/PDIF in
        {0, 36, STATUS_INVALID_PARAMETER, 0, 0},  // the capture bridge: no line
        {2, 36, STATUS_INVALID_PARAMETER, 0, 0},
        {6, 36, STATUS_INVALID_PARAMETER, 0, 0},
        {1, 0, STATUS_BUFFER_OVERFLOW, 36, 0},
        {1, 35, STATUS_BUFFER_TOO_SMALL, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "pin " << row.pin << ", " << row.valueSize << " bytes");
        KSP_PIN property = {};
        property.Property.Set = KSPROPSETID_Jack;
        property.Property.Id = KSPROPERTY_JACK_DESCRIPTION;
        property.Property.Flags = KSPROPERTY_TYPE_GET;
        property.PinId = row.pin;
        std::vector<uint8_t> input(sizeof(property));
        std::memcpy(input.data(), &property, sizeof(property));
        host::PropertyReply reply = Request(topologyFilter, input, row.valueSize);
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(reply.bytes, row.bytes);
        if (row.status == STATUS_SUCCESS) {
            // KSMULTIPLE_ITEM {36, 1}; mapping 0, colour 0, unknown type, front, internal,
            // integrated device, then IsConnected.
            EXPECT_EQ(reply.value, Ulongs({36, 1, 0, 0, 0, 2, 1, 1, row.isConnected}));
        }
    }
}

TEST_F(NodePropertyTest, ChannelConfigurationKeepsSpeakerPositionsPerDirection)
{
    struct Row {
        ULONG node;
        ULONG verb;
        ULONG value;
        NTSTATUS status;
        ULONG render;
        ULONG capture;
    };
    const Row rows[] = {
        {WaveDacNode, KSPROPERTY_TYPE_GET, 0, STATUS_SUCCESS, 3, 3},
        {WaveDacNode, KSPROPERTY_TYPE_SET, 0x100, STATUS_SUCCESS, 0x100, 3},
        {WaveAdcNode, KSPROPERTY_TYPE_SET, 0x3F, STATUS_SUCCESS, 0x100, 0x3F},
        {WaveDacNode, KSPROPERTY_TYPE_SET, 0x3, STATUS_SUCCESS, 0x3, 0x3F},  // stereo, the default, set back
        {WaveDacNode, KSPROPERTY_TYPE_SET, 0x40000, STATUS_INVALID_PARAMETER, 0x3, 0x3F},
        {WaveAdcNode, KSPROPERTY_TYPE_SET, 0x80000000, STATUS_INVALID_PARAMETER, 0x3, 0x3F},
        {WaveAdcNode, KSPROPERTY_TYPE_SET, 0, STATUS_SUCCESS, 0x3, 0},  // direct out
        {WaveVolumeNode, KSPROPERTY_TYPE_SET, 0x3, STATUS_NOT_FOUND, 0x3, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "node " << row.node << " value " << std::hex << row.value);
        host::PropertyReply reply = Request(
            waveFilter, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, row.verb, row.node),
            4, Ulongs({row.value}));
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(miniport->RenderStreams.ChannelConfig, row.render);
        EXPECT_EQ(miniport->CaptureStreams.ChannelConfig, row.capture);
        for (ULONG node : {WaveDacNode, WaveAdcNode}) {
            host::PropertyReply read = Request(waveFilter,
                                               host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                                                       KSPROPERTY_TYPE_GET, node),
                                               8);
            ASSERT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.value, Ulongs({node == WaveDacNode ? row.render : row.capture}));
        }
    }
}

TEST_F(NodePropertyTest, EveryNodeOfBothFiltersRunsOffTheHostCpu)
{
    const std::pair<host::KsFilter*, ULONG> filters[] = {{topologyFilter, 9}, {waveFilter, 6}};
    for (const auto& [filter, nodes] : filters) {
        for (ULONG node = 0; node < nodes; ++node) {
            SCOPED_TRACE(testing::Message() << (filter == waveFilter ? "wave" : "topology") << " node " << node);
            host::PropertyReply reply = Request(
                filter, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET, node),
                8, Ulongs({0xAAAAAAAA, 0xAAAAAAAA}));
            EXPECT_EQ(reply.status, STATUS_SUCCESS);
            EXPECT_EQ(reply.value, Ulongs({0}));
            host::PropertyReply support =
                Request(filter,
                        host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
                                                KSPROPERTY_TYPE_BASICSUPPORT, node),
                        4);
            EXPECT_EQ(support.status, STATUS_SUCCESS);
            EXPECT_EQ(support.value, Ulongs({KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT}));
        }
    }
}

// Equal render and capture formats with volume control on: the render data reaches the mix
// unchanged (the stream's own level is 0 dB), the line out scales the mix, and the capture
// stream receives it byte for byte.
TEST_F(NodePropertyTest, LineOutLevelAndMuteShapeTheMixAtEveryWidth)
{
    miniport->VolumeControl = TRUE;
    constexpr ULONG Frames = 4800;  // 100 ms
    for (ULONG width = 1; width <= 4; ++width) {
        struct Row {
            const char* what;
            LONG level;
            ULONG mute;
            ULONG num, den;
        };
        const Row rows[] = {
            {"-6 dB", MinusSixDb, 0, 16384, MinusSixDbDenominator},
            {"0 dB", 0, 0, 1, 1},
            {"muted at -6 dB", MinusSixDb, 1, 0, 1},
            {"silenced", Silent, 0, 0, 1},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << 8 * width << " bits, " << row.what);
            ASSERT_EQ(SetLevel(topologyFilter, LineOutVolume, All, row.level), STATUS_SUCCESS);
            ASSERT_EQ(SetMute(All, row.mute), STATUS_SUCCESS);
            auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, static_cast<USHORT>(8 * width), 2));
            host::WaveClient* render = OpenPin(false, format);
            host::WaveClient* capture = OpenPin(true, format);
            const std::vector<uint8_t> played = RandomBytes(Frames * 2 * width, width);
            ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
            ASSERT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
            Run(render);
            Run(capture);

            host::AdvanceTime(105 * Millisecond);

            std::vector<host::ReapedBuffer> recorded = capture->Reap();
            ASSERT_EQ(recorded.size(), 1u);
            EXPECT_EQ(recorded[0].data, Scaled(played, width, row.num, row.den, false));
            if (row.num == 0) {
                EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(played.size(), width == 1 ? 0x80 : 0)) << "silence";
            }
            Close(render);
            Close(capture);
        }
    }
}

TEST_F(NodePropertyTest, LineOutLevelsActOnlyWithVolumeControlOn)
{
    ASSERT_EQ(SetLevel(topologyFilter, LineOutVolume, All, MinusSixDb), STATUS_SUCCESS);
    ASSERT_EQ(SetMute(0, 1), STATUS_SUCCESS);
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = OpenPin(false, format);
    host::WaveClient* capture = OpenPin(true, format);
    ASSERT_EQ(SetLevel(render->Pin(), WaveVolumeNode, All, MinusSixDb), STATUS_SUCCESS);
    const std::vector<uint8_t> played = RandomBytes(4800 * 4, 9);
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    host::AdvanceTime(105 * Millisecond);

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, played);
}

// A render stream's own level scales it in its conversion, rounded to nearest, before the mix;
// the line out at 0 dB leaves the mix alone.
TEST_F(NodePropertyTest, StreamLevelScalesThatRenderStreamOnly)
{
    miniport->VolumeControl = TRUE;
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = OpenPin(false, format);
    host::WaveClient* capture = OpenPin(true, format);
    ASSERT_EQ(SetLevel(render->Pin(), WaveVolumeNode, All, MinusSixDb), STATUS_SUCCESS);
    ASSERT_EQ(SetLevel(capture->Pin(), WaveVolumeNode, All, Silent), STATUS_SUCCESS);
    ASSERT_EQ(SetLevel(waveFilter, WaveVolumeNode, All, Silent), STATUS_SUCCESS);
    const std::vector<uint8_t> played = RandomBytes(4800 * 4, 10);
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    host::AdvanceTime(105 * Millisecond);

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, Scaled(played, 2, 16384, MinusSixDbDenominator, true))
        << "the capture stream's and the filter's levels act on nothing";
}

// Changes between passes, at several points of a second of audio: everything processed before
// a change is as it was, everything after it carries the new level, from the first frame of the
// next chunk on.
TEST_F(NodePropertyTest, ALevelChangedWhileStreamingTakesEffectAtTheNextChunk)
{
    miniport->VolumeControl = TRUE;
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = OpenPin(false, format);
    host::WaveClient* capture = OpenPin(true, format);
    const std::vector<uint8_t> played = RandomBytes(48000 * 4, 11);
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);
    struct Step {
        ULONGLONG after;
        LONG level;
        ULONG mute;
        ULONG num, den;
    };
    const Step steps[] = {{0, 0, 0, 1, 1},
                          {95 * Millisecond, MinusSixDb, 0, 16384, MinusSixDbDenominator},
                          {200 * Millisecond, MinusSixDb, 1, 0, 1},
                          {330 * Millisecond, -6553600, 0, 16384, 1666303410},
                          {505 * Millisecond, 0, 0, 1, 1}};
    std::vector<size_t> changedAt;  // cable bytes processed when each change was made
    ULONGLONG elapsed = 0;
    for (const Step& step : steps) {
        host::AdvanceTime(step.after - elapsed);
        elapsed = step.after;
        changedAt.push_back(static_cast<size_t>(miniport->ProcessedBytes));
        ASSERT_EQ(SetLevel(topologyFilter, LineOutVolume, All, step.level), STATUS_SUCCESS);
        ASSERT_EQ(SetMute(All, step.mute), STATUS_SUCCESS);
    }
    host::AdvanceTime(1050 * Millisecond - elapsed);
    changedAt.push_back(played.size());
    std::vector<uint8_t> expected;
    for (size_t index = 0; index < std::size(steps); ++index) {
        const std::vector<uint8_t> piece(played.begin() + changedAt[index], played.begin() + changedAt[index + 1]);
        const std::vector<uint8_t> scaled = Scaled(piece, 2, steps[index].num, steps[index].den, false);
        expected.insert(expected.end(), scaled.begin(), scaled.end());
    }

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    ASSERT_EQ(expected.size(), played.size());
    for (size_t offset = 0; offset < played.size(); offset += 4800) {
        const size_t end = std::min(played.size(), offset + 4800);
        ASSERT_TRUE(std::equal(recorded[0].data.begin() + offset, recorded[0].data.begin() + end,
                               expected.begin() + offset))
            << "first difference within bytes " << offset << ".." << end;
    }
}

// Real threads: two processors run the cable's DPCs while two client threads change the line
// out's level and mute and the render stream's level as fast as they can.
TEST_F(NodePropertyTest, LevelsAndMutesChangedConcurrentlyWithTheCableRunningOnTwoProcessors)
{
    miniport->VolumeControl = TRUE;
    host::SetDpcsRunWhenIrqlDrops(false);
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    auto format = host::WaveDataFormat(host::PcmWaveFormat(8000, 16, 2));
    host::WaveClient* render = OpenPin(false, format);
    host::WaveClient* capture = OpenPin(true, format);
    constexpr ULONG BufferBytes = 320;  // 10 ms
    constexpr size_t Queued = 40;
    // A constant full-scale signal: whatever the levels, each captured sample is the signal
    // scaled by one of the gains set (0 dB, -6 dB, muted), never anything in between or above.
    std::vector<uint8_t> signal(BufferBytes);
    for (size_t offset = 0; offset < signal.size(); offset += 2) {
        signal[offset] = 0x00;
        signal[offset + 1] = 0x40;  // 0x4000
    }
    for (size_t index = 0; index < Queued; ++index) {
        ASSERT_EQ(render->Write(signal.data(), BufferBytes), STATUS_SUCCESS);
        ASSERT_EQ(capture->Read(BufferBytes), STATUS_SUCCESS);
    }
    Run(render);
    Run(capture);
    std::atomic<bool> stop{false};
    std::atomic<size_t> changes{0};
    std::vector<uint8_t> recorded;
    std::atomic<size_t> recordedBytes{0};
    host::StartRealTime();
    std::thread client([&] {
        size_t renderQueued = Queued;
        size_t captureQueued = Queued;
        while (!stop.load()) {
            for (const host::ReapedBuffer& done : render->Reap()) {
                (void)done;
                --renderQueued;
            }
            for (const host::ReapedBuffer& done : capture->Reap()) {
                --captureQueued;
                recorded.insert(recorded.end(), done.data.begin(), done.data.end());
                recordedBytes.store(recorded.size());
            }
            for (; renderQueued < Queued; ++renderQueued) {
                ASSERT_EQ(render->Write(signal.data(), BufferBytes), STATUS_SUCCESS);
            }
            for (; captureQueued < Queued; ++captureQueued) {
                ASSERT_EQ(capture->Read(BufferBytes), STATUS_SUCCESS);
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread mixer([&] {
        for (unsigned step = 0; !stop.load(); ++step) {
            ASSERT_EQ(SetLevel(topologyFilter, LineOutVolume, All, step % 2 ? MinusSixDb : 0), STATUS_SUCCESS);
            ASSERT_EQ(SetMute(step % 3, step % 5 == 0), STATUS_SUCCESS);
            ASSERT_EQ(SetLevel(render->Pin(), WaveVolumeNode, step % 2, step % 3 ? 0 : MinusSixDb), STATUS_SUCCESS);
            changes.fetch_add(1);
        }
    });
    bool enough = host::WaitUntil(
        [&] { return recordedBytes.load() >= 8000 * 4 && changes.load() >= 200; }, 60s);
    stop = true;
    client.join();
    mixer.join();
    EXPECT_EQ(render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    host::StopRealTime();
    ASSERT_TRUE(enough);

    // 0x4000 through the stream's gain (rounded) and then the line out's (truncated).
    const int16_t stream[] = {0x4000, static_cast<int16_t>((0x40000000ll * 16384 + 16360) / 32720 >> 16)};
    std::vector<int16_t> allowed = {0};
    for (int16_t sample : stream) {
        allowed.push_back(sample);
        allowed.push_back(static_cast<int16_t>((static_cast<int64_t>(sample) << 16) * 16384 / 32720 >> 16));
    }
    size_t scaled = 0;
    for (size_t offset = 0; offset + 2 <= recorded.size(); offset += 2) {
        int16_t sample = static_cast<int16_t>(recorded[offset] | recorded[offset + 1] << 8);
        ASSERT_NE(std::find(allowed.begin(), allowed.end(), sample), allowed.end())
            << "sample " << sample << " at byte " << offset;
        scaled += (sample != 0 && sample != 0x4000);
    }
    EXPECT_GT(scaled, 0u) << "some of the changes were heard";
}
