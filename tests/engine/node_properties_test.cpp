// The node properties of a cable's two filters as clients reach them through the ports, and what
// the levels do to the audio with volume control on.
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
using Words = std::vector<ULONG>;

constexpr ULONG All = 0xFFFFFFFF, Get = KSPROPERTY_TYPE_GET, Set = KSPROPERTY_TYPE_SET,
                BasicSupport = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG Silent = 0x80000000, MinusSixDb = static_cast<ULONG>(-6 * 65536);
constexpr ULONG Minus100Db = static_cast<ULONG>(-6553600), Below100Db = static_cast<ULONG>(-6553601);
constexpr ULONG Above101Db = static_cast<ULONG>(-6619135), Minus101Db = static_cast<ULONG>(-6619136);
constexpr ULONG SixDbDown = 32720;  // LevelToScale(-6 dB) = (16384, 32720): 60 steps of 16574/16384
// Default types mask 7. Topology nodes: line out volume 1, mute 2; line in volume 5. Pins: line
// out 1, microphone 3, line in 4, S/PDIF 5.
constexpr ULONG LineOutVolume = 1, LineOutMute = 2, LineInVolume = 5;
enum Handle { Topology, Wave, RenderPin };

class NodePropertyTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        topology = TopologyMiniport::Create(cable);
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
        waveFilter->Release();
        topologyFilter->Release();
        topologyPort->ReleaseChildren();
        topologyPort->Release();
        StreamTest::TearDown();
    }

    // A client whose pin is made by the wave filter handle, so its node requests carry its stream.
    host::WaveClient* OpenPin(bool capture, USHORT bits = 16)
    {
        host::WaveClientOptions options;
        options.filter = waveFilter;
        options.pinId = capture ? WaveCapturePin : WaveRenderPin;
        options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(48000, bits, 2));
        std::unique_ptr<host::WaveClient> opened;
        EXPECT_EQ(host::WaveClient::Open(port, options, &opened), STATUS_SUCCESS);
        clients.push_back(std::move(opened));
        return clients.back().get();
    }

    // One request: a node request when `node` is given, else a pin request for the instance's
    // first word; the value buffer holds `value` (zeros past it). Returns the status, the byte
    // count and the words returned.
    std::tuple<NTSTATUS, ULONG, Words> Send(Handle handle, const GUID& set, ULONG id, ULONG verb, ULONG node,
                                            const Words& instance, ULONG valueSize, const Words& value = {})
    {
        const auto* instanceBytes = reinterpret_cast<const uint8_t*>(instance.data());
        const std::vector<uint8_t> extra(instanceBytes, instanceBytes + instance.size() * 4);
        std::vector<uint8_t> input = node != KSFILTER_NODE ? host::NodePropertyInput(set, id, verb, node, extra)
                                                           : host::PropertyInput(set, id, verb);
        if (node == KSFILTER_NODE) {
            input.insert(input.end(), extra.begin(), extra.end());
        }
        std::vector<uint8_t> buffer(valueSize);
        std::copy_n(reinterpret_cast<const uint8_t*>(value.data()), std::min<size_t>(valueSize, value.size() * 4),
                    buffer.begin());
        host::KsPropertyBuffers buffers{input.data(), static_cast<ULONG>(input.size()), buffer.data(), valueSize};
        ULONG bytes = 0;
        NTSTATUS status = handle == Topology ? topologyFilter->Property(buffers, &bytes)
                          : handle == Wave   ? waveFilter->Property(buffers, &bytes)
                                             : render->Pin()->Property(buffers, &bytes);
        Words words(NT_SUCCESS(status) ? bytes / 4 : 0);
        for (size_t index = 0; index < words.size(); ++index) {
            std::memcpy(&words[index], &buffer[4 * index], 4);
        }
        return {status, bytes, words};
    }
    NTSTATUS SetLevel(Handle handle, ULONG node, ULONG level, ULONG channel = All)
    {
        return std::get<0>(Send(handle, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, Set, node, {channel, 0}, 4,
                                {level}));
    }
    NTSTATUS SetMute(ULONG muted, ULONG channel = All)
    {
        return std::get<0>(
            Send(Topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, Set, LineOutMute, {channel, 0}, 4, {muted}));
    }
    // A render and a capture client in the same format, running, with one buffer each of `played`.
    host::WaveClient* Loop(const std::vector<uint8_t>& played, USHORT bits = 16)
    {
        render = OpenPin(false, bits);
        host::WaveClient* capture = OpenPin(true, bits);
        EXPECT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
        EXPECT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
        Run(render);
        Run(capture);
        return capture;
    }

    TopologyMiniport* topology = nullptr;
    host::PortTopology* topologyPort = nullptr;
    host::KsFilter* topologyFilter = nullptr;
    host::KsFilter* waveFilter = nullptr;
    host::WaveClient* render = nullptr;
};

