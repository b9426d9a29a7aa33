// Fuzzes what a client can hand the wave filter about formats: the data range it intersects with
// the cable's, and the stream format it asks for, under each "Stream format limiting" mode, with
// and without a cable format, and any output buffer size.
//
// Input: byte 0 picks the limiting mode (modulo 3) and whether a cable format is set (bit 2), byte 1 the cable
// format, bytes 2-3 the intersection's output buffer size; the rest is the client's range, which
// also serves as a stream format. The port hands the miniport a range of FormatSize bytes, so
// FormatSize is cut to the bytes there are.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/audio_format.h"
#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"

namespace {

struct CableFormatCase {
    ULONG rate;
    ULONG validBits;
    ULONG containerBytes;
    ULONG channels;
};

const CableFormatCase CableFormats[] = {
    {44100, 16, 2, 2}, {48000, 24, 3, 6}, {8000, 8, 1, 1}, {192000, 20, 4, 8},
};

WaveMiniport* Filter()
{
    static WaveMiniport* miniport = [] {
        host::ResetPlatform();
        Adapter* adapter = Adapter::Create();
        Cable* cable = Cable::Create(0, adapter);
        WaveMiniport* created = WaveMiniport::Create(cable);
        cable->AttachWaveMiniport(created);
        adapter->AddCable(cable);
        // A configured range narrower than the absolute limits, so that modes 0 and 1 differ.
        FormatLimits ranges = {22050, 96000, 16, 24, 1, 6};
        created->ApplyFormatRanges(&ranges);
        return created;
    }();
    return miniport;
}

// A broken property stops the run with its line, as a crash does.
#define Require(condition)                                                     \
    do {                                                                       \
        if (!(condition)) {                                                    \
            std::fprintf(stderr, "format_fuzz: %s fails (line %d)\n", #condition, __LINE__); \
            std::abort();                                                      \
        }                                                                      \
    } while (false)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    WaveMiniport* miniport = Filter();
    Require(miniport->ApplyFormatLimiting(3) == STATUS_INVALID_PARAMETER);
    Require(miniport->ApplyFormatLimiting(data[0] % 3) == STATUS_SUCCESS);
    RtlZeroMemory(&miniport->CableFormat, sizeof(miniport->CableFormat));
    if (data[0] & 4) {
        const CableFormatCase& cable = CableFormats[data[1] % ARRAYSIZE(CableFormats)];
        BuildExtensibleFormat(&miniport->CableFormat, cable.rate, cable.validBits, cable.channels,
                              cable.containerBytes, UseDefaultChannelMask);
    }
    ULONG outputBytes = data[2] | (static_cast<ULONG>(data[3] & 1) << 8);

    // Exactly the client's bytes, on the heap, so that a read past them is caught.
    std::vector<uint8_t> range(data + 4, data + size);
    if (range.size() >= sizeof(ULONG)) {
        ULONG formatSize;
        std::memcpy(&formatSize, range.data(), sizeof(formatSize));
        if (formatSize > range.size()) {
            formatSize = static_cast<ULONG>(range.size());
            std::memcpy(range.data(), &formatSize, sizeof(formatSize));
        }
    }
    if (range.size() < sizeof(KSDATARANGE)) {
        return 0;
    }
    auto* clientRange = reinterpret_cast<PKSDATARANGE>(range.data());

    std::vector<uint8_t> output(outputBytes);
    ULONG resultBytes = 0xDEADBEEF;
    NTSTATUS status = miniport->DataRangeIntersection(WaveRenderPin, clientRange, nullptr, outputBytes,
                                                      output.data(), &resultBytes);
    if (NT_SUCCESS(status)) {
        // The proposal is a format the cable accepts now.
        Require(resultBytes == IntersectionFormatBytes);
        WAVEFORMATEXTENSIBLE proposed;
        Require(NT_SUCCESS(ParseDataFormat(reinterpret_cast<const KSDATAFORMAT*>(output.data()), &proposed)));
        Require(NT_SUCCESS(miniport->ValidateFormat(&proposed)));
    } else {
        Require(status == STATUS_NO_MATCH || status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW);
        Require(status != STATUS_BUFFER_OVERFLOW || resultBytes == IntersectionFormatBytes);
    }

    WAVEFORMATEXTENSIBLE format;
    if (NT_SUCCESS(ParseDataFormat(clientRange, &format))) {
        status = miniport->ValidateFormat(&format);
        Require(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER);
    }
    Require(host::TakeViolations().empty());
    return 0;
}
