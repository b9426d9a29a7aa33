// Formats: building them, the converter's acceptance limits, Setup and Reset, ConvertedSize and
// DurationToBytes.
#include <gtest/gtest.h>

#include "conversion_helpers.h"
#include "engine/timing.h"

using namespace conversion_test;

TEST(AudioFormat, DefaultChannelMaskByCount)
{
    const ULONG expected[][2] = {{0, 0}, {1, 0x4}, {2, 0x3}, {3, 0}, {4, 0x33}, {5, 0}, {6, 0x3F}, {7, 0}, {8, 0xFF}, {9, 0}};
    for (const auto& row : expected) {
        EXPECT_EQ(DefaultChannelMask(row[0]), row[1]) << row[0] << " channels";
    }
}

TEST(AudioFormat, BuildExtensibleFormatFillsEveryField)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, 44100, 20, 6, 0, UseDefaultChannelMask);
    EXPECT_EQ(format.Format.wFormatTag, 0xFFFE);
    EXPECT_EQ(format.Format.nChannels, 6);
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.Format.wBitsPerSample, 24);  // whole bytes for 20 valid bits
    EXPECT_EQ(format.Format.nBlockAlign, 18);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, 18u * 44100);
    EXPECT_EQ(format.Format.cbSize, 22);
    EXPECT_EQ(format.Samples.wValidBitsPerSample, 20);
    EXPECT_EQ(format.dwChannelMask, 0x3Fu);
    EXPECT_TRUE(IsEqualGUIDAligned(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    BuildExtensibleFormat(&format, 96000, 24, 2, 4, 0x600);
    EXPECT_EQ(format.Format.wBitsPerSample, 32);  // the container given wins
    EXPECT_EQ(format.Format.nBlockAlign, 8);
    EXPECT_EQ(format.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(format.dwChannelMask, 0x600u);
}

TEST(FormatConverter, SetupRejectsFormatsOutsideTheLimits)
{
    const WAVEFORMATEXTENSIBLE good = Pcm(48000, 2, 2);
    std::vector<WAVEFORMATEXTENSIBLE> bad;
    WAVEFORMATEXTENSIBLE format = good;
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    bad.push_back(format);
    format = good;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    bad.push_back(format);
    bad.push_back(Pcm(7999, 2, 2));
    bad.push_back(Pcm(192001, 2, 2));
    bad.push_back(Pcm(48000, 2, 9));
    format = Pcm(48000, 2, 1);
    format.Format.nChannels = 0;
    bad.push_back(format);
    format = good;
    format.Format.wBitsPerSample = 7;
    bad.push_back(format);
    format = good;
    format.Format.wBitsPerSample = 33;
    bad.push_back(format);
    format = good;
    format.Format.nBlockAlign = 2;  // less than a container per channel
    bad.push_back(format);

    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "bad format " << i);
        FormatConverter converter;
        EXPECT_FALSE(converter.Setup(&bad[i], &good));
        EXPECT_FALSE(converter.Setup(&good, &bad[i]));
        EXPECT_FALSE(converter.IsReady());
    }
}

TEST(FormatConverter, SetupAcceptsTheEdgesOfTheLimits)
{
    const WAVEFORMATEXTENSIBLE edges[] = {Pcm(8000, 1, 1), Pcm(192000, 4, 8), Pcm(11025, 3, 5)};
    for (const auto& from : edges) {
        for (const auto& to : edges) {
            FormatConverter converter;
            EXPECT_TRUE(converter.Setup(&from, &to));
            EXPECT_TRUE(converter.IsReady());
        }
    }
}

TEST(FormatConverter, SetupBuildsTheInternalFormat)
{
    WAVEFORMATEXTENSIBLE from = Pcm(22050, 1, 6);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 2, 2);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    const WAVEFORMATEXTENSIBLE* internal = converter.InternalFormat();
    EXPECT_EQ(internal->Format.nSamplesPerSec, 22050u);
    EXPECT_EQ(internal->Format.wBitsPerSample, 32);
    EXPECT_EQ(internal->Format.nChannels, 6);
    EXPECT_EQ(internal->Format.nBlockAlign, 24);
    EXPECT_EQ(internal->dwChannelMask, 0x3Fu);
}

