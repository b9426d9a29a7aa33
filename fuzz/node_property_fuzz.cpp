// Fuzzes every property request a client can send a cable's two filters and the wave filter's
// pins, through the stand-in ports' request path: any property set and id, any verb, any node,
// any channel or pin in the instance, any value and any buffer sizes. After each request the
// values the handlers keep must still be values they accept.
//
// Input: byte 0 picks the handle (topology filter, wave filter, render pin, capture pin), byte 1
// the property set, byte 2 the property id, byte 3 the verb bits, byte 4 the node id, bytes 5-6
// the value buffer size (0..511), byte 7 the instance length (0..31); then the instance bytes,
// then the value's first bytes (zeros after them). The pins are stopped again after each input,
// so that an input's outcome does not depend on the ones before it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "engine/gain.h"
#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/port_topology.h"
#include "host/port_wave_pci.h"
#include "host/wave_client.h"

namespace {

struct Rig {
    Cable* cable;
    TopologyMiniport* topology;
    WaveMiniport* wave;
    host::KsFilter* topologyFilter;
    host::KsFilter* waveFilter;
    std::unique_ptr<host::WaveClient> render;
    std::unique_ptr<host::WaveClient> capture;
};

Rig& TheRig()
{
    static Rig* rig = [] {
        host::ResetPlatform();
        host::SetVerifierMode(host::VerifierMode::Abort);
        auto* made = new Rig();
        Adapter* adapter = Adapter::Create();
        made->cable = Cable::Create(0, adapter);
        made->wave = WaveMiniport::Create(made->cable);
        made->cable->AttachWaveMiniport(made->wave);
        made->topology = TopologyMiniport::Create(made->cable);
        made->cable->AttachTopologyMiniport(made->topology);
        adapter->AddCable(made->cable);
        // Six channels: stepping ranges per channel, and channels 6 and 7 out of range.
        FormatLimits ranges = {8000, 48000, 8, 24, 1, 6};
        made->wave->ApplyFormatRanges(&ranges);
        host::PortTopology* topologyPort = host::PortTopology::Create();
        host::PortWavePci* wavePort = host::PortWavePci::Create();
        if (topologyPort->Init(nullptr, nullptr, static_cast<IMiniportTopology*>(made->topology), nullptr, nullptr) !=
                STATUS_SUCCESS ||
            wavePort->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(made->wave), nullptr, nullptr) !=
                STATUS_SUCCESS ||
            host::KsFilter::Open(topologyPort, &made->topologyFilter) != STATUS_SUCCESS ||
            host::KsFilter::Open(wavePort, &made->waveFilter) != STATUS_SUCCESS) {
            std::fprintf(stderr, "node_property_fuzz: the cable's filters did not open\n");
            std::abort();
        }
        for (bool capture : {false, true}) {
            host::WaveClientOptions options;
            options.filter = made->waveFilter;
            options.pinId = capture ? WaveCapturePin : WaveRenderPin;
            options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
            if (host::WaveClient::Open(wavePort, options, capture ? &made->capture : &made->render) != STATUS_SUCCESS) {
                std::fprintf(stderr, "node_property_fuzz: a pin did not open\n");
                std::abort();
            }
        }
        return made;
    }();
    return *rig;
}

// A broken property stops the run with its line, as a crash does.
#define Require(condition)                                                                    \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "node_property_fuzz: %s fails (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)

constexpr LONG Silent = -2147483647 - 1;

bool SameGain(ScalePair a, ScalePair b)
{
    return a.Numerator == b.Numerator && a.Denominator == b.Denominator;
}

// A channel table as the handlers keep it: accepted levels, each with its own gain.
void RequireTable(const LONG* levels, const ScalePair* gains, LONG lowest)
{
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        Require(levels[channel] == Silent || (levels[channel] >= lowest && levels[channel] <= 0));
        Require(SameGain(gains[channel], LevelToScale(levels[channel])));
    }
}

