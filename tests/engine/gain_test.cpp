// Volume levels to gains, and gains applied by the converter (rounded) and by the mix buffer's
// gain stage (truncated).
#include <gtest/gtest.h>

#include "conversion_helpers.h"
#include "engine/mix.h"
#include "reference_converter.h"

using namespace conversion_test;

namespace {

void ExpectPair(ScalePair actual, ULONG numerator, ULONG denominator)
{
    EXPECT_EQ(actual.Numerator, numerator);
    EXPECT_EQ(actual.Denominator, denominator);
}

std::vector<ScalePair> Gains(ScalePair pair)
{
    return std::vector<ScalePair>(GainTableEntries, pair);
}

}  // namespace

TEST(LevelToScale, ConvertsLevelsAsListed)
{
    struct LevelCase {
        LONG level;
        ULONG numerator;
        ULONG denominator;
    };
    const LevelCase cases[] = {
        {-6553600, 16384, 1666303410},   // -100 dB
        {0, 1, 1},
        {-1, 1, 1},
        {-6552, 1, 1},                   // less than one step
        {-6553, 16384, 16574},           // one step
        {-6553 * 2, 16384, 16766},       // (16574 * 16574 + 8192) >> 14
        {-6553 * 1001, 16384, 1666303410},  // at most 1000 steps
        {-2147483647 - 1, 0, 1},         // the minimum level is silence
        {6553, 16574, 16384},            // positive levels give the inverse pair
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level);
        ExpectPair(LevelToScale(c.level), c.numerator, c.denominator);
    }
}

TEST(ConverterGain, RoundsHalfUpBeforeTruncatingTowardZero)
{
    // (s * n + d / 2) / d with truncation toward zero, on 32-bit samples so nothing narrows.
    struct GainCase {
        ScalePair gain;
        int64_t sample;
        int64_t expected;
    };
    const GainCase cases[] = {
        {{1, 2}, 3, 2},   {{1, 2}, -3, -1},  {{1, 2}, 5, 3},   {{1, 2}, -5, -2},
        {{1, 2}, 1, 1},   {{1, 2}, -1, 0},   {{2, 2}, -3, -2}, {{2, 2}, 3, 3},
        {{1, 3}, 2, 1},   {{1, 3}, -2, 0},   {{0, 1}, 12345, 0},
        {{16384, 1666303410}, 2147483647, 21115},
        {{16384, 1666303410}, -2147483647 - 1, -21114},
        {{3, 1}, 0x40000000, 2147483647},  // above unity: saturates instead of wrapping
    };
    for (const GainCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample << " * " << c.gain.Numerator << "/" << c.gain.Denominator);
        WAVEFORMATEXTENSIBLE format = Pcm(48000, 4, 1);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&format, &format));
        std::vector<ScalePair> gains = Gains(c.gain);
        Converted result = ConvertOnce(converter, Pack(4, {c.sample}), 4 * 4, gains.data());
        EXPECT_EQ(Unpack(4, result.bytes), std::vector<int64_t>{c.expected});
    }
}

TEST(ConverterGain, AppliesEachChannelsOwnGain)
{
    WAVEFORMATEXTENSIBLE from = Pcm(48000, 4, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 4, 4);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    std::vector<ScalePair> gains = Gains(ScalePair{1, 1});
    gains[0] = ScalePair{1, 4};
    gains[1] = ScalePair{0, 1};
    Converted result = ConvertOnce(converter, Pack(4, {1000, 1000, 2000, 2000}), 4 * 4 * 4, gains.data());
    EXPECT_EQ(Unpack(4, result.bytes), (std::vector<int64_t>{250, 0, 250, 0, 500, 0, 500, 0}));
}

TEST(ScaleBuffer, TruncatesTowardZeroWithoutRounding)
{
    struct ScaleCase {
        ULONG width;
        ScalePair gain;
        int64_t sample;  // as stored
        int64_t expected;
    };
    const ScaleCase cases[] = {
        {4, {1, 2}, 3, 1},
        {4, {1, 2}, -3, -1},
        {4, {2, 3}, -7, -4},
        {4, {5, 5}, -7, -7},
        {2, {1, 2}, 3, 1},          // 0x30000 / 2 = 0x18000, narrowed to 1
        {2, {1, 2}, -3, -2},        // -0x18000 narrows downward to -2
        {2, {16384, 18390}, 0x7FFF, 0x7208},
        {3, {1, 4}, -0x800000, -0x200000},
        {1, {1, 2}, 0xFF, 0xBF},    // 0x7F000000 / 2 = 0x3F800000 -> 0x3F + 0x80
        {1, {1, 2}, 0x00, 0x40},    // -0x80000000 / 2 -> -0x40 + 0x80
        {1, {0, 1}, 0x12, 0x80},    // silence of an 8-bit buffer is 0x80
        {2, {0, 0}, 0x1234, 0},     // a zero denominator silences instead of dividing by zero
        {2, {2, 1}, 0x6000, 0x7FFF},  // above unity: saturates instead of wrapping
    };
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ": " << c.sample << " * " << c.gain.Numerator
                                        << "/" << c.gain.Denominator);
        WAVEFORMATEXTENSIBLE format = Pcm(48000, c.width, 2);
        std::vector<UCHAR> buffer = Pack(c.width, {c.sample, c.sample, c.sample, c.sample});
        std::vector<ScalePair> gains = Gains(c.gain);
        ScaleBuffer(buffer.data(), static_cast<ULONG>(buffer.size()), &format, gains.data());
        EXPECT_EQ(Unpack(c.width, buffer), std::vector<int64_t>(4, c.expected));
    }
}

