// tarnhost convert end to end: WAV files made here, the built program run on them, and the bytes
// it writes checked; bad input gets one line on stderr, status 2 and no output file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/platform.h"
#include "engine/format_converter.h"
#include "converter_reference.h"
#include "tool_runner.h"

using namespace tool_test;

namespace {

constexpr int Wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

}  // namespace

TEST(ConvertCommand, ConvertsContainerWidthsAsListed)
{
    struct WidthCase {
        int format;
        std::vector<unsigned char> source;
        std::string to;
        std::vector<unsigned char> expected;
    };
    const WidthCase cases[] = {
        {Wav16, {0x34, 0x12}, "48000:8:1", {0x92}},
        {Wav16, {0x34, 0x12}, "48000:24:1", {0x00, 0x34, 0x12}},
        {Wav16, {0x34, 0x12}, "48000:32:1", {0x00, 0x00, 0x34, 0x12}},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, {0x92}, "48000:16:1", {0x00, 0x12}},
        {Wav16, {0xFF, 0xFF}, "48000:8:1", {0x7F}},
    };
    for (const WidthCase& c : cases) {
        SCOPED_TRACE(c.to);
        ScratchDirectory scratch;
        WriteSoundFile(scratch.File("in.wav"), c.format, 48000, 1, c.source);
        ToolResult result = RunTarnhost(scratch, {"convert", "--to", c.to, scratch.File("in.wav"), scratch.File("out.wav")});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(ReadSoundFile(scratch.File("out.wav")).bytes, c.expected);
    }
}