// Each sample of `width` bytes scaled by num / den in the engine's 32-bit form (sample in the top
// bits, 8-bit offset by 0x80): rounded half up as the converter does or truncated toward zero as
// the mix's gain stage does, then cut back to its top bits.
std::vector<uint8_t> Scaled(std::vector<uint8_t> bytes, ULONG width, ULONG num, ULONG den, bool roundHalf)
{
    const int shift = 8 * (4 - width);
    const uint32_t offset = width == 1 ? 0x80000000u : 0;
    for (size_t at = 0; at + width <= bytes.size(); at += width) {
        uint32_t bits = 0;
        std::memcpy(&bits, &bytes[at], width);
        const int64_t sample = static_cast<int32_t>((bits << shift) ^ offset);
        const int64_t scaled = (sample * num + (roundHalf ? den / 2 : 0)) / den;
        bits = (static_cast<uint32_t>(scaled) ^ offset) >> shift;
        std::memcpy(&bytes[at], &bits, width);
    }
    return bytes;
}

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(count);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
    return bytes;
}

}  // namespace

// In order on one stereo cable with a render stream.
TEST_F(NodePropertyTest, HandlersKeepAcceptedValuesAndRefuseTheRest)
{
    const GUID& audio = KSPROPSETID_Audio;
    const ULONG volume = KSPROPERTY_AUDIO_VOLUMELEVEL, mute = KSPROPERTY_AUDIO_MUTE,
                config = KSPROPERTY_AUDIO_CHANNEL_CONFIG, cpu = KSPROPERTY_AUDIO_CPU_RESOURCES;
    const ULONG pin = KSFILTER_NODE;
    struct Row {
        Handle handle;
        const GUID& set;
        ULONG id, verb, node;
        Words instance;
        ULONG valueSize;
        Words value;
        NTSTATUS status;
        ULONG bytes;
        Words answer;
    };
    const Words connected = {36, 1, 0, 0, 0, 2, 1, 1, 1}, unplugged = {36, 1, 0, 0, 0, 2, 1, 1, 0};
    const Row rows[] = {
        {Topology, audio, volume, Set, LineOutVolume, {All, 0}, 4, {Minus100Db}, 0, 4, {Minus100Db}},
        {Topology, audio, volume, Get, LineOutVolume, {1, 0}, 4, {}, 0, 4, {Minus100Db}},
        {Topology, audio, volume, Set, LineInVolume, {1, 0}, 4, {Above101Db}, 0, 4, {Above101Db}},
        {Topology, audio, volume, Set, LineInVolume, {1, 0}, 4, {Minus101Db},
         STATUS_INVALID_PARAMETER, 0, {}},
        {Topology, audio, volume, Set, LineInVolume, {1, 0}, 4, {1}, STATUS_INVALID_PARAMETER, 0, {}},
        {Topology, audio, volume, Get, LineInVolume, {1, 0}, 4, {}, 0, 4, {Above101Db}},
        {Topology, audio, volume, Set, LineInVolume, {0, 0}, 4, {Silent}, 0, 4, {Silent}},
        {Topology, audio, volume, Set, LineInVolume, {2, 0}, 4, {0}, STATUS_INVALID_PARAMETER, 0, {}},
        {Topology, audio, volume, Set, LineInVolume, {}, 4, {0}, STATUS_INVALID_PARAMETER, 0, {}},
        {Topology, audio, volume, Get, LineInVolume, {0, 0}, 0, {}, STATUS_BUFFER_OVERFLOW, 4, {}},
        {Topology, audio, volume, Set, LineInVolume, {0, 0}, 3, {0}, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {Topology, audio, mute, Set, LineOutMute, {1, 0}, 4, {5}, 0, 4, {5}},
        {Topology, audio, mute, Get, LineOutMute, {1, 0}, 4, {}, 0, 4, {1}},
        {Topology, audio, mute, Get, LineOutMute, {0, 0}, 4, {}, 0, 4, {0}},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {1, 0}, 36, {}, 0, 36, connected},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {3, 0}, 40, {}, 0, 36, unplugged},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {4, 0}, 36, {}, 0, 36, connected},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {0, 0}, 36, {}, STATUS_INVALID_PARAMETER, 0,
         {}},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {6, 0}, 36, {}, STATUS_INVALID_PARAMETER, 0,
         {}},
        {Topology, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, Get, pin, {1, 0}, 35, {}, STATUS_BUFFER_TOO_SMALL, 0,
         {}},
        {Wave, audio, volume, Set, WaveVolumeNode, {All, 0}, 4, {Below100Db},
         STATUS_INVALID_PARAMETER, 0, {}},
        {Wave, audio, volume, Set, WaveVolumeNode, {All, 0}, 4, {1}, STATUS_INVALID_PARAMETER, 0, {}},
        {Wave, audio, volume, Set, WaveVolumeNode, {All, 0}, 4, {Minus100Db}, 0, 4, {Minus100Db}},
        {RenderPin, audio, volume, Set, WaveVolumeNode, {All, 0}, 4, {Silent}, 0, 4, {Silent}},
        {Wave, audio, volume, Get, WaveVolumeNode, {1, 0}, 4, {}, 0, 4, {Minus100Db}},
        {RenderPin, audio, volume, Get, WaveVolumeNode, {1, 0}, 4, {}, 0, 4, {Silent}},
        {Wave, audio, config, Get, WaveDacNode, {}, 4, {}, 0, 4, {3}},
        {Wave, audio, config, Set, WaveDacNode, {}, 4, {0x100}, 0, 4, {0x100}},
        {Wave, audio, config, Set, WaveAdcNode, {}, 4, {0x3F}, 0, 4, {0x3F}},
        {Wave, audio, config, Get, WaveDacNode, {}, 4, {}, 0, 4, {0x100}},
        {Wave, audio, config, Set, WaveDacNode, {}, 4, {0x3}, 0, 4, {0x3}},  // stereo, as read at first
        {Wave, audio, config, Set, WaveDacNode, {}, 4, {0x40000}, STATUS_INVALID_PARAMETER, 0, {}},
        {Wave, audio, config, Get, WaveAdcNode, {}, 4, {}, 0, 4, {0x3F}},
        {Wave, audio, config, Get, WaveVolumeNode, {}, 4, {}, STATUS_NOT_FOUND, 0, {}},
        {Topology, audio, cpu, Get, 0, {}, 8, {All, All}, 0, 4, {0}},
        {Wave, audio, cpu, Get, WaveAdcNode, {}, 8, {All, All}, 0, 4, {0}},
        {Wave, audio, cpu, BasicSupport, WaveVolumeNode, {}, 4, {}, 0, 4, {Get | BasicSupport}},
    };
    render = OpenPin(false);
    miniport->MaxChannels = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        auto [status, bytes, answer] =
            Send(row.handle, row.set, row.id, row.verb, row.node, row.instance, row.valueSize, row.value);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(bytes, row.bytes);
        EXPECT_EQ(answer, row.answer);
    }
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        const TopologyLine& lineOut = topology->Lines[0];
        const TopologyLine& lineIn = topology->Lines[2];
        EXPECT_EQ(lineOut.ChannelLevels[channel], -6553600);
        EXPECT_EQ(lineOut.ChannelGains[channel].Numerator, 16384u);
        EXPECT_EQ(lineOut.ChannelGains[channel].Denominator, 1666303410u);
        EXPECT_EQ(lineOut.ChannelMutes[channel], channel == 1);
        EXPECT_EQ(lineIn.ChannelGains[channel].Numerator, channel == 0 ? 0u : channel == 1 ? 16384u : 1u);
    }
}