TEST(ScaleBuffer, ScalesEachChannelByItsOwnPair)
{
    WAVEFORMATEXTENSIBLE format = Pcm(48000, 2, 3);
    std::vector<UCHAR> buffer = Pack(2, {100, 100, 100, -100, -100, -100});
    std::vector<ScalePair> gains = Gains(ScalePair{1, 1});
    gains[0] = ScalePair{1, 2};
    gains[2] = ScalePair{0, 1};
    ScaleBuffer(buffer.data(), static_cast<ULONG>(buffer.size()), &format, gains.data());
    EXPECT_EQ(Unpack(2, buffer), (std::vector<int64_t>{50, 100, 0, -50, -100, 0}));
}

namespace {

ULONG Below(std::mt19937& random, ULONG bound)
{
    return static_cast<ULONG>(random() % bound);
}

// A gain of the given kind (ChannelGain's), drawn at random: pairs from volume levels and
// arbitrary fractions at or below unity for the scales, pairs above unity that must saturate.
ScalePair RandomGainOfKind(ChannelGain::Kind kind, std::mt19937& random)
{
    switch (kind) {
    case ChannelGain::Unity:
        return ScalePair{1, 1};
    case ChannelGain::Silence:
        return (random() % 2 == 0) ? ScalePair{0, 1 + Below(random, 100000)} : ScalePair{Below(random, 0xFFFFFFFFu), 0};
    case ChannelGain::Multiply:
        return ScalePair{2 + Below(random, 5), 1};
    case ChannelGain::Scale:
        switch (random() % 4) {
        case 0:
            return LevelToScale(-static_cast<LONG>(random() % (6553 * 1001)) - 6553);
        case 1: {
            // Halves and unity as fractions, and small denominators: scaled samples right at the
            // steps of the narrowing, and quotients that come out whole.
            const ULONG part = 2 + Below(random, 1000);
            switch (random() % 3) {
            case 0: return ScalePair{part, 2 * part};
            case 1: return ScalePair{part + 1, part + 1};
            default: return ScalePair{1 + Below(random, 6), 7};
            }
        }
        default: {
            ULONG denominator = 3 + Below(random, 0xFFFFFFF0u);
            ULONG numerator = 1 + Below(random, (denominator < (1u << 29)) ? denominator : (1u << 29) - 1);
            return ScalePair{numerator, denominator};
        }
        }
    default:
        switch (random() % 3) {
        case 0:
            return ScalePair{1 + Below(random, 2), 2};  // a denominator of 2
        case 1:
            return LevelToScale(static_cast<LONG>(6553 + random() % (6553 * 200)));  // above unity
        default:
            return ScalePair{0x20000000u + Below(random, 0x5FFFFFFFu), 0x80000000u + Below(random, 0x7FFFFFFFu)};
        }
    }
}

// Samples for a width (as stored), in runs: full-scale noise, digital silence, values around
// zero, the extremes, and one value held.
std::vector<UCHAR> GainTestSignal(size_t frames, ULONG width, ULONG channels, std::mt19937& random)
{
    const int64_t low = (width == 1) ? 0 : -(int64_t(1) << (8 * width - 1));
    const int64_t high = (width == 1) ? 255 : (int64_t(1) << (8 * width - 1)) - 1;
    const int64_t zero = (width == 1) ? 128 : 0;
    std::vector<int64_t> samples;
    while (samples.size() < frames * channels) {
        const unsigned kind = random() % 5;
        const size_t run = 1 + random() % 64;
        const int64_t held = low + static_cast<int64_t>(random() % uint64_t(high - low + 1));
        for (size_t i = 0; i < run * channels; ++i) {
            switch (kind) {
            case 0: samples.push_back(low + static_cast<int64_t>(random() % uint64_t(high - low + 1))); break;
            case 1: samples.push_back(zero); break;
            case 2: samples.push_back(zero + static_cast<int64_t>(random() % 5) - 2); break;
            case 3: samples.push_back((random() % 2 == 0) ? low : high); break;
            default: samples.push_back(held); break;
            }
        }
    }
    samples.resize(frames * channels);
    return Pack(width, samples);
}

}  // namespace

