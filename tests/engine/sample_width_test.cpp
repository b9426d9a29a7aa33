// Container width conversion at equal rate and channel count: widening to the internal sample
// and narrowing back, as the sample table lays them out.
#include <gtest/gtest.h>

#include "conversion_helpers.h"

using namespace conversion_test;

namespace {

struct WidthCase {
    ULONG sourceWidth;
    std::vector<UCHAR> source;
    ULONG destinationWidth;
    std::vector<UCHAR> expected;
};

std::vector<UCHAR> ConvertMono(ULONG sourceWidth, const std::vector<UCHAR>& source, ULONG destinationWidth)
{
    WAVEFORMATEXTENSIBLE from = Pcm(48000, sourceWidth, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, destinationWidth, 1);
    FormatConverter converter;
    EXPECT_TRUE(converter.Setup(&from, &to));
    Converted result = ConvertOnce(converter, source, 64);
    EXPECT_EQ(result.consumed, source.size());
    return result.bytes;
}

}  // namespace

TEST(SampleWidth, WidensAndNarrowsEachContainerAsListed)
{
    const WidthCase cases[] = {
        {2, {0x34, 0x12}, 1, {0x92}},                    // 0x1234 -> 0x92
        {2, {0x34, 0x12}, 3, {0x00, 0x34, 0x12}},        // 0x1234 -> bytes 00 34 12
        {2, {0x34, 0x12}, 4, {0x00, 0x00, 0x34, 0x12}},  // 0x1234 -> 0x12340000
        {1, {0x92}, 2, {0x00, 0x12}},                    // 0x92 -> 0x1200
        {2, {0xFF, 0xFF}, 1, {0x7F}},                    // 0xFFFF (-1) -> 0x7F: narrowing truncates downward
        {1, {0x80}, 4, {0x00, 0x00, 0x00, 0x00}},        // 8-bit silence is internal zero
        {1, {0x00}, 2, {0x00, 0x80}},                    // 8-bit minimum -> 0x8000
        {3, {0x56, 0x34, 0x12}, 4, {0x00, 0x56, 0x34, 0x12}},
        {3, {0x56, 0x34, 0x12}, 2, {0x34, 0x12}},
        {4, {0x78, 0x56, 0x34, 0x12}, 3, {0x56, 0x34, 0x12}},
        {4, {0xFF, 0xFF, 0xFF, 0xFF}, 2, {0xFF, 0xFF}},  // -1 -> -1 (arithmetic shift)
        {4, {0x00, 0x00, 0x00, 0x80}, 1, {0x00}},        // the minimum stays the minimum
        {4, {0xFF, 0xFF, 0xFF, 0x7F}, 1, {0xFF}},        // the maximum stays the maximum
    };
    for (const WidthCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sourceWidth << " -> " << c.destinationWidth << " bytes");
        EXPECT_EQ(ConvertMono(c.sourceWidth, c.source, c.destinationWidth), c.expected);
    }
}

TEST(SampleWidth, EqualFormatsWithoutGainsAreCopiedByteForByte)
{
    WAVEFORMATEXTENSIBLE format = Pcm(44100, 3, 2);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&format, &format));
    std::vector<UCHAR> source = RandomBytes(6 * 100, 1);
    Converted result = ConvertOnce(converter, source, 6 * 60);
    EXPECT_EQ(result.consumed, 6u * 60);
    EXPECT_EQ(result.bytes, std::vector<UCHAR>(source.begin(), source.begin() + 6 * 60));
}

TEST(SampleWidth, EqualFormatsWithUnityGainsReproduceTheInput)
{
    // The gains bypass the plain copy; (s * 1 + 0) / 1 is s, and every frame comes out at once,
    // the last one too.
    WAVEFORMATEXTENSIBLE format = Pcm(48000, 2, 2);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&format, &format));
    ScalePair unity[GainTableEntries];
    for (ScalePair& pair : unity) {
        pair = ScalePair{1, 1};
    }
    std::vector<UCHAR> source = RandomBytes(4 * 50, 2);
    Converted result = ConvertOnce(converter, source, 4 * 100, unity);
    EXPECT_EQ(result.consumed, 4u * 50);
    EXPECT_EQ(result.bytes, source);
}