TEST(FormatConverter, ResetDisarmsAndClearsTheFrameState)
{
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 2, 1);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    const std::vector<UCHAR> source = Pack(2, {100, 200, 300, 400, 500, 600, 700});
    const std::vector<UCHAR> first = ConvertOnce(converter, source, 2 * 100).bytes;

    converter.Reset();
    EXPECT_FALSE(converter.IsReady());
    EXPECT_EQ(converter.SourceFormat()->Format.wFormatTag, 0);
    EXPECT_EQ(converter.DestinationFormat()->Format.wFormatTag, 0);
    Converted idle = ConvertOnce(converter, source, 2 * 100);
    EXPECT_TRUE(idle.bytes.empty());
    EXPECT_EQ(idle.consumed, 0u);

    // Set up again, it starts afresh: the same input gives the same output.
    ASSERT_TRUE(converter.Setup(&from, &to));
    EXPECT_EQ(ConvertOnce(converter, source, 2 * 100).bytes, first);
}

TEST(FormatConverter, NeverWritesAPartialFrameAtTheEndOfTheDestination)
{
    WAVEFORMATEXTENSIBLE from = Pcm(48000, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 3, 2);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    const std::vector<UCHAR> source = RandomBytes(4 * 10, 8);
    std::vector<UCHAR> destination(64, 0xEE);
    ULONG consumed = 0;
    ULONG produced = 0;
    converter.Convert(source.data(), static_cast<ULONG>(source.size()), &consumed, nullptr, destination.data(), 15,
                      &produced);
    EXPECT_EQ(produced, 12u);
    EXPECT_EQ(consumed, 8u);
    EXPECT_EQ(std::vector<UCHAR>(destination.begin() + 12, destination.end()), std::vector<UCHAR>(52, 0xEE));
}

TEST(FormatConverter, ConvertedSizeRoundsUpToWholeFrames)
{
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 3, 1);
    FormatConverter converter;
    EXPECT_EQ(converter.ConvertedSize(1764, true), 0u);  // not set up
    ASSERT_TRUE(converter.Setup(&from, &to));
    struct SizeCase {
        ULONG bytes;
        bool towardDestination;
        ULONG expected;
    };
    const SizeCase cases[] = {
        {1764, true, 1440},  // 441 frames -> 480 frames of 3 bytes
        {4, true, 6},        // 1 frame -> 48000 / 44100 rounded up = 2 frames
        {7, true, 6},        // a partial source frame does not count
        {0, true, 0},
        {1440, false, 1764},  // 480 frames -> 441 frames of 4 bytes
        {3, false, 4},        // 1 frame -> 44100 / 48000 rounded up = 1 frame
        {30, false, 40},      // 10 frames -> 9.1875 rounded up = 10 frames
    };
    for (const SizeCase& c : cases) {
        EXPECT_EQ(converter.ConvertedSize(c.bytes, c.towardDestination), c.expected)
            << c.bytes << " bytes, toward destination " << c.towardDestination;
    }
}

TEST(FormatConverter, ConvertedSizeSaturatesAtWholeFrames)
{
    WAVEFORMATEXTENSIBLE from = Pcm(8000, 1, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(192000, 3, 8);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    EXPECT_EQ(converter.ConvertedSize(0xFFFFFFFF, true), 0xFFFFFFFFu - 0xFFFFFFFFu % 24);
}

TEST(DurationToBytes, RoundsToTheNearestFrameAndNeverToNothing)
{
    struct DurationCase {
        ULONG rate;
        ULONG width;
        ULONG channels;
        ULONG milliseconds;
        ULONG expected;
    };
    const DurationCase cases[] = {
        {44100, 2, 2, 10, 1764},   // 441 frames
        {48000, 2, 2, 20, 3840},
        {44100, 2, 2, 15, 2648},   // 661.5 rounds up to 662 frames
        {44100, 2, 2, 1, 176},     // 44.1 rounds down to 44
        {22050, 3, 1, 1, 66},      // 22.05 -> 22 frames
        {8000, 1, 1, 0, 0},
        {192000, 4, 8, 1000, 6144000},
        {100, 2, 1, 1, 2},         // 0.1 frame: at least one
        {192000, 4, 8, 0xFFFFFFFF, 0xFFFFFFFFu - 0xFFFFFFFFu % 32},
    };
    for (const DurationCase& c : cases) {
        WAVEFORMATEXTENSIBLE format = Pcm(c.rate, c.width, c.channels);
        EXPECT_EQ(DurationToBytes(&format, c.milliseconds), c.expected)
            << c.milliseconds << " ms at " << c.rate << " Hz";
    }
}
