// Sample rate conversion: linear interpolation when upsampling or downsampling by a non-whole
// ratio, every k-th frame for a whole ratio, and seamless continuation across calls.
#include <gtest/gtest.h>

#include <numeric>

#include "conversion_helpers.h"
#include "engine/interpolation_16.h"
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

// Interpolation of 16-bit frames straight into 16-bit frames of the same channels.

namespace {

// 16-bit frames that reach the edges of the interpolation: full-scale noise, neighbours at opposite
// extremes (B - A = +-65535), runs of one extreme per channel, values around zero (negative sums
// that truncate toward zero) and a ramp.
std::vector<UCHAR> EdgySignal16(size_t frames, ULONG channels, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<int64_t> samples;
    while (samples.size() < frames * channels) {
        const unsigned kind = random() % 5;
        const size_t run = 1 + random() % 40;
        for (size_t i = 0; i < run; ++i) {
            for (ULONG channel = 0; channel < channels; ++channel) {
                int64_t value = 0;
                switch (kind) {
                case 0: value = static_cast<int64_t>(random() % 65536) - 32768; break;
                case 1: value = ((i + channel) % 2 == 0) ? -32768 : 32767; break;
                case 2: value = (channel == 0) ? -32768 : 32767; break;
                case 3: value = static_cast<int64_t>(random() % 5) - 2; break;
                default: value = -32768 + static_cast<int64_t>((i * 4099 + channel * 77) % 65536); break;
                }
                samples.push_back(value);
            }
        }
    }
    samples.resize(frames * channels);
    return Pack(2, samples);
}

// Feeds the source to the converter and to the literal model in random pieces with random room,
// carrying unconsumed bytes over as a stream's caller does, and expects every call to match value
// for value. The converter gets each call's bytes in a buffer of their own between foreign frames,
// so a read outside them shows in the output.
// With mixing, each call first asks MixInterpolated to add into a buffer of random samples, and
// only where it gives nothing converts as a render stream's transfer does; the mixed outputs must
// be the model's added with saturation; *mixedCalls counts the calls that mixed.
void ExpectRandomCallsMatch(FormatConverter& converter, ReferenceConverter& reference,
                            const std::vector<UCHAR>& source, uint32_t seed, ULONG maxPieceFrames,
                            ULONG maxRoomFrames, int* mixedCalls = nullptr)
{
    const bool mixing = mixedCalls != nullptr;
    const ULONG sourceFrame = converter.SourceFormat()->Format.nBlockAlign;
    const ULONG destinationFrame = converter.DestinationFormat()->Format.nBlockAlign;
    std::mt19937 random(seed);
    std::vector<UCHAR> pending;
    size_t offset = 0;
    int idleCalls = 0;
    for (int call = 0; idleCalls < 3; ++call) {
        ASSERT_LT(call, 200000) << "the conversion does not come to an end";
        const size_t pieceBytes = static_cast<size_t>(random() % (maxPieceFrames + 1)) * sourceFrame;
        const size_t piece = std::min<size_t>(pieceBytes, source.size() - offset);
        pending.insert(pending.end(), source.begin() + offset, source.begin() + offset + piece);
        offset += piece;
        const ULONG room = (random() % (maxRoomFrames + 1)) * destinationFrame;

        const std::vector<UCHAR> guard = RandomBytes(3 * sourceFrame, random());
        std::vector<UCHAR> framed = guard;
        framed.insert(framed.end(), pending.begin(), pending.end());
        framed.insert(framed.end(), guard.begin(), guard.end());
        const std::vector<UCHAR> mixBefore = EdgySignal16(room / 2, 1, random());
        std::vector<UCHAR> output = mixBefore;
        ULONG consumed = 0;
        ULONG produced = 0;
        if (mixing) {
            converter.MixInterpolated(framed.data() + guard.size(), static_cast<ULONG>(pending.size()), &consumed,
                                      output.data(), room, &produced);
        }
        const bool mixed = produced > 0;
        if (mixed) {
            ASSERT_TRUE(std::equal(output.begin() + produced, output.end(), mixBefore.begin() + produced))
                << "call " << call << ": mixed past its outputs";
        } else {
            converter.Convert(framed.data() + guard.size(), static_cast<ULONG>(pending.size()), &consumed, nullptr,
                              output.data(), room, &produced);
        }
        output.resize(produced);

        ULONG expectedConsumed = 0;
        std::vector<int64_t> expected =
            Unpack(2, reference.Convert(pending, mixed ? produced : room, &expectedConsumed, nullptr));
        if (mixed) {
            ++*mixedCalls;
            const std::vector<int64_t> before = Unpack(2, mixBefore);
            for (size_t i = 0; i < expected.size(); ++i) {
                expected[i] = std::clamp<int64_t>(expected[i] + before[i], -32768, 32767);
            }
        }
        ASSERT_EQ(Unpack(2, output), expected) << "call " << call << (mixed ? ", mixed" : "");
        ASSERT_EQ(consumed, expectedConsumed) << "call " << call;
        pending.erase(pending.begin(), pending.begin() + consumed);
        const bool idle = offset == source.size() && room > 0 && produced == 0 && consumed == 0;
        idleCalls = idle ? idleCalls + 1 : 0;
    }
    EXPECT_LT(pending.size(), 2u * sourceFrame) << "frames were left unconverted";
}

struct RatePair {
    ULONG sourceRate;
    ULONG destinationRate;
};

// Up- and downsampling by ratios near one and far from it, with and without skipped frames, at
// reduced destination rates from 2 to 32767.
const RatePair DirectRates[] = {
    {44100, 48000}, {48000, 44100}, {8000, 44100}, {48000, 32000}, {22050, 48000}, {64000, 48000},
    {44100, 96000}, {11025, 8000},  {96000, 44100}, {192000, 44100}, {8000, 192000}, {44100, 65535},
    {8000, 32767},  {32767, 8000},  {48000, 8001},
};

// Every rate pair, mono and stereo, in large pieces that reach the steady state and tiny ones that
// put every state at a call boundary; with mixing, the steady state must have mixed often.
void ExpectEveryDirectCaseMatches(uint32_t seed, bool mixing)
{
    for (const RatePair& rates : DirectRates) {
        for (ULONG channels : {1u, 2u}) {
            const ULONG splits[][3] = {{2500, 300, 400}, {300, 3, 5}};
            for (const auto& split : splits) {
                SCOPED_TRACE(testing::Message() << rates.sourceRate << " -> " << rates.destinationRate << ", "
                                                << channels << " channels, pieces up to " << split[1]);
                WAVEFORMATEXTENSIBLE from = Pcm(rates.sourceRate, 2, channels);
                WAVEFORMATEXTENSIBLE to = Pcm(rates.destinationRate, 2, channels);
                FormatConverter converter;
                ASSERT_TRUE(converter.Setup(&from, &to));
                ASSERT_TRUE(converter.InterpolatesDirectly());
                ReferenceConverter reference(rates.sourceRate, 2, channels, rates.destinationRate, 2, channels);
                int mixedCalls = 0;
                ExpectRandomCallsMatch(converter, reference, EdgySignal16(split[0], channels, seed), seed, split[1],
                                       split[2], mixing ? &mixedCalls : nullptr);
                if (mixing && split[1] > 100) {
                    EXPECT_GT(mixedCalls, 3) << "the steady state hardly ever mixed";
                }
                ++seed;
            }
        }
    }
}

}  // namespace