TEST(ConvertCommand, ReadsAnOddSizedDataChunkAsExactlyItsFrames)
{
    // Three 8-bit frames make an odd-sized data chunk; the pad byte a file may carry after it is
    // not a frame.
    ScratchDirectory scratch;
    WriteSoundFile(scratch.File("in.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1, {0x10, 0x20, 0x30});
    ToolResult result = RunTarnhost(scratch, {"convert", "--to", "8000:16:1", scratch.File("in.wav"), scratch.File("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadSoundFile(scratch.File("out.wav")).bytes,
              (std::vector<unsigned char>{0x00, 0x90, 0x00, 0xA0, 0x00, 0xB0}));
}

TEST(ConvertCommand, AnyChunkSizeGivesTheBytesOfOneLongConversion)
{
    ScratchDirectory scratch;
    const std::vector<unsigned char> source = RandomBytes(4 * 4410, 11);
    WriteSoundFile(scratch.File("in.wav"), Wav16, 44100, 2, source);
    const std::vector<unsigned char> expected = ConvertInOneCall(source, 44100, 2, 2, 48000, 2, 2, nullptr);
    ASSERT_GT(expected.size(), 4u * 4700);

    for (std::string chunk : {"", "1", "7", "441", "100000"}) {
        SCOPED_TRACE("chunk frames " + chunk);
        std::vector<std::string> arguments = {"convert", "--to", "48000:16:2"};
        if (!chunk.empty()) {
            arguments.insert(arguments.end(), {"--chunk-frames", chunk});
        }
        arguments.insert(arguments.end(), {scratch.File("in.wav"), scratch.File("out.wav")});
        ToolResult result = RunTarnhost(scratch, arguments);
        ASSERT_EQ(result.status, 0) << result.err;
        SoundFile output = ReadSoundFile(scratch.File("out.wav"));
        EXPECT_EQ(output.info.samplerate, 48000);
        EXPECT_EQ(output.info.channels, 2);
        EXPECT_EQ(output.bytes, expected);
    }
}

TEST(ConvertCommand, LevelsGiveEachSourceChannelItsGain)
{
    // 32-bit stereo at 48 kHz throughout: the gains alone act. Left at -100 dB is
    // (1000000 * 16384 + 833151705) / 1666303410 = 10; right, not listed, stays at 0 dB.
    // The gain table bypasses the plain copy; the last frame comes out too.
    ScratchDirectory scratch;
    std::vector<unsigned char> source;
    for (int frame = 0; frame < 10; ++frame) {
        for (uint32_t value : {1000000u, 1000000u}) {
            for (int i = 0; i < 4; ++i) {
                source.push_back(static_cast<unsigned char>(value >> (8 * i)));
            }
        }
    }
    WriteSoundFile(scratch.File("in.wav"), SF_FORMAT_WAVEX | SF_FORMAT_PCM_32, 48000, 2, source);
    ToolResult result = RunTarnhost(scratch, {"convert", "--to", "48000:32:2", "--levels", "-6553600",
                                              scratch.File("in.wav"), scratch.File("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<unsigned char> expected;
    for (int frame = 0; frame < 10; ++frame) {
        for (uint32_t value : {10u, 1000000u}) {
            for (int i = 0; i < 4; ++i) {
                expected.push_back(static_cast<unsigned char>(value >> (8 * i)));
            }
        }
    }
    EXPECT_EQ(ReadSoundFile(scratch.File("out.wav")).bytes, expected);
}

TEST(ConvertCommand, LevelsAndChunksTogetherMatchOneLongConversion)
{
    ScratchDirectory scratch;
    const std::vector<unsigned char> source = RandomBytes(3 * 6 * 3000, 12);
    WriteSoundFile(scratch.File("in.wav"), SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 96000, 6, source);
    ScalePair gains[GainTableEntries];
    const LONG levels[GainTableEntries] = {-6553600, -393216, 0, -65536, -2147483647 - 1, -1, 0, 0};
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        gains[channel] = LevelToScale(levels[channel]);
    }
    const std::vector<unsigned char> expected = ConvertInOneCall(source, 96000, 3, 6, 44100, 2, 2, gains);
    ToolResult result = RunTarnhost(scratch, {"convert", "--to", "44100:16:2", "--levels",
                                              "-6553600,-393216,0,-65536,-2147483648,-1", "--chunk-frames", "7",
                                              scratch.File("in.wav"), scratch.File("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadSoundFile(scratch.File("out.wav")).bytes, expected);
}

TEST(ConvertCommand, WholeRatioDownsamplingKeepsEveryOtherFrame)
{
    ScratchDirectory scratch;
    const std::vector<unsigned char> source = RandomBytes(2 * 1000, 13);
    WriteSoundFile(scratch.File("in.wav"), Wav16, 96000, 1, source);
    ToolResult result = RunTarnhost(scratch, {"convert", "--to", "48000:16:1", scratch.File("in.wav"), scratch.File("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<unsigned char> expected;
    for (size_t frame = 0; frame < 1000; frame += 2) {
        expected.push_back(source[2 * frame]);
        expected.push_back(source[2 * frame + 1]);
    }
    EXPECT_EQ(ReadSoundFile(scratch.File("out.wav")).bytes, expected);
}

TEST(ConvertCommand, WritesExtensibleHeadersForWideOrMultichannelOutput)
{
    struct HeaderCase {
        std::string to;
        unsigned formatTag;
        int channels;
        unsigned bits;
    };
    const HeaderCase cases[] = {
        {"48000:16:2", 0x0001, 2, 16}, {"22050:8:1", 0x0001, 1, 8},   {"48000:24:2", 0xFFFE, 2, 24},
        {"44100:32:1", 0xFFFE, 1, 32}, {"48000:16:6", 0xFFFE, 6, 16}, {"8000:8:3", 0xFFFE, 3, 8},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.to);
        ScratchDirectory scratch;
        WriteSoundFile(scratch.File("in.wav"), Wav16, 44100, 2, RandomBytes(4 * 500, 14));
        ToolResult result = RunTarnhost(scratch, {"convert", "--to", c.to, scratch.File("in.wav"), scratch.File("out.wav")});
        ASSERT_EQ(result.status, 0) << result.err;
        SoundFile output = ReadSoundFile(scratch.File("out.wav"));
        EXPECT_EQ(output.formatTag, c.formatTag);
        EXPECT_EQ(output.bitsPerSample, c.bits);
        EXPECT_EQ(output.info.channels, c.channels);
        EXPECT_FALSE(output.bytes.empty());
    }
}

TEST(ConvertCommand, BadInputGetsOneLineStatusTwoAndNoOutputFile)
{
    struct BadCase {
        std::string what;
        std::vector<std::string> options;  // before IN and OUT
        std::string input;                 // file name in the scratch directory
        std::string output;
        std::string mentions;              // a word the message must contain
    };
    const BadCase cases[] = {
        {"missing input", {"--to", "48000:16:2"}, "absent.wav", "out.wav", "absent.wav"},
        {"not a sound file", {"--to", "48000:16:2"}, "text.wav", "out.wav", "text.wav"},
        {"AIFF file", {"--to", "48000:16:2"}, "in.aiff", "out.wav", "not a WAV"},
        {"float WAV", {"--to", "48000:16:2"}, "float.wav", "out.wav", "floating-point"},
        {"u-law WAV", {"--to", "48000:16:2"}, "ulaw.wav", "out.wav", "compressed"},
        {"IMA ADPCM WAV", {"--to", "48000:16:2"}, "adpcm.wav", "out.wav", "compressed"},
        {"rate below 8000 Hz", {"--to", "48000:16:2"}, "slow.wav", "out.wav", "4000 Hz"},
        {"rate above 192000 Hz", {"--to", "48000:16:2"}, "fast.wav", "out.wav", "200000 Hz"},
        {"nine channels", {"--to", "48000:16:2"}, "nine.wav", "out.wav", "9 channels"},
        {"--to without channels", {"--to", "48000:16"}, "in.wav", "out.wav", "--to"},
        {"--to with 12 bits", {"--to", "48000:12:2"}, "in.wav", "out.wav", "--to"},
        {"--to with a rate too low", {"--to", "4000:16:2"}, "in.wav", "out.wav", "--to"},
        {"--to with nine channels", {"--to", "48000:16:9"}, "in.wav", "out.wav", "--to"},
        {"--to not numbers", {"--to", "fast:wide:many"}, "in.wav", "out.wav", "--to"},
        {"--levels not a number", {"--to", "48000:16:2", "--levels", "0,loud"}, "in.wav", "out.wav", "--levels"},
        {"--levels beyond 32 bits", {"--to", "48000:16:2", "--levels", "-2147483649"}, "in.wav", "out.wav", "--levels"},
        {"nine levels", {"--to", "48000:16:2", "--levels", "0,0,0,0,0,0,0,0,0"}, "in.wav", "out.wav", "--levels"},
        {"--chunk-frames 0", {"--to", "48000:16:2", "--chunk-frames", "0"}, "in.wav", "out.wav", "--chunk-frames"},
        {"--chunk-frames not a number", {"--to", "48000:16:2", "--chunk-frames", "many"}, "in.wav", "out.wav", "--chunk-frames"},
        {"no --to", {}, "in.wav", "out.wav", "--to"},
        {"unknown option", {"--to", "48000:16:2", "--dither"}, "in.wav", "out.wav", "dither"},
        {"unwritable output", {"--to", "48000:16:2"}, "in.wav", "no-such-folder/out.wav", "no-such-folder"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDirectory scratch;
        WriteSoundFile(scratch.File("in.wav"), Wav16, 44100, 2, RandomBytes(4 * 100, 15));
        std::ofstream(scratch.File("text.wav")) << "RIFF? no, just some words\n";
        WriteSoundFile(scratch.File("in.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, RandomBytes(400, 16));
        WriteFloatFile(scratch.File("float.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, 100);
        WriteFloatFile(scratch.File("ulaw.wav"), SF_FORMAT_WAV | SF_FORMAT_ULAW, 44100, 2, 100);
        WriteFloatFile(scratch.File("adpcm.wav"), SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 44100, 2, 1000);
        WriteSoundFile(scratch.File("slow.wav"), Wav16, 4000, 1, RandomBytes(200, 17));
        WriteSoundFile(scratch.File("fast.wav"), Wav16, 200000, 1, RandomBytes(200, 18));
        WriteSoundFile(scratch.File("nine.wav"), SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 48000, 9, RandomBytes(18 * 10, 19));
        const std::vector<std::string> before = scratch.Names();

        std::vector<std::string> arguments = {"convert"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(scratch.File(c.input));
        arguments.push_back(scratch.File(c.output));
        ToolResult result = RunTarnhost(scratch, arguments);

        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(IsOneLine(result.err)) << "stderr: " << result.err;
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << "stderr: " << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(scratch.Names(), before);  // no output file, no temporary left over
    }
}

TEST(ConvertCommand, AFailedConversionLeavesAnExistingOutputAlone)
{
    ScratchDirectory scratch;
    std::ofstream(scratch.File("out.wav")) << "keep me";
    ToolResult result =
        RunTarnhost(scratch, {"convert", "--to", "48000:16:2", scratch.File("absent.wav"), scratch.File("out.wav")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(ReadText(scratch.File("out.wav")), "keep me");
}
