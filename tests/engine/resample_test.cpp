// Sample rate conversion: linear interpolation when upsampling or downsampling by a non-whole
// ratio, every k-th frame for a whole ratio, and seamless continuation across calls.
#include <gtest/gtest.h>

#include "conversion_helpers.h"
#include "reference_converter.h"

using namespace conversion_test;

namespace {

std::vector<int64_t> RandomSamples16(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> value(-32768, 32767);
    std::vector<int64_t> samples(count);
    for (auto& sample : samples) {
        sample = value(generator);
    }
    return samples;
}

ScalePair* HalfAndQuieterGains()
{
    static ScalePair gains[GainTableEntries] = {
        {1, 2}, {16384, 18390}, {1, 1}, {0, 1}, {3, 7}, {16384, 1666303410}, {5, 5}, {0x40000000, 0x7FFFFFFF},
    };
    return gains;
}

// Checks each 32-bit output of 16-bit mono input resampled from sourceRate to destinationRate:
// output j sits at sourceRate * j / destinationRate input frames, between frames i and i + 1,
// phase / destinationRate of the way, and is the truncated point on the line between them.
void ExpectOutputsOnTheLine(const std::vector<int64_t>& input, const std::vector<int64_t>& output, int64_t sourceRate,
                            int64_t destinationRate)
{
    for (size_t j = 0; j < output.size(); ++j) {
        const int64_t position = int64_t(j) * sourceRate;
        const size_t i = position / destinationRate;
        const int64_t phase = position % destinationRate;
        const int64_t a = input[i] * 65536;
        const int64_t b = input[i + 1] * 65536;
        EXPECT_GE(output[j], std::min(a, b)) << "frame " << j;
        EXPECT_LE(output[j], std::max(a, b)) << "frame " << j;
        EXPECT_EQ(output[j], (a * destinationRate + (b - a) * phase) / destinationRate) << "frame " << j;
    }
}

}  // namespace

TEST(Resample, UpsamplingOutputLiesOnTheLineBetweenNeighbouringInputFrames)
{
    // 16-bit mono in, 32-bit out, so the internal value of every output frame is visible.
    const std::vector<int64_t> input = RandomSamples16(441, 7);
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 4, 1);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    Converted result = ConvertOnce(converter, Pack(2, input), 4 * 1000);
    const std::vector<int64_t> output = Unpack(4, result.bytes);

    // The last output needs the input frame after it: 440 * 48000 / 44100 rounded up.
    ASSERT_EQ(output.size(), 479u);
    ExpectOutputsOnTheLine(input, output, 44100, 48000);
}

TEST(Resample, InterpolatesARampExactly)
{
    // A ramp of 0x0000, 0x0100, 0x0200 ... at 8000 Hz to 12000 Hz: three outputs per two inputs,
    // at phases 0, 8000 and 16000 of 12000.
    WAVEFORMATEXTENSIBLE from = Pcm(8000, 2, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(12000, 2, 1);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    Converted result = ConvertOnce(converter, Pack(2, {0x0000, 0x0300, 0x0600, 0x0900, 0x0C00}), 2 * 16);
    EXPECT_EQ(Unpack(2, result.bytes), (std::vector<int64_t>{0x0000, 0x0200, 0x0400, 0x0600, 0x0800, 0x0A00}));
}

TEST(Resample, WholeRatioDownsamplingKeepsEveryKthFrame)
{
    struct RatioCase {
        ULONG sourceRate;
        ULONG destinationRate;
        size_t k;
    };
    const RatioCase cases[] = {{96000, 48000, 2}, {192000, 48000, 4}, {48000, 8000, 6}, {88200, 44100, 2}};
    for (const RatioCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sourceRate << " -> " << c.destinationRate);
        const std::vector<int64_t> input = RandomSamples16(2 * 600, 3);
        WAVEFORMATEXTENSIBLE from = Pcm(c.sourceRate, 2, 2);
        WAVEFORMATEXTENSIBLE to = Pcm(c.destinationRate, 2, 2);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&from, &to));
        Converted result = ConvertOnce(converter, Pack(2, input), 4 * 1000);
        std::vector<int64_t> expected;
        for (size_t frame = 0; frame < 600; frame += c.k) {
            expected.push_back(input[2 * frame]);
            expected.push_back(input[2 * frame + 1]);
        }
        EXPECT_EQ(Unpack(2, result.bytes), expected);
        EXPECT_EQ(result.consumed, 4u * 600);
    }
}

TEST(Resample, DownsamplingByANonWholeRatioInterpolatesAndDropsFrames)
{
    const std::vector<int64_t> input = RandomSamples16(960, 9);
    WAVEFORMATEXTENSIBLE from = Pcm(48000, 2, 1);
    WAVEFORMATEXTENSIBLE to = Pcm(44100, 4, 1);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    const std::vector<int64_t> output = Unpack(4, ConvertOnce(converter, Pack(2, input), 4 * 2000).bytes);
    ASSERT_EQ(output.size(), 882u);  // 959 * 44100 / 48000 rounded up: the last one needs a neighbour
    ExpectOutputsOnTheLine(input, output, 48000, 44100);
}

TEST(Resample, OutputTracksTheRateRatioAcrossManyCallsWithoutDrift)
{
    // 100 calls of 10 ms at 44100 Hz: 44100 frames in, and 48000 frames out less the one the
    // converter keeps back until it has the frame that follows it.
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 2, 2);
    FormatConverter converter;
    ASSERT_TRUE(converter.Setup(&from, &to));
    const std::vector<UCHAR> source = RandomBytes(4 * 44100, 4);
    const std::vector<UCHAR> output = ConvertInPieces(converter, source, 441);
    EXPECT_EQ(output.size(), 4u * 47999);
}