// 56 bytes and 16 per stepping range: one range for up to two channels, one per channel above.
TEST_F(NodePropertyTest, VolumeBasicSupportDescribesOneSteppingRangePerChannelAboveStereo)
{
    render = OpenPin(false);
    for (ULONG channels : {1u, 2u, 6u, 8u}) {
        const ULONG ranges = channels > 2 ? channels : 1, size = 56 + 16 * ranges;
        Words general(4);
        std::memcpy(general.data(), &KSPROPTYPESETID_General, sizeof(GUID));
        Words description = {Get | Set | BasicSupport, size};
        description.insert(description.end(), general.begin(), general.end());
        description.insert(description.end(), {VT_I4, 0, 1, 0});
        Words full = description;
        full.insert(full.end(), {2, 16, ranges, ranges > 1 ? 2u : 0u});
        for (ULONG range = 0; range < ranges; ++range) {
            full.insert(full.end(), {0x10000, 0, Minus100Db, 0});
        }
        miniport->MaxChannels = channels;
        for (Handle handle : {Topology, Wave, RenderPin}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, handle " << handle);
            const ULONG node = handle == Topology ? LineOutVolume : WaveVolumeNode;
            auto ask = [&](ULONG valueSize) {
                return Send(handle, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, BasicSupport, node, {}, valueSize);
            };
            EXPECT_EQ(ask(0), std::make_tuple(STATUS_BUFFER_OVERFLOW, size, Words{}));
            EXPECT_EQ(ask(size + 8), std::make_tuple(STATUS_SUCCESS, size, full));
            EXPECT_EQ(ask(size - 1), std::make_tuple(STATUS_SUCCESS, 40u, description));
            EXPECT_EQ(ask(39), std::make_tuple(STATUS_SUCCESS, 4u, Words{Get | Set | BasicSupport}));
            EXPECT_EQ(ask(3), std::make_tuple(STATUS_BUFFER_TOO_SMALL, 0u, Words{}));
        }
    }
}

