// The saturating mix of converted samples into the mix buffer and the mix buffer's gain stage,
// for every container width.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "conversion_helpers.h"
#include "engine/mix.h"

using namespace conversion_test;

namespace {

struct MixCase {
    ULONG width;
    int64_t mixed;  // sample values as stored (8-bit unsigned, wider ones signed)
    int64_t added;
    int64_t expected;
};

// Mixes the pair at every position of a buffer long enough for both the vector loop and the
// tail, so each code path sees it.
void ExpectMixAtEveryPosition(const MixCase& c)
{
    constexpr size_t Samples = 37;
    WAVEFORMATEXTENSIBLE cable = Pcm(48000, c.width, 1);
    std::vector<UCHAR> destination = Pack(c.width, std::vector<int64_t>(Samples, c.mixed));
    std::vector<UCHAR> source = Pack(c.width, std::vector<int64_t>(Samples, c.added));
    MixIntoBuffer(&cable, destination.data(), source.data(), static_cast<ULONG>(destination.size()));
    EXPECT_EQ(Unpack(c.width, destination), std::vector<int64_t>(Samples, c.expected));
}

}  // namespace

TEST(Mix, AddsAndSaturatesAtBothBoundsOfEveryWidth)
{
    const MixCase cases[] = {
        {1, 0x80, 0x80, 0x80},  // 8-bit silence mixed with itself stays silence
        {1, 0x90, 0x90, 0xA0},
        {1, 0x70, 0x90, 0x80},
        {1, 0xFF, 0xFF, 0xFF},  // positive saturation
        {1, 0x00, 0x00, 0x00},  // negative saturation
        {2, 0x1000, 0x2000, 0x3000},
        {2, -1, 1, 0},
        {2, 0x7000, 0x7000, 0x7FFF},
        {2, -0x7000, -0x7000, -0x8000},  // 0x9000 + 0x9000 gives 0x8000
        {3, 0x100000, 0x234567, 0x334567},
        {3, -5, 3, -2},
        {3, 0x700000, 0x700000, 0x7FFFFF},
        {3, -0x700000, -0x700000, -0x800000},
        {4, 0x10000000, 0x23456789, 0x33456789},
        {4, -7, 2, -5},
        {4, 0x7FFFFFFF, 1, 0x7FFFFFFF},
        {4, -0x7FFFFFFF - 1, -1, -0x7FFFFFFF - 1},
        {4, 0x70000000, 0x70000000, 0x7FFFFFFF},
        {4, -0x70000000, -0x70000000, -0x7FFFFFFF - 1},
    };
    for (const MixCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ": " << c.mixed << " + " << c.added);
        ExpectMixAtEveryPosition(c);
    }
}

TEST(Mix, MatchesPlainSaturatingAdditionOnRandomData)
{
    for (ULONG width = 1; width <= 4; ++width) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        WAVEFORMATEXTENSIBLE cable = Pcm(44100, width, 2);
        std::vector<UCHAR> destination = RandomBytes(width * 2 * 301, 10 + width);
        std::vector<UCHAR> source = RandomBytes(width * 2 * 301, 20 + width);
        std::vector<int64_t> a = Unpack(width, destination);
        std::vector<int64_t> b = Unpack(width, source);
        const int64_t low = (width == 1) ? 0 : -(int64_t(1) << (8 * width - 1));
        const int64_t high = (width == 1) ? 255 : (int64_t(1) << (8 * width - 1)) - 1;
        std::vector<int64_t> expected;
        for (size_t i = 0; i < a.size(); ++i) {
            int64_t sum = (width == 1) ? a[i] + b[i] - 0x80 : a[i] + b[i];
            expected.push_back(std::clamp(sum, low, high));
        }
        MixIntoBuffer(&cable, destination.data(), source.data(), static_cast<ULONG>(destination.size()));
        EXPECT_EQ(Unpack(width, destination), expected);
    }
}

TEST(Mix, TouchesOnlyTheGivenBytes)
{
    WAVEFORMATEXTENSIBLE cable = Pcm(48000, 2, 2);
    std::vector<UCHAR> destination(64, 0x11);
    std::vector<UCHAR> source(64, 0x01);
    MixIntoBuffer(&cable, destination.data(), source.data(), 36);
    EXPECT_EQ(std::vector<UCHAR>(destination.begin(), destination.begin() + 36), std::vector<UCHAR>(36, 0x12));
    EXPECT_EQ(std::vector<UCHAR>(destination.begin() + 36, destination.end()), std::vector<UCHAR>(28, 0x11));
}

