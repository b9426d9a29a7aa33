// Which connection formats a client may open a stream with, and what the stream keeps of them:
// the format block's header and specifiers, the wave format's consistency, the cable's limits in
// each limiting mode, and the channel mask of a plain PCM format. Every case opens a pin through
// the stand-in port, as an application does.
#include <cstring>

#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

// A GUID no format uses.
const GUID UnknownGuid = {0x0badf00d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};

enum class Specifier { WaveFormatEx, DirectSound, Unknown };

// A connection format laid out by hand: the 64-byte KSDATAFORMAT header, the 8-byte buffer
// description for the DirectSound specifier (filled with 0xFF, so a wave format read from there
// is nonsense), then `waveBytes` of the wave format. formatSizeDelta adjusts FormatSize only.
std::vector<uint8_t> ConnectionFormat(const void* wave, size_t waveBytes, Specifier specifier = Specifier::WaveFormatEx,
                                      const GUID& major = KSDATAFORMAT_TYPE_AUDIO,
                                      const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM, int formatSizeDelta = 0)
{
    const size_t description = (specifier == Specifier::DirectSound) ? 8 : 0;
    std::vector<uint8_t> bytes(64 + description + waveBytes, 0xFF);
    KSDATAFORMAT header = {};
    header.FormatSize = static_cast<ULONG>(bytes.size() + formatSizeDelta);
    header.MajorFormat = major;
    header.SubFormat = sub;
    header.Specifier = (specifier == Specifier::WaveFormatEx)  ? KSDATAFORMAT_SPECIFIER_WAVEFORMATEX
                       : (specifier == Specifier::DirectSound) ? KSDATAFORMAT_SPECIFIER_DSOUND
                                                               : UnknownGuid;
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + 64 + description, wave, waveBytes);
    return bytes;
}

// A plain WAVEFORMATEX (cbSize 0) with its fields written out.
WAVEFORMATEX Plain(WORD tag, ULONG rate, WORD bits, WORD channels, WORD blockAlign, ULONG bytesPerSecond)
{
    WAVEFORMATEX wave = {};
    wave.wFormatTag = tag;
    wave.nChannels = channels;
    wave.nSamplesPerSec = rate;
    wave.nAvgBytesPerSec = bytesPerSecond;
    wave.nBlockAlign = blockAlign;
    wave.wBitsPerSample = bits;
    wave.cbSize = 0;
    return wave;
}

WAVEFORMATEXTENSIBLE Extensible(ULONG rate, WORD bits, WORD validBits, WORD channels, WORD blockAlign,
                                ULONG bytesPerSecond, ULONG mask, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM,
                                WORD tag = WAVE_FORMAT_EXTENSIBLE)
{
    WAVEFORMATEXTENSIBLE format = {};
    format.Format = Plain(tag, rate, bits, channels, blockAlign, bytesPerSecond);
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = validBits;
    format.dwChannelMask = mask;
    format.SubFormat = sub;
    return format;
}

std::vector<uint8_t> Bytes(const WAVEFORMATEX& wave, Specifier specifier = Specifier::WaveFormatEx,
                           int formatSizeDelta = 0)
{
    return ConnectionFormat(&wave, sizeof(wave), specifier, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                            formatSizeDelta);
}

std::vector<uint8_t> Bytes(const WAVEFORMATEXTENSIBLE& format, Specifier specifier = Specifier::WaveFormatEx,
                           int formatSizeDelta = 0)
{
    return ConnectionFormat(&format, sizeof(format), specifier, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                            formatSizeDelta);
}

class StreamFormatCasesTest : public StreamTest {
protected:
    const WAVEFORMATEXTENSIBLE& StoredFormat(host::WaveClient* client)
    {
        return static_cast<WaveStream*>(client->Pin()->MiniportStream())->Format;
    }
};

}  // namespace