void RequireKeptValuesValid(Rig& rig)
{
    const TopologyMiniport* topology = rig.topology;
    Require(topology->SourceLineTypesMask == 7 && topology->ConnectedSourceLinesMask == 2);
    for (ULONG line = 0; line < topology->LineCount; ++line) {
        const TopologyLine& record = topology->Lines[line];
        RequireTable(record.ChannelLevels, record.ChannelGains, -6619135);
        for (BOOLEAN mute : record.ChannelMutes) {
            Require(mute == 0 || mute == 1);
        }
    }
    RequireTable(rig.wave->FilterChannelLevels, rig.wave->FilterChannelGains, -6553600);
    Require((rig.wave->RenderStreams.ChannelConfig & ~0x3FFFFu) == 0);
    Require((rig.wave->CaptureStreams.ChannelConfig & ~0x3FFFFu) == 0);
}

const GUID* const PropertySets[] = {&KSPROPSETID_Audio, &KSPROPSETID_Jack,       &KSPROPSETID_Pin,
                                    &KSPROPSETID_Topology, &KSPROPSETID_Connection};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t HeaderBytes = 8;
    if (size < HeaderBytes) {
        return 0;
    }
    Rig& rig = TheRig();
    const uint8_t* rest = data + HeaderBytes;
    size_t restBytes = size - HeaderBytes;

    KSP_NODE header = {};
    // A set index past the list takes the set from the instance bytes' first 16, when there are.
    const size_t setIndex = data[1] % (std::size(PropertySets) + 1);
    if (setIndex < std::size(PropertySets)) {
        header.Property.Set = *PropertySets[setIndex];
    } else if (restBytes >= sizeof(GUID)) {
        std::memcpy(&header.Property.Set, rest, sizeof(GUID));
    }
    header.Property.Id = data[2] % 48;
    const uint8_t verbs = data[3];
    header.Property.Flags = ((verbs & 1) ? KSPROPERTY_TYPE_GET : 0) | ((verbs & 2) ? KSPROPERTY_TYPE_SET : 0) |
                            ((verbs & 4) ? KSPROPERTY_TYPE_BASICSUPPORT : 0) |
                            ((verbs & 8) ? KSPROPERTY_TYPE_TOPOLOGY : 0) | ((verbs & 0x10) ? 0x100 : 0);
    header.NodeId = (data[4] == 0xFF) ? 0xFFFFFFFF : data[4] % 16;
    const ULONG valueSize = (data[5] | static_cast<ULONG>(data[6]) << 8) % 512;
    const size_t instanceBytes = std::min<size_t>(data[7] % 32, restBytes);

    // Exactly the client's bytes, on the heap, so that a read past either buffer is caught.
    const bool nodeRequest = (header.Property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    const size_t headerBytes = nodeRequest ? sizeof(KSP_NODE) : sizeof(KSPROPERTY);
    std::vector<uint8_t> input(headerBytes + instanceBytes);
    std::memcpy(input.data(), &header, headerBytes);
    std::memcpy(input.data() + headerBytes, rest, instanceBytes);
    rest += instanceBytes;
    restBytes -= instanceBytes;
    std::unique_ptr<uint8_t[]> value(valueSize != 0 ? new uint8_t[valueSize]() : nullptr);
    if (valueSize != 0) {
        std::memcpy(value.get(), rest, std::min<size_t>(restBytes, valueSize));
    }

    host::KsPropertyBuffers buffers;
    buffers.input = input.data();
    buffers.inputSize = static_cast<ULONG>(input.size());
    buffers.output = value.get();
    buffers.outputSize = valueSize;
    ULONG returned = 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (data[0] % 4) {
    case 0:
        status = rig.topologyFilter->Property(buffers, &returned);
        break;
    case 1:
        status = rig.waveFilter->Property(buffers, &returned);
        break;
    case 2:
        status = rig.render->Pin()->Property(buffers, &returned);
        break;
    default:
        status = rig.capture->Pin()->Property(buffers, &returned);
        break;
    }
    Require(!NT_SUCCESS(status) || returned <= valueSize);
    Require(status != STATUS_BUFFER_OVERFLOW || returned != 0);
    RequireKeptValuesValid(rig);
    for (const std::unique_ptr<host::WaveClient>* client : {&rig.render, &rig.capture}) {
        auto* stream = static_cast<WaveStream*>((*client)->Pin()->MiniportStream());
        RequireTable(stream->ChannelLevels, stream->ChannelGains, -6553600);
        // Each input starts from stopped pins, whatever the last one asked of their state.
        Require((*client)->SetState(KSSTATE_STOP) == STATUS_SUCCESS);
    }
    return 0;
}