namespace {

// Plain models of the two operations, one sample at a time, with the arithmetic written out.
int64_t LowestSample(ULONG width)
{
    return (width == 1) ? 0 : -(int64_t(1) << (8 * width - 1));
}

int64_t HighestSample(ULONG width)
{
    return (width == 1) ? 255 : (int64_t(1) << (8 * width - 1)) - 1;
}

int64_t ModelMix(ULONG width, int64_t mixed, int64_t added)
{
    int64_t sum = (width == 1) ? mixed + added - 0x80 : mixed + added;
    return std::clamp(sum, LowestSample(width), HighestSample(width));
}

// Widen to the top of 32 bits, multiply, divide truncating toward zero, clamp, narrow.
int64_t ModelScale(ULONG width, int64_t sample, ScalePair gain)
{
    const int shift = 32 - 8 * static_cast<int>(width);
    const int64_t wide = ((width == 1) ? sample - 0x80 : sample) * (int64_t(1) << shift);
    int64_t scaled = 0;
    if (gain.Numerator != 0 && gain.Denominator != 0) {
        scaled = static_cast<int64_t>((static_cast<__int128>(wide) * gain.Numerator) / gain.Denominator);
    }
    scaled = std::clamp<int64_t>(scaled, INT32_MIN, INT32_MAX);
    const int64_t narrow = scaled >> shift;  // arithmetic: narrowing rounds toward minus infinity
    return (width == 1) ? narrow + 0x80 : narrow;
}

// Samples spread over the whole range with a good share at and next to both bounds, where the
// saturation and the sign handling live.
class SampleSource {
public:
    explicit SampleSource(uint32_t seed) : generator_(seed) {}

    int64_t Next(ULONG width)
    {
        const int64_t low = LowestSample(width);
        const int64_t high = HighestSample(width);
        const int64_t middle = (width == 1) ? 0x80 : 0;
        switch (generator_() % 8) {
        case 0:
            return low + static_cast<int64_t>(generator_() % 3);
        case 1:
            return high - static_cast<int64_t>(generator_() % 3);
        case 2:
            return middle + static_cast<int64_t>(generator_() % 9) - 4;
        default:
            return low + static_cast<int64_t>(generator_() % static_cast<uint64_t>(high - low + 1));
        }
    }

    uint32_t Below(uint32_t bound) { return generator_() % bound; }

    // A gain of every kind the gain stage tells apart: unity, silence, a whole multiplier, a
    // fraction below unity (small and large denominators, levels from the volume control, near
    // one half) and the wide fractions (numerators of 2^29 and more, denominator 2, above unity).
    ScalePair NextGain()
    {
        switch (Word() % 12) {
        case 0:
            return ScalePair{1, 1};
        case 11:
            // 3 times these lands just past 2^-16 (16-bit) or 2^-24 (8-bit) above a whole number,
            // so narrowing -3 times them depends on the fraction's last bits.
            return (Word() % 2 == 0) ? ScalePair{10923, 2147532799} : ScalePair{1, 50233535};
        case 10: {
            // A hair either side of one half: products of even samples fall within 2^-31 of a
            // whole number or of a power-of-two fraction, where shortcuts lose exactness first.
            ULONG denominator = 0x80000000u >> (Word() % 12);
            return ScalePair{denominator / 2 + Word() % 3 - 1, denominator};
        }
        case 1:
            return (Word() % 2 == 0) ? ScalePair{0, 1 + Word() % 1000} : ScalePair{Word() % 1000, 0};
        case 2:
            return ScalePair{2 + Word() % 4, 1};
        case 3:
            return LevelToScale(-static_cast<LONG>(Word() % (6553 * 1001)));
        case 4: {
            ULONG denominator = 3 + Word() % 0xFFFFFFFC;
            return ScalePair{Word() % std::min<ULONG>(denominator + 1, 1u << 29), denominator};
        }
        case 5: {
            ULONG denominator = 3 + Word() % ((Word() % 2 == 0) ? 14 : 1000);
            return ScalePair{Word() % (denominator + 1), denominator};
        }
        case 6:
            return ScalePair{1, 2};
        case 7: {
            ULONG denominator = 0xFFFFFFFFu - Word() % 16;
            return ScalePair{(1u << 29) + Word() % (denominator - (1u << 29)), denominator};
        }
        case 8: {
            ULONG numerator = Word() | 1u;
            return ScalePair{numerator, numerator};
        }
        default: {
            ULONG denominator = 1 + Word() % 1000;
            return ScalePair{denominator + 1 + Word() % 1000, denominator};
        }
        }
    }

private:
    ULONG Word() { return static_cast<ULONG>(generator_()); }