// The converter with a gain table against the literal arithmetic, byte for byte: random formats
// (16-bit ones and the interpolating rates most often), tables mixing every kind of gain, and
// sources and destinations split at random points, as a stream's caller feeds them.
TEST(ConverterGain, MatchesTheLiteralArithmeticForRandomFormatsGainsAndSplits)
{
    const ULONG rates[] = {8000, 11025, 22050, 32000, 44100, 48000, 88200, 96000, 192000, 32767, 65535};
    const ULONG widths[] = {2, 2, 2, 1, 3, 4};
    const ULONG channelCounts[] = {1, 2, 2, 1, 2, 4, 6, 8, 3};
    std::mt19937 random(20261210);
    for (int round = 0; round < 600; ++round) {
        const ULONG sourceRate = rates[random() % std::size(rates)];
        ULONG destinationRate = rates[random() % std::size(rates)];
        if (random() % 4 == 0) {
            destinationRate = sourceRate / (1 + random() % 4);  // equal rates and whole ratios
            destinationRate = (destinationRate < 8000) ? sourceRate : destinationRate;
        }
        // Half the rounds from 16-bit frames of one or two channels into 16-bit (sometimes 24-bit)
        // ones, the shapes that have loops of their own; the others anything.
        const bool plain16 = random() % 2 == 0;
        const ULONG sourceWidth = plain16 ? 2 : widths[random() % std::size(widths)];
        const ULONG destinationWidth = plain16 ? ((random() % 4 == 0) ? 3 : 2)
                                       : (random() % 2 == 0) ? sourceWidth
                                                             : widths[random() % std::size(widths)];
        const ULONG sourceChannels = plain16 ? 1 + random() % 2 : channelCounts[random() % std::size(channelCounts)];
        const ULONG destinationChannels = plain16 ? ((random() % 3 == 0) ? 1 : sourceChannels)
                                          : (random() % 2 == 0) ? sourceChannels
                                                                : channelCounts[random() % std::size(channelCounts)];
        ScalePair gains[GainTableEntries];
        const auto shared = static_cast<ChannelGain::Kind>(random() % 5);
        for (ScalePair& gain : gains) {
            // Mostly one kind on every channel, as a volume control sets it; sometimes a mixture.
            gain = RandomGainOfKind((random() % 3 == 0) ? static_cast<ChannelGain::Kind>(random() % 5) : shared,
                                    random);
        }
        if (plain16 && random() % 4 == 0) {
            // (a n + 3) / 6 for a 16-bit sample a: whole quotients for many samples, some at the
            // steps of the narrowing to 24 bits.
            for (ScalePair& gain : gains) {
                gain = ScalePair{1 + Below(random, 5), 3u << 17};
            }
        }
        SCOPED_TRACE(testing::Message() << "round " << round << ": " << sourceRate << "/" << sourceWidth << "/"
                                        << sourceChannels << " -> " << destinationRate << "/" << destinationWidth
                                        << "/" << destinationChannels << ", gain 0 " << gains[0].Numerator << "/"
                                        << gains[0].Denominator);

        WAVEFORMATEXTENSIBLE from = Pcm(sourceRate, sourceWidth, sourceChannels);
        WAVEFORMATEXTENSIBLE to = Pcm(destinationRate, destinationWidth, destinationChannels);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&from, &to));
        ReferenceConverter reference(sourceRate, sourceWidth, sourceChannels, destinationRate, destinationWidth,
                                     destinationChannels);
        const ULONG sourceFrame = sourceWidth * sourceChannels;
        const ULONG destinationFrame = destinationWidth * destinationChannels;
        const std::vector<UCHAR> source = GainTestSignal(1 + random() % (plain16 ? 30000 : 3000), sourceWidth, sourceChannels, random);
        const ULONG maxPiece = (random() % 2 == 0) ? 5 : 1200;
        std::vector<UCHAR> pending;
        size_t offset = 0;
        for (int call = 0; call < 60 || (offset < source.size() && call < 2000); ++call) {
            const size_t piece = std::min<size_t>((random() % (maxPiece + 1)) * sourceFrame, source.size() - offset);
            pending.insert(pending.end(), source.begin() + offset, source.begin() + offset + piece);
            offset += piece;
            const ULONG room = (random() % (2 * maxPiece + 1)) * destinationFrame;
            ULONG expectedConsumed = 0;
            const std::vector<UCHAR> expected = reference.Convert(pending, room, &expectedConsumed, gains);
            Converted actual = ConvertOnce(converter, pending, room, gains);
            ASSERT_EQ(actual.bytes, expected) << "call " << call;
            ASSERT_EQ(actual.consumed, expectedConsumed) << "call " << call;
            pending.erase(pending.begin(), pending.begin() + actual.consumed);
        }
    }
}