TEST_F(StreamFormatCasesTest, AcceptedFormatsAreKeptAsExtensiblePcm)
{
    const WAVEFORMATEX cd = Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400);
    struct Case {
        const char* name;
        std::vector<uint8_t> format;
        // What the stream keeps: tag 0xFFFE and cbSize 22 always, and these.
        ULONG rate;
        WORD bits, validBits, channels;
        ULONG mask;
    };
    const Case cases[] = {
        {"WAVEFORMATEX specifier, FormatSize exactly 82", Bytes(cd), 44100, 16, 16, 2, 0x3},
        {"DirectSound specifier, FormatSize exactly 90", Bytes(cd, Specifier::DirectSound), 44100, 16, 16, 2, 0x3},
        {"DirectSound specifier with an extensible format",
         Bytes(Extensible(96000, 24, 20, 2, 6, 576000, 0x600), Specifier::DirectSound), 96000, 24, 20, 2, 0x600},
        {"cbSize 22 with any tag", Bytes(Extensible(48000, 16, 16, 2, 4, 192000, 0x3, KSDATAFORMAT_SUBTYPE_PCM, 0x1234)),
         48000, 16, 16, 2, 0x3},
        {"24 valid bits in a 32-bit container", Bytes(Extensible(48000, 32, 24, 2, 8, 384000, 0x3)), 48000, 32, 24,
         2, 0x3},
        {"8-bit mono at the lowest rate", Bytes(Plain(WAVE_FORMAT_PCM, 8000, 8, 1, 1, 8000)), 8000, 8, 8, 1, 0x4},
        // A plain PCM format gets the default speaker mask of its channel count.
        {"plain PCM, 4 channels", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 4, 8, 384000)), 48000, 16, 16, 4, 0x33},
        {"plain PCM, 6 channels", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 6, 12, 576000)), 48000, 16, 16, 6, 0x3F},
        {"plain PCM, 8 channels", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 8, 16, 768000)), 48000, 16, 16, 8, 0xFF},
        {"plain PCM, 3 channels (no default mask)", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 3, 6, 288000)), 48000, 16,
         16, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::WaveClient* client = nullptr;
        ASSERT_EQ(TryOpen(false, c.format, &client), STATUS_SUCCESS);
        const WAVEFORMATEXTENSIBLE& kept = StoredFormat(client);
        EXPECT_EQ(kept.Format.wFormatTag, 0xFFFE);
        EXPECT_EQ(kept.Format.cbSize, 22);
        EXPECT_EQ(kept.Format.nSamplesPerSec, c.rate);
        EXPECT_EQ(kept.Format.wBitsPerSample, c.bits);
        EXPECT_EQ(kept.Samples.wValidBitsPerSample, c.validBits);
        EXPECT_EQ(kept.Format.nChannels, c.channels);
        EXPECT_EQ(kept.dwChannelMask, c.mask);
        EXPECT_TRUE(IsEqualGUIDAligned(kept.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        Close(client);
    }
    EXPECT_EQ(adapter->LiveStreams, 0);
}

TEST_F(StreamFormatCasesTest, RefusedFormatsOpenNoStreamAndLeaveNoneBehind)
{
    const WAVEFORMATEX cd = Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400);
    const WAVEFORMATEXTENSIBLE stereo = Extensible(48000, 16, 16, 2, 4, 192000, 0x3);
    struct Case {
        const char* name;
        std::vector<uint8_t> format;
    };
    const Case cases[] = {
        {"major format not audio", ConnectionFormat(&cd, sizeof(cd), Specifier::WaveFormatEx, UnknownGuid)},
        {"header subformat not PCM",
         ConnectionFormat(&cd, sizeof(cd), Specifier::WaveFormatEx, KSDATAFORMAT_TYPE_AUDIO,
                          KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)},
        {"unknown specifier", Bytes(cd, Specifier::Unknown)},
        {"WAVEFORMATEX specifier, FormatSize 81", Bytes(cd, Specifier::WaveFormatEx, -1)},
        {"DirectSound specifier, FormatSize 89", Bytes(cd, Specifier::DirectSound, -1)},
        {"cbSize 0 with the float tag", Bytes(Plain(WAVE_FORMAT_IEEE_FLOAT, 44100, 16, 2, 4, 176400))},
        {"cbSize 2", [&] {
             WAVEFORMATEX odd = cd;
             odd.cbSize = 2;
             return Bytes(odd);
         }()},
        {"extensible cut short of its extension", Bytes(stereo, Specifier::WaveFormatEx, -22)},
        {"extension subformat float", Bytes(Extensible(48000, 32, 32, 2, 8, 384000, 0x3, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))},
        {"no valid bits", Bytes(Extensible(48000, 16, 0, 2, 4, 192000, 0x3))},
        {"byte rate one above block align times rate", Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176401))},
        {"byte rate one below", Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176399))},
        {"block align of one channel", Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 2, 88200))},
        {"24 valid bits in a 16-bit container", Bytes(Extensible(48000, 16, 24, 2, 4, 192000, 0x3))},
        {"rate 7999", Bytes(Plain(WAVE_FORMAT_PCM, 7999, 16, 2, 4, 31996))},
        {"rate 192001", Bytes(Plain(WAVE_FORMAT_PCM, 192001, 16, 2, 4, 768004))},
        {"9 channels", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 9, 18, 864000))},
        {"no channels", Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 0, 0, 0))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::WaveClient* client = nullptr;
        EXPECT_EQ(TryOpen(false, c.format, &client), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(adapter->LiveStreams, 0) << "a refused stream is destroyed at once";
    }
}