// Equal render and capture formats: the capture receives the mix, in which the render stream's
// data arrives scaled by its own level (rounded) and then by the line out's (truncated).
TEST_F(NodePropertyTest, VolumeControlScalesTheMixByTheLineOutAndEachRenderStreamByItsLevel)
{
    struct Row {
        bool volumeControl;
        ULONG width, lineLevel, lineMute, streamLevel;
        ULONG lineNum, lineDen, streamNum, streamDen;
    };
    std::vector<Row> rows;
    for (ULONG width = 1; width <= 4; ++width) {
        rows.push_back({true, width, MinusSixDb, 0, 0, 16384, SixDbDown, 1, 1});
        rows.push_back({true, width, MinusSixDb, 1, 0, 0, 1, 1, 1});
        rows.push_back({true, width, Silent, 0, 0, 0, 1, 1, 1});
    }
    rows.push_back({true, 2, 0, 0, MinusSixDb, 1, 1, 16384, SixDbDown});
    rows.push_back({false, 2, MinusSixDb, 1, MinusSixDb, 1, 1, 1, 1});
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << 8 * row.width << " bits, row " << &row - rows.data());
        miniport->VolumeControl = row.volumeControl;
        ASSERT_EQ(SetLevel(Topology, LineOutVolume, row.lineLevel), STATUS_SUCCESS);
        ASSERT_EQ(SetMute(row.lineMute), STATUS_SUCCESS);
        const std::vector<uint8_t> played = RandomBytes(4800 * 2 * row.width, row.width);  // 100 ms
        host::WaveClient* capture = Loop(played, static_cast<USHORT>(8 * row.width));
        ASSERT_EQ(SetLevel(RenderPin, WaveVolumeNode, row.streamLevel), STATUS_SUCCESS);
        ASSERT_EQ(SetLevel(Wave, WaveVolumeNode, Silent), STATUS_SUCCESS) << "the filter's own level acts on nothing";

        host::AdvanceTime(105 * Millisecond);

        std::vector<host::ReapedBuffer> recorded = capture->Reap();
        ASSERT_EQ(recorded.size(), 1u);
        const auto stream = Scaled(played, row.width, row.streamNum, row.streamDen, true);
        EXPECT_EQ(recorded[0].data, Scaled(stream, row.width, row.lineNum, row.lineDen, false));
        if (row.lineNum == 0) {
            EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(played.size(), row.width == 1 ? 0x80 : 0));
        }
        clients.clear();
    }
}

// Changes made between passes: everything processed before a change is as it was and everything
// after it, from the first frame of the next chunk, carries the new level.
TEST_F(NodePropertyTest, ALevelChangedWhileStreamingTakesEffectAtTheNextChunk)
{
    miniport->VolumeControl = TRUE;
    const std::vector<uint8_t> played = RandomBytes(48000 * 4, 11);
    host::WaveClient* capture = Loop(played);
    struct Step {
        ULONGLONG at;
        ULONG level, mute, num, den;
    };
    const Step steps[] = {{0, 0, 0, 1, 1},
                          {95 * Millisecond, MinusSixDb, 0, 16384, SixDbDown},
                          {200 * Millisecond, MinusSixDb, 1, 0, 1},
                          {333 * Millisecond, Minus100Db, 0, 16384, 1666303410},
                          {505 * Millisecond, 0, 0, 1, 1}};
    std::vector<size_t> changedAt;  // cable bytes processed when each change is made
    ULONGLONG now = 0;
    for (const Step& step : steps) {
        host::AdvanceTime(step.at - now);
        now = step.at;
        changedAt.push_back(static_cast<size_t>(miniport->ProcessedBytes));
        ASSERT_EQ(SetLevel(Topology, LineOutVolume, step.level), STATUS_SUCCESS);
        ASSERT_EQ(SetMute(step.mute), STATUS_SUCCESS);
    }
    host::AdvanceTime(1050 * Millisecond - now);
    changedAt.push_back(played.size());

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    for (size_t index = 0; index < std::size(steps); ++index) {
        SCOPED_TRACE(index);
        const size_t from = changedAt[index], to = changedAt[index + 1];
        const std::vector<uint8_t> piece(played.begin() + from, played.begin() + to);
        EXPECT_TRUE(std::equal(recorded[0].data.begin() + from, recorded[0].data.begin() + to,
                               Scaled(piece, 2, steps[index].num, steps[index].den, false).begin()));
    }
}