TEST(DirectInterpolation, MatchesTheLiteralArithmeticForAnySplitOfSourceAndRoom)
{
    ExpectEveryDirectCaseMatches(500, false);
}

TEST(DirectInterpolation, MixingAddsTheSameOutputsWithSaturationAndHandsOverToConvert)
{
    ExpectEveryDirectCaseMatches(900, true);
}

TEST(DirectInterpolation, MixingNeedsAPlainSixteenBitInterpolation)
{
    // Pass-through and 24-bit conversions have no direct loops: nothing is mixed or consumed.
    const WAVEFORMATEXTENSIBLE pairs[][2] = {{Pcm(48000, 2, 2), Pcm(48000, 2, 2)},
                                             {Pcm(44100, 3, 2), Pcm(48000, 3, 2)},
                                             {Pcm(44100, 2, 1), Pcm(48000, 2, 2)}};
    const std::vector<UCHAR> source = EdgySignal16(400, 2, 7);
    for (const auto& pair : pairs) {
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&pair[0], &pair[1]));
        std::vector<UCHAR> mix(1024, 0x5A);
        ULONG consumed = 1;
        ULONG produced = 1;
        converter.MixInterpolated(source.data(), static_cast<ULONG>(source.size()), &consumed, mix.data(),
                                  static_cast<ULONG>(mix.size()), &produced);
        EXPECT_EQ(consumed, 0u);
        EXPECT_EQ(produced, 0u);
        EXPECT_EQ(mix, std::vector<UCHAR>(1024, 0x5A));
    }
}