TEST(Resample, PiecesOfAnySizeGiveTheSameBytesAsOneLongConversion)
{
    struct PieceCase {
        ULONG sourceRate;
        ULONG destinationRate;
        bool withGains;
    };
    const PieceCase cases[] = {
        {44100, 48000, false}, {48000, 44100, false}, {96000, 44100, false},
        {44100, 48000, true},  {48000, 44100, true},  {96000, 44100, true},
    };
    for (const PieceCase& c : cases) {
        const std::vector<UCHAR> source = RandomBytes(4 * 4410, 5);
        const ScalePair* gains = c.withGains ? HalfAndQuieterGains() : nullptr;
        WAVEFORMATEXTENSIBLE from = Pcm(c.sourceRate, 2, 2);
        WAVEFORMATEXTENSIBLE to = Pcm(c.destinationRate, 2, 2);

        FormatConverter whole;
        ASSERT_TRUE(whole.Setup(&from, &to));
        const std::vector<UCHAR> expected = ConvertOnce(whole, source, 4 * 10000, gains).bytes;
        ASSERT_GT(expected.size(), 4u * 2000);

        for (ULONG pieceFrames : {1u, 7u, 441u}) {
            SCOPED_TRACE(testing::Message() << c.sourceRate << " -> " << c.destinationRate << ", gains "
                                            << c.withGains << ", pieces of " << pieceFrames);
            FormatConverter pieces;
            ASSERT_TRUE(pieces.Setup(&from, &to));
            EXPECT_EQ(ConvertInPieces(pieces, source, pieceFrames, gains), expected);
        }
    }
}

TEST(Resample, DestinationRoomForFewerFramesStopsEarlyAndResumesSeamlessly)
{
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 3, 1);
    const std::vector<UCHAR> source = RandomBytes(4 * 300, 6);
    FormatConverter whole;
    ASSERT_TRUE(whole.Setup(&from, &to));
    const std::vector<UCHAR> expected = ConvertOnce(whole, source, 3 * 1000).bytes;

    FormatConverter limited;
    ASSERT_TRUE(limited.Setup(&from, &to));
    std::vector<UCHAR> output;
    std::vector<UCHAR> pending = source;
    for (int call = 0; call < 1000 && !pending.empty(); ++call) {
        Converted part = ConvertOnce(limited, pending, 3 * 5);
        ASSERT_LE(part.bytes.size(), 3u * 5);
        output.insert(output.end(), part.bytes.begin(), part.bytes.end());
        pending.erase(pending.begin(), pending.begin() + part.consumed);
        if (part.bytes.empty()) {
            break;
        }
    }
    EXPECT_EQ(output, expected);
}

// The specialised loops against a literal model of the arithmetic, value for value, for rates,
// widths and channel counts in combination, with and without gains.
TEST(Resample, SpecialisedLoopsMatchTheLiteralArithmeticOnRandomData)
{
    const ULONG rates[][2] = {{44100, 48000}, {48000, 44100}, {96000, 48000}, {8000, 192000},
                              {192000, 8000}, {22050, 22050}, {96000, 44100}, {11025, 8000}};
    const ULONG widths[][2] = {{2, 2}, {1, 4}, {3, 1}, {4, 3}};
    const ULONG channels[][2] = {{2, 2}, {1, 1}, {2, 1}, {1, 2}, {2, 4}, {6, 2}, {1, 6}, {3, 5}, {8, 8}};
    uint32_t seed = 100;
    for (const auto& rate : rates) {
        for (const auto& width : widths) {
            for (const auto& channel : channels) {
                for (bool withGains : {false, true}) {
                    SCOPED_TRACE(testing::Message() << rate[0] << "->" << rate[1] << " width " << width[0] << "->"
                                                    << width[1] << " channels " << channel[0] << "->"
                                                    << channel[1] << " gains " << withGains);
                    const ScalePair* gains = withGains ? HalfAndQuieterGains() : nullptr;
                    WAVEFORMATEXTENSIBLE from = Pcm(rate[0], width[0], channel[0]);
                    WAVEFORMATEXTENSIBLE to = Pcm(rate[1], width[1], channel[1]);
                    FormatConverter converter;
                    ASSERT_TRUE(converter.Setup(&from, &to));
                    ReferenceConverter reference(rate[0], width[0], channel[0], rate[1], width[1], channel[1]);
                    const ULONG destinationFrame = width[1] * channel[1];
                    // Several calls with sources and destinations of varied sizes, so state
                    // carried between calls, full destinations and short sources are compared too.
                    const ULONG sourceFrames[] = {157, 0, 13, 1, 400, 2};
                    const ULONG roomFrames[] = {300, 5, 1, 0, 131, 3};
                    for (int call = 0; call < 6; ++call) {
                        const std::vector<UCHAR> source =
                            RandomBytes(width[0] * channel[0] * sourceFrames[call], seed++);
                        const ULONG room = destinationFrame * roomFrames[call];
                        ULONG expectedConsumed = 0;
                        const std::vector<UCHAR> expected = reference.Convert(source, room, &expectedConsumed, gains);
                        Converted actual = ConvertOnce(converter, source, room, gains);
                        ASSERT_EQ(actual.bytes, expected) << "call " << call;
                        ASSERT_EQ(actual.consumed, expectedConsumed) << "call " << call;
                    }
                }
            }
        }
    }
}
