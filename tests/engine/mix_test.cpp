// The saturating mix of converted samples into the mix buffer, for every container width.
#include <gtest/gtest.h>

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