TEST(DirectInterpolation, OneCallOverTensOfThousandsOfFramesMatches)
{
    const RatePair cases[] = {{44100, 48000}, {192000, 44100}, {22050, 48000}};
    for (const RatePair& rates : cases) {
        for (ULONG channels : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << rates.sourceRate << " -> " << rates.destinationRate << ", "
                                            << channels << " channels");
            WAVEFORMATEXTENSIBLE from = Pcm(rates.sourceRate, 2, channels);
            WAVEFORMATEXTENSIBLE to = Pcm(rates.destinationRate, 2, channels);
            FormatConverter converter;
            ASSERT_TRUE(converter.Setup(&from, &to));
            ReferenceConverter reference(rates.sourceRate, 2, channels, rates.destinationRate, 2, channels);
            const std::vector<UCHAR> source = EdgySignal16(40000, channels, rates.sourceRate + channels);
            const ULONG room = converter.ConvertedSize(static_cast<ULONG>(source.size()), true);
            ULONG expectedConsumed = 0;
            const std::vector<UCHAR> expected = reference.Convert(source, room, &expectedConsumed, nullptr);
            Converted actual = ConvertOnce(converter, source, room);
            ASSERT_GT(actual.bytes.size(), room - 4 * to.Format.nBlockAlign);
            EXPECT_EQ(Unpack(2, actual.bytes), Unpack(2, expected));
            EXPECT_EQ(actual.consumed, expectedConsumed);
        }
    }
}

// Setup without Reset keeps the phase and skip of the earlier formats: a phase at or above the new
// destination rate, one that is no multiple of the new rates' common divisor, and a skip counted
// in frames of another size (a multiple of the new one, so the frames read stay whole).
TEST(DirectInterpolation, ASetupWithoutResetContinuesAsTheLiteralArithmeticDoes)
{
    struct SwitchCase {
        RatePair before;
        ULONG channelsBefore;
        RatePair after;
        ULONG channelsAfter;
        bool phaseAtOrAboveRate;
        bool phaseOffTheCommonDivisor;
    };
    const SwitchCase cases[] = {
        {{48000, 44100}, 2, {22050, 32000}, 2, true, false},
        {{11025, 8000}, 1, {44100, 48000}, 1, false, true},
        {{48000, 44100}, 2, {44100, 48000}, 1, false, false},
        {{96000, 44100}, 2, {48000, 44100}, 1, false, false},
    };
    uint32_t seed = 900;
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before.sourceRate << " -> " << c.before.destinationRate << " then "
                                        << c.after.sourceRate << " -> " << c.after.destinationRate);
        WAVEFORMATEXTENSIBLE from = Pcm(c.before.sourceRate, 2, c.channelsBefore);
        WAVEFORMATEXTENSIBLE to = Pcm(c.before.destinationRate, 2, c.channelsBefore);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&from, &to));
        ReferenceConverter reference(c.before.sourceRate, 2, c.channelsBefore, c.before.destinationRate, 2,
                                     c.channelsBefore);
        // One output at a time until the phase is as the case needs.
        const std::vector<UCHAR> source = EdgySignal16(400, c.channelsBefore, seed++);
        std::vector<UCHAR> pending = source;
        const ULONG outputFrame = 2 * c.channelsBefore;
        for (int call = 0; call < 300; ++call) {
            const uint32_t phase = reference.Phase();
            const uint32_t unit = std::gcd(c.after.sourceRate, c.after.destinationRate);
            if (call > 50 && (phase >= c.after.destinationRate) == c.phaseAtOrAboveRate &&
                (phase % unit != 0) == c.phaseOffTheCommonDivisor) {
                break;
            }
            ULONG expectedConsumed = 0;
            const std::vector<UCHAR> expected = reference.Convert(pending, outputFrame, &expectedConsumed, nullptr);
            Converted actual = ConvertOnce(converter, pending, outputFrame);
            ASSERT_EQ(actual.bytes, expected);
            ASSERT_EQ(actual.consumed, expectedConsumed);
            pending.erase(pending.begin(), pending.begin() + expectedConsumed);
        }
        ASSERT_EQ(reference.Phase() >= c.after.destinationRate, c.phaseAtOrAboveRate);
        ASSERT_EQ(reference.Phase() % std::gcd(c.after.sourceRate, c.after.destinationRate) != 0,
                  c.phaseOffTheCommonDivisor);

        from = Pcm(c.after.sourceRate, 2, c.channelsAfter);
        to = Pcm(c.after.destinationRate, 2, c.channelsAfter);
        ASSERT_TRUE(converter.Setup(&from, &to));
        ASSERT_TRUE(converter.InterpolatesDirectly());
        reference.Setup(c.after.sourceRate, 2, c.channelsAfter, c.after.destinationRate, 2, c.channelsAfter);
        ExpectRandomCallsMatch(converter, reference, EdgySignal16(3000, c.channelsAfter, seed), seed, 200, 300);
        ++seed;
    }
}