// Real threads: two processors run the cable's DPCs while a client thread keeps the streams fed
// and another changes the line out's level and mute and the render stream's level. Every sample
// of a constant signal must come out scaled by a combination of gains that were set.
TEST_F(NodePropertyTest, LevelsAndMutesChangedConcurrentlyWithTheCableRunningOnTwoProcessors)
{
    miniport->VolumeControl = TRUE;
    host::SetDpcsRunWhenIrqlDrops(false);
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    constexpr ULONG BufferBytes = 1920;  // 10 ms
    std::vector<uint8_t> fullScale(BufferBytes);
    for (size_t at = 1; at < fullScale.size(); at += 2) {
        fullScale[at] = 0x40;  // 0x4000 in every sample
    }
    host::WaveClient* capture = Loop(fullScale);
    std::atomic<bool> stop{false};
    std::atomic<size_t> recordedBytes{0}, changes{0};
    std::vector<uint8_t> recorded;
    host::StartRealTime();
    std::thread client([&] {
        while (!stop.load()) {
            for (size_t done = render->Reap().size(); done > 0; --done) {
                ASSERT_EQ(render->Write(fullScale.data(), BufferBytes), STATUS_SUCCESS);
            }
            for (const host::ReapedBuffer& done : capture->Reap()) {
                recorded.insert(recorded.end(), done.data.begin(), done.data.end());
                ASSERT_EQ(capture->Read(BufferBytes), STATUS_SUCCESS);
            }
            while (render->InFlight() < 40) {
                ASSERT_EQ(render->Write(fullScale.data(), BufferBytes), STATUS_SUCCESS);
                ASSERT_EQ(capture->Read(BufferBytes), STATUS_SUCCESS);
            }
            recordedBytes = recorded.size();
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread mixer([&] {
        for (unsigned step = 0; !stop.load(); ++step, ++changes) {
            ASSERT_EQ(SetLevel(Topology, LineOutVolume, step % 2 ? MinusSixDb : 0), STATUS_SUCCESS);
            ASSERT_EQ(SetMute(step % 5 == 0, step % 3), STATUS_SUCCESS);
            ASSERT_EQ(SetLevel(RenderPin, WaveVolumeNode, step % 3 ? 0 : MinusSixDb, step % 2), STATUS_SUCCESS);
        }
    });
    bool enough = host::WaitUntil([&] { return recordedBytes >= 192000 && changes >= 200; }, 60s);
    stop = true;
    client.join();
    mixer.join();
    host::StopRealTime();
    ASSERT_TRUE(enough);

    // 0x4000 through the stream's gain (1 or rounded -6 dB), then the line out's (1, -6 dB, 0).
    std::vector<int16_t> allowed;
    for (int64_t stream : {int64_t{0x4000}, ((int64_t{0x4000} << 16) * 16384 + 16360) / SixDbDown >> 16}) {
        allowed.insert(allowed.end(), {0, static_cast<int16_t>(stream),
                                       static_cast<int16_t>((stream << 16) * 16384 / SixDbDown >> 16)});
    }
    size_t changed = 0;
    for (size_t at = 0; at + 2 <= recorded.size(); at += 2) {
        const int16_t sample = static_cast<int16_t>(recorded[at] | recorded[at + 1] << 8);
        ASSERT_NE(std::find(allowed.begin(), allowed.end(), sample), allowed.end()) << sample << " at byte " << at;
        changed += sample != 0 && sample != 0x4000;
    }
    EXPECT_GT(changed, 0u) << "some of the changes were heard";
}
