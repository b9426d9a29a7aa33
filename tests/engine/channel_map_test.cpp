// Channel count conversion: the fixed maps for 2->4, 2->1 and 1->2, and the clamped average of
// all source channels for any other pair.
#include <gtest/gtest.h>

#include "conversion_helpers.h"

using namespace conversion_test;

namespace {

struct MapCase {
    ULONG sourceChannels;
    std::vector<int64_t> source;  // one frame of 32-bit samples
    ULONG destinationChannels;
    std::vector<int64_t> expected;
};

constexpr int64_t Min32 = -2147483647LL - 1;
constexpr int64_t Max32 = 2147483647LL;

}  // namespace

TEST(ChannelMap, MapsEachPairAsListed)
{
    const MapCase cases[] = {
        {2, {3, -6}, 1, {-1}},                            // truncated average: -3 / 2 is -1
        {2, {7, 8}, 1, {7}},                              // 15 / 2 is 7
        {2, {Max32, Max32}, 1, {Max32}},                  // the sum is taken in 64 bits
        {1, {-9}, 2, {-9, -9}},
        {2, {5, -5}, 4, {5, -5, 5, -5}},
        {6, {1, 2, 3, 4, 5, 6}, 2, {3, 3}},               // 21 / 6 is 3
        {6, {-1, -2, -3, -4, -5, -6}, 2, {-3, -3}},       // truncation toward zero
        {1, {-77}, 6, {-77, -77, -77, -77, -77, -77}},
        {3, {Min32, Min32, Min32}, 2, {Min32, Min32}},    // averages stay inside the 32-bit range
        {3, {Max32, Max32, Max32}, 5, {Max32, Max32, Max32, Max32, Max32}},
        {4, {10, 20, 30, 41}, 1, {25}},
        {8, {1, 1, 1, 1, 1, 1, 1, -8}, 6, {0, 0, 0, 0, 0, 0}},
        {1, {12}, 4, {12, 12, 12, 12}},
        {4, {1, 2, 3, 4}, 2, {2, 2}},                     // not the 2->4 map backwards: the average
        {8, {8, 7, 6, 5, 4, 3, 2, 1}, 8, {8, 7, 6, 5, 4, 3, 2, 1}},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sourceChannels << " -> " << c.destinationChannels);
        WAVEFORMATEXTENSIBLE from = Pcm(32000, 4, c.sourceChannels);
        WAVEFORMATEXTENSIBLE to = Pcm(32000, 4, c.destinationChannels);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&from, &to));
        Converted result = ConvertOnce(converter, Pack(4, c.source), 4 * 8);
        EXPECT_EQ(Unpack(4, result.bytes), c.expected);
        EXPECT_EQ(result.consumed, 4 * c.sourceChannels);
    }
}

TEST(ChannelMap, StereoToMonoOfSixteenBitSamplesNarrowsTheTruncatedAverage)
{
    // 0x1000 and 0x1001 average to 0x1000.8000 internally, which narrows to 0x1000.
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(44100, 2, 1);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    Converted result = ConvertOnce(converter, Pack(2, {0x1000, 0x1001, -2, -3}), 2 * 4);
    EXPECT_EQ(Unpack(2, result.bytes), (std::vector<int64_t>{0x1000, -3}));
}