TEST(DirectInterpolation, AppliesToSixteenBitInterpolationUpToAReducedDestinationRateOf32767)
{
    struct EligibilityCase {
        ULONG sourceRate;
        ULONG sourceWidth;
        ULONG sourceChannels;
        ULONG destinationRate;
        ULONG destinationWidth;
        ULONG destinationChannels;
        bool direct;
    };
    const EligibilityCase cases[] = {
        {8000, 2, 1, 32767, 2, 1, true},     // coprime rates: R' = 32767
        {8001, 2, 2, 32768, 2, 2, false},    // coprime rates: R' = 32768
        {44100, 2, 2, 65535, 2, 2, true},    // R' = 65535 / 15
        {44100, 2, 1, 65537, 2, 1, false},   // R' = 65537
        {44100, 2, 2, 96000, 2, 2, true},    // R' = 320
        {46622, 2, 2, 48000, 2, 2, true},    // R' = 24000
        {44100, 2, 2, 48000, 3, 2, false},   // 24-bit destination
        {44100, 1, 2, 48000, 2, 2, false},   // 8-bit source
        {44100, 2, 2, 48000, 2, 1, false},   // channels mixed down
        {44100, 2, 3, 48000, 2, 3, false},   // three channels
        {96000, 2, 2, 48000, 2, 2, false},   // whole ratio
        {48000, 2, 2, 48000, 2, 2, false},   // pass-through
    };
    uint32_t seed = 1300;
    for (const EligibilityCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sourceRate << "/" << c.sourceWidth << "/" << c.sourceChannels << " -> "
                                        << c.destinationRate << "/" << c.destinationWidth << "/"
                                        << c.destinationChannels);
        WAVEFORMATEXTENSIBLE from = Pcm(c.sourceRate, c.sourceWidth, c.sourceChannels);
        WAVEFORMATEXTENSIBLE to = Pcm(c.destinationRate, c.destinationWidth, c.destinationChannels);
        FormatConverter converter;
        ASSERT_TRUE(converter.Setup(&from, &to));
        EXPECT_EQ(converter.InterpolatesDirectly(), c.direct);
        if (c.sourceWidth == 2 && c.destinationWidth == 2 && c.sourceChannels == c.destinationChannels) {
            ReferenceConverter reference(c.sourceRate, 2, c.sourceChannels, c.destinationRate, 2,
                                         c.destinationChannels);
            ExpectRandomCallsMatch(converter, reference, EdgySignal16(2000, c.sourceChannels, seed), seed, 300, 400);
        }
        ++seed;
    }
    FormatConverter reset;
    WAVEFORMATEXTENSIBLE from = Pcm(44100, 2, 2);
    WAVEFORMATEXTENSIBLE to = Pcm(48000, 2, 2);
    ASSERT_TRUE(reset.Setup(&from, &to));
    reset.Reset();
    EXPECT_FALSE(reset.InterpolatesDirectly());
}

// The multiply and shift that divide by R': for every R' up to 32767 the multiplier is the
// rounded-up power of two over R', its error e keeps 65535 R' e below the power, and the quotients
// next to every multiple of R' come out as plain division gives them.
TEST(DirectInterpolation, MultiplierDividesExactlyByEveryReducedRate)
{
    for (ULONG rate = 2; rate <= 32768; ++rate) {
        DirectInterpolation direct = {};
        PrepareDirectInterpolation(&direct, rate + 1, rate, 2);
        if (rate == 32768) {
            EXPECT_EQ(direct.Channels, 0);
            break;
        }
        ASSERT_EQ(direct.Channels, 2) << rate;
        ASSERT_EQ(direct.Rate, rate);
        const unsigned __int128 power = static_cast<unsigned __int128>(1) << (32 + direct.Shift);
        const unsigned __int128 product = static_cast<unsigned __int128>(direct.Multiplier) * rate;
        ASSERT_GE(product, power) << rate;
        const unsigned __int128 error = product - power;
        ASSERT_LT(error, rate) << rate;
        ASSERT_LT(error * 65535 * rate, power) << rate;
    }
    for (ULONG rate : {2u, 3u, 147u, 160u, 4369u, 21845u, 24000u, 32765u, 32767u}) {
        DirectInterpolation direct = {};
        PrepareDirectInterpolation(&direct, rate + 1, rate, 1);
        for (uint64_t quotient = 0; quotient <= 65535; ++quotient) {
            for (uint64_t rest : {uint64_t(0), uint64_t(1), uint64_t(rate / 2), uint64_t(rate - 1)}) {
                const uint64_t sum = quotient * rate + rest;
                if (sum > 65535ULL * rate) {
                    continue;
                }
                ASSERT_EQ((sum * direct.Multiplier) >> (32 + direct.Shift), quotient) << rate << " " << sum;
            }
        }
    }
}
