// Volume levels to gains, and gains applied by the converter (rounded) and by the mix buffer's
// gain stage (truncated).
#include <gtest/gtest.h>

#include "conversion_helpers.h"
#include "engine/mix.h"

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