    std::mt19937 generator_;
};

// Copies bytes into a larger buffer at an offset, with fill bytes around them that must survive.
struct GuardedBuffer {
    static constexpr size_t Guard = 19;
    std::vector<UCHAR> storage;
    size_t offset;

    GuardedBuffer(const std::vector<UCHAR>& bytes, size_t at) : storage(at + bytes.size() + Guard, 0xA5), offset(at)
    {
        std::copy(bytes.begin(), bytes.end(), storage.begin() + static_cast<ptrdiff_t>(at));
    }
    PUCHAR Data() { return storage.data() + offset; }
    std::vector<UCHAR> Bytes(size_t count) const
    {
        return std::vector<UCHAR>(storage.begin() + static_cast<ptrdiff_t>(offset),
                                  storage.begin() + static_cast<ptrdiff_t>(offset + count));
    }
    bool GuardsIntact(size_t count) const
    {
        auto intact = [](UCHAR byte) { return byte == 0xA5; };
        return std::all_of(storage.begin(), storage.begin() + static_cast<ptrdiff_t>(offset), intact) &&
               std::all_of(storage.begin() + static_cast<ptrdiff_t>(offset + count), storage.end(), intact);
    }
};

}  // namespace

TEST(MixAndScale, MatchPlainSampleArithmeticForEveryWidthLayoutAndGainKind)
{
    SampleSource source(20261210);
    for (int round = 0; round < 600; ++round) {
        const ULONG width = 1 + round % 4;
        const ULONG channels = 1 + (round / 4) % 8;
        // Up to a few hundred frames, so every block size of the loops and every tail length occurs.
        const ULONG frames = 1 + source.Below(round % 3 == 0 ? 9 : 211);
        const size_t samples = static_cast<size_t>(frames) * channels;
        const ULONG bytes = static_cast<ULONG>(samples * width);
        SCOPED_TRACE(testing::Message() << "round " << round << ": width " << width << ", " << channels
                                        << " channels, " << frames << " frames");
        WAVEFORMATEXTENSIBLE format = Pcm(48000, width, channels);

        std::vector<int64_t> mixed(samples);
        std::vector<int64_t> added(samples);
        for (size_t i = 0; i < samples; ++i) {
            mixed[i] = source.Next(width);
            added[i] = source.Next(width);
        }
        // Every channel with a gain of its own, or (every other round) all with the same one.
        std::vector<ScalePair> gains(GainTableEntries, source.NextGain());
        if (source.Below(2) == 0) {
            for (ScalePair& gain : gains) {
                gain = source.NextGain();
            }
        }

        GuardedBuffer destination(Pack(width, mixed), source.Below(16));
        GuardedBuffer addend(Pack(width, added), source.Below(16));
        std::vector<int64_t> expectedMix(samples);
        for (size_t i = 0; i < samples; ++i) {
            expectedMix[i] = ModelMix(width, mixed[i], added[i]);
        }
        MixIntoBuffer(&format, destination.Data(), addend.Data(), bytes);
        ASSERT_EQ(Unpack(width, destination.Bytes(bytes)), expectedMix);
        ASSERT_TRUE(destination.GuardsIntact(bytes));
        ASSERT_EQ(Unpack(width, addend.Bytes(bytes)), added);

        GuardedBuffer scaled(Pack(width, mixed), source.Below(16));
        std::vector<int64_t> expectedScale(samples);
        for (size_t i = 0; i < samples; ++i) {
            expectedScale[i] = ModelScale(width, mixed[i], gains[i % channels]);
        }
        ScaleBuffer(scaled.Data(), bytes, &format, gains.data());
        ASSERT_EQ(Unpack(width, scaled.Bytes(bytes)), expectedScale)
            << "gains of channel 0: " << gains[0].Numerator << "/" << gains[0].Denominator;
        ASSERT_TRUE(scaled.GuardsIntact(bytes));
    }
}