TEST_F(StreamFormatCasesTest, EachLimitingModeHoldsASecondStreamToItsLimits)
{
    // The first client fixes the cable format, 48000 Hz 16-bit stereo, when it starts (or not);
    // it pauses, so that closing it steps it back through ACQUIRE, which gives the engine back.
    const WAVEFORMATEX cable = Plain(WAVE_FORMAT_PCM, 48000, 16, 2, 4, 192000);
    struct Case {
        const char* name;
        ULONG mode;
        bool cableStarted;
        ULONG maxRate, minBits, maxBits;  // the cable's own limits (mode 1, and mode 2 without a cable format)
        std::vector<uint8_t> second;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"mode 2: the cable's format", 2, true, 192000, 8, 32, Bytes(cable), STATUS_SUCCESS},
        {"mode 2: another rate", 2, true, 192000, 8, 32, Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400)),
         STATUS_INVALID_PARAMETER},
        {"mode 2: another width", 2, true, 192000, 8, 32, Bytes(Plain(WAVE_FORMAT_PCM, 48000, 8, 2, 2, 96000)),
         STATUS_INVALID_PARAMETER},
        {"mode 2: another channel count", 2, true, 192000, 8, 32, Bytes(Plain(WAVE_FORMAT_PCM, 48000, 16, 1, 2, 96000)),
         STATUS_INVALID_PARAMETER},
        {"mode 2 before the cable has a format", 2, false, 192000, 8, 32,
         Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400)), STATUS_SUCCESS},
        {"mode 1: another rate within the limits", 1, true, 192000, 8, 32,
         Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400)), STATUS_SUCCESS},
        {"mode 1: above the cable's highest rate", 1, true, 48000, 8, 32,
         Bytes(Plain(WAVE_FORMAT_PCM, 96000, 16, 2, 4, 384000)), STATUS_INVALID_PARAMETER},
        {"mode 0: the cable's own rate limit does not apply", 0, true, 48000, 8, 32,
         Bytes(Plain(WAVE_FORMAT_PCM, 96000, 16, 2, 4, 384000)), STATUS_SUCCESS},
        {"mode 1: below the cable's fewest bits", 1, true, 192000, 16, 32,
         Bytes(Plain(WAVE_FORMAT_PCM, 48000, 8, 2, 2, 96000)), STATUS_INVALID_PARAMETER},
        {"mode 1: 24 valid bits of 32 within 24-bit limits", 1, true, 192000, 8, 24,
         Bytes(Extensible(48000, 32, 24, 2, 8, 384000, 0x3)), STATUS_SUCCESS},
        {"mode 1: 32 valid bits above 24-bit limits", 1, true, 192000, 8, 24,
         Bytes(Extensible(48000, 32, 32, 2, 8, 384000, 0x3)), STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        miniport->FormatLimiting = 1;
        miniport->MaxSampleRate = 192000;
        miniport->MinBitsPerSample = 8;
        miniport->MaxBitsPerSample = 32;
        host::WaveClient* first = Open(true, Bytes(cable));
        ASSERT_NE(first, nullptr);
        if (c.cableStarted) {
            ASSERT_EQ(first->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        ASSERT_EQ(miniport->CableFormat.Format.wFormatTag, c.cableStarted ? 0xFFFE : 0);
        miniport->FormatLimiting = c.mode;
        miniport->MaxSampleRate = c.maxRate;
        miniport->MinBitsPerSample = c.minBits;
        miniport->MaxBitsPerSample = c.maxBits;

        host::WaveClient* second = nullptr;
        EXPECT_EQ(TryOpen(false, c.second, &second), c.expected);

        clients.clear();
        EXPECT_EQ(adapter->LiveStreams, 0);
        EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0) << "the engine went with the last stream";
    }
}

TEST_F(StreamFormatCasesTest, ARefusedFormatWhoseOldOneNoLongerFitsLeavesTheStreamWithoutAFormat)
{
    host::WaveClient* client = Open(false, Bytes(Plain(WAVE_FORMAT_PCM, 44100, 16, 2, 4, 176400)));
    ASSERT_NE(client, nullptr);
    miniport->MaxSampleRate = 22050;  // the stream's own rate is now out of bounds too

    EXPECT_EQ(client->SetFormat(Bytes(Plain(WAVE_FORMAT_PCM, 96000, 16, 2, 4, 384000))), STATUS_INVALID_PARAMETER);

    auto* stream = static_cast<WaveStream*>(client->Pin()->MiniportStream());
    EXPECT_EQ(stream->Format.Format.wFormatTag, 0);
    EXPECT_EQ(stream->LowWatermark, 4096u);
    EXPECT_EQ(stream->HighWatermark, 32768u);
    EXPECT_EQ(client->SetState(KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(miniport->EngineUsers, 0u);
}
