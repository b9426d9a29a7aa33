// tarnhost loop end to end: WAV files made here are played into a cable and recorded from it by
// the built program; the recordings and the figures it prints are checked against what the
// driver's converter and mixer make of the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "core/platform.h"
#include "engine/audio_format.h"
#include "engine/mix.h"

#include "converter_reference.h"
#include "host/harness.h"
#include "tool_runner.h"

using namespace tool_test;

namespace {

constexpr int Wav8 = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
constexpr int Wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int Wav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
constexpr int WavEx32 = SF_FORMAT_WAVEX | SF_FORMAT_PCM_32;

// The text after "name: " on the line of stdout that starts with it.
std::string Figure(const std::string& out, const std::string& name)
{
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 2, name + ": ") == 0) {
            return line.substr(name.size() + 2);
        }
    }
    return "(no " + name + " line)";
}

WAVEFORMATEXTENSIBLE Format(ULONG rate, ULONG containerBytes, ULONG channels)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, rate, 8 * containerBytes, channels, containerBytes, UseDefaultChannelMask);
    return format;
}

}  // namespace

TEST(LoopCommand, AFileRecordedInItsOwnFormatComesBackBitExactAndExactlyAsLong)
{
    struct SameFormatCase {
        int fileFormat;
        int rate;
        int channels;
        size_t frameBytes;
        size_t frames;  // no whole number of clock steps or buffers
        std::string record;
        std::string cableFormat;
        std::vector<std::string> extra;
    };
    const SameFormatCase cases[] = {
        {Wav16, 44100, 2, 4, 66151, "44100:16:2", "44100 Hz 16-bit 2 ch", {}},
        {Wav8, 8000, 1, 1, 12345, "8000:8:1", "8000 Hz 8-bit 1 ch", {}},
        {Wav24, 96000, 6, 18, 48007, "96000:24:6", "96000 Hz 24-bit 6 ch", {}},
        {WavEx32, 192000, 8, 32, 40000, "192000:32:8", "192000 Hz 32-bit 8 ch", {}},
        {Wav16, 48000, 2, 4, 30011, "48000:16:2", "48000 Hz 16-bit 2 ch", {"--period-ms", "1"}},
        {Wav16, 48000, 2, 4, 30011, "48000:16:2", "48000 Hz 16-bit 2 ch", {"--period-ms", "20"}},
    };
    for (const SameFormatCase& c : cases) {
        SCOPED_TRACE(c.record);
        ScratchDirectory scratch;
        const std::vector<unsigned char> played = RandomBytes(c.frames * c.frameBytes, 31);
        WriteSoundFile(scratch.File("in.wav"), c.fileFormat, c.rate, c.channels, played);
        std::vector<std::string> arguments = {"loop", "--play", scratch.File("in.wav"), "--record",
                                              scratch.File("out.wav") + ":" + c.record};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());

        ToolResult result = RunTarnhost(scratch, arguments);

        ASSERT_EQ(result.status, 0) << result.err;
        SoundFile recorded = ReadSoundFile(scratch.File("out.wav"));
        EXPECT_EQ(recorded.info.frames, static_cast<sf_count_t>(c.frames));
        EXPECT_TRUE(recorded.bytes == played) << "the recording is the file byte for byte";
        EXPECT_EQ(Figure(result.out, "cable format"), c.cableFormat);
        EXPECT_EQ(Figure(result.out, "streams"), "2 (render 1, capture 1)");
        EXPECT_EQ(Figure(result.out, "underflows"), "0");
        EXPECT_EQ(Figure(result.out, "overflows"), "0");
    }
}

TEST(LoopCommand, TwoFilesInDifferentFormatsMixAndTheFirstFixesTheCableFormat)
{
    // One second of 44100 Hz 16-bit stereo and half a second of 48000 Hz 24-bit mono.
    ScratchDirectory scratch;
    const WAVEFORMATEXTENSIBLE first = Format(44100, 2, 2);
    const std::vector<unsigned char> firstData = RandomBytes(44100 * 4, 41);
    const std::vector<unsigned char> secondData = RandomBytes(24000 * 3, 42);
    WriteSoundFile(scratch.File("first.wav"), Wav16, 44100, 2, firstData);
    WriteSoundFile(scratch.File("second.wav"), Wav24, 48000, 1, secondData);

    // The recorders start after both players: the first recording's format is not the cable's.
    ToolResult result = RunTarnhost(scratch, {"loop", "--play", scratch.File("first.wav"), "--play",
                                              scratch.File("second.wav"), "--record",
                                              scratch.File("other.wav") + ":22050:8:1", "--record",
                                              scratch.File("cable.wav") + ":44100:16:2"});

    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Figure(result.out, "cable format"), "44100 Hz 16-bit 2 ch");
    EXPECT_EQ(Figure(result.out, "streams"), "4 (render 2, capture 2)");
    EXPECT_EQ(Figure(result.out, "underflows"), "0") << "the shorter file ends without starving its stream";
    EXPECT_EQ(Figure(result.out, "overflows"), "0");
    // The run lasts as long as the longer file: one second of each recording's format.
    SoundFile cable = ReadSoundFile(scratch.File("cable.wav"));
    SoundFile other = ReadSoundFile(scratch.File("other.wav"));
    EXPECT_EQ(cable.info.frames, 44100);
    EXPECT_EQ(other.info.frames, 22050);
    EXPECT_EQ(other.info.channels, 1);

    // The recording in the cable format is the first file with the second converted and mixed
    // in from frame 0; past the second file's end, the first file alone.
    std::vector<unsigned char> expected = firstData;
    const std::vector<unsigned char> converted = ConvertInOneCall(secondData, 48000, 3, 1, 44100, 2, 2, nullptr);
    ASSERT_GE(converted.size(), 22050u * 4 - 2 * 4);
    MixIntoBuffer(&first, expected.data(), converted.data(), static_cast<ULONG>(converted.size()));
    ASSERT_EQ(cable.bytes.size(), expected.size());
    const size_t mixedBytes = converted.size();
    const size_t aloneFrom = mixedBytes + 2 * 4;  // the frames that interpolate past its end differ
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + mixedBytes, cable.bytes.begin()))
        << "the mix of both files";
    EXPECT_TRUE(std::equal(expected.begin() + aloneFrom, expected.end(), cable.bytes.begin() + aloneFrom))
        << "the first file alone";
}

TEST(LoopCommand, SecondsBoundTheRunWhateverTheFilesLength)
{
    struct RunLengthCase {
        std::string seconds;
        size_t playedFrames;   // 48000 Hz 16-bit stereo
        size_t cableFrames;    // expected in the 48000 Hz recording
        size_t lowRateFrames;  // expected in the 22050 Hz recording
    };
    const RunLengthCase cases[] = {
        {"0.5", 96000, 24000, 11025},   // the file is cut short
        {"1", 14400, 48000, 22050},     // the file ends first: silence follows
        {"0.0105", 96000, 504, 232},    // 231.525 frames round to 232
    };
    for (const RunLengthCase& c : cases) {
        SCOPED_TRACE(c.seconds);
        ScratchDirectory scratch;
        const std::vector<unsigned char> played = RandomBytes(c.playedFrames * 4, 51);
        WriteSoundFile(scratch.File("in.wav"), Wav16, 48000, 2, played);

        ToolResult result = RunTarnhost(scratch, {"loop", "--seconds", c.seconds, "--play", scratch.File("in.wav"),
                                                  "--record", scratch.File("cable.wav") + ":48000:16:2", "--record",
                                                  scratch.File("low.wav") + ":22050:16:1"});

        ASSERT_EQ(result.status, 0) << result.err;
        SoundFile cable = ReadSoundFile(scratch.File("cable.wav"));
        EXPECT_EQ(cable.info.frames, static_cast<sf_count_t>(c.cableFrames));
        EXPECT_EQ(ReadSoundFile(scratch.File("low.wav")).info.frames, static_cast<sf_count_t>(c.lowRateFrames));
        std::vector<unsigned char> expected = played;
        expected.resize(c.cableFrames * 4, 0);
        EXPECT_TRUE(cable.bytes == expected) << "the file from its first frame, then silence";
        EXPECT_EQ(Figure(result.out, "underflows"), "0");
        EXPECT_EQ(Figure(result.out, "overflows"), "0");
    }
}

TEST(LoopCommand, WithNoFileATonePlaysAndTheFiguresArePrinted)
{
    ScratchDirectory scratch;
    const std::vector<std::string> before = scratch.Names();

    ToolResult quiet = RunTarnhost(scratch, {"loop", "--seconds", "2"});

    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(Figure(quiet.out, "cable time"), "2.000 s");
    EXPECT_EQ(Figure(quiet.out, "streams"), "1 (render 1, capture 0)");
    EXPECT_EQ(Figure(quiet.out, "cable format"), "48000 Hz 16-bit 2 ch");
    EXPECT_EQ(Figure(quiet.out, "underflows"), "0");
    EXPECT_EQ(Figure(quiet.out, "overflows"), "0");
    EXPECT_EQ(scratch.Names(), before) << "nothing recorded, nothing written";
    // Not a terminal: one plain progress line per second of cable time.
    EXPECT_EQ(quiet.err,
              "tarnhost loop: 1.000 s of 2.000 s, streams 1, underflows 0, overflows 0\n"
              "tarnhost loop: 2.000 s of 2.000 s, streams 1, underflows 0, overflows 0\n");

    ToolResult recorded = RunTarnhost(scratch, {"loop", "--seconds", "0.1", "--record", scratch.File("tone.wav") + ":48000:16:1"});

    ASSERT_EQ(recorded.status, 0) << recorded.err;
    SoundFile tone = ReadSoundFile(scratch.File("tone.wav"));
    ASSERT_EQ(tone.info.frames, 4800);
    auto sample = [&tone](size_t frame) {
        return static_cast<int16_t>(tone.bytes[2 * frame] | tone.bytes[2 * frame + 1] << 8);
    };
    // 1 kHz at 48000 Hz: 48 frames a period; -6 dBFS peaks at 32767 * 10^(-6/20) = 16422.
    const std::pair<size_t, int16_t> points[] = {{0, 0}, {12, 16422}, {24, 0}, {36, -16422}, {4764, 16422}};
    for (auto [frame, value] : points) {
        EXPECT_EQ(sample(frame), value) << "frame " << frame;
    }
}

// The line out's volume and mute through the topology filter, a player's own volume through the
// wave filter: the tone's peak of 16422 (-6 dBFS) comes back 6 dB lower (LevelToScale(-6 dB) is
// 16384/32720 of it), or silent; with the registry's volume control off they change nothing.
TEST(LoopCommand, VolumeOptionsScaleTheRecordingWhileVolumeControlIsOn)
{
    ScratchDirectory scratch;
    host::RegistryClear();
    host::RegistrySetDword(host::DriverImage::DefaultServiceKey + "\\Parameters", "Number of cables", 1);
    host::RegistrySaveFile(scratch.File("off.reg"));
    const struct {
        std::vector<std::string> options;
        int peak;
        const char* volumeControl;
    } rows[] = {
        {{}, 16422, "off"},
        {{"--volume", "-6"}, 8223, "on"},
        {{"--stream-volume", "-6"}, 8223, "on"},
        {{"--volume", "-6", "--stream-volume", "-6"}, 4118, "on"},
        {{"--mute"}, 0, "on"},
        {{"--volume", "-6", "--registry", scratch.File("off.reg")}, 16422, "off"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.options));
        std::vector<std::string> arguments = {"loop", "--seconds", "0.1", "--record",
                                              scratch.File("out.wav") + ":48000:16:1"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        ToolResult result = RunTarnhost(scratch, arguments);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(Figure(result.out, "volume control"), row.volumeControl);
        SoundFile recorded = ReadSoundFile(scratch.File("out.wav"));
        const int peak = static_cast<int16_t>(recorded.bytes[24] | recorded.bytes[25] << 8);  // frame 12
        EXPECT_NEAR(peak, row.peak, 1);
    }
    ToolResult refused = RunTarnhost(scratch, {"loop", "--volume", "-101"});
    EXPECT_EQ(refused.status, 2);
}

TEST(LoopCommand, WithoutSecondsTheToneLastsTenSeconds)
{
    ScratchDirectory scratch;
    ToolResult result = RunTarnhost(scratch, {"loop", "--record", scratch.File("tone.wav") + ":8000:8:1"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Figure(result.out, "cable time"), "10.000 s");
    EXPECT_EQ(ReadSoundFile(scratch.File("tone.wav")).info.frames, 80000);
}

// A registry file decides what each cable accepts; the chosen cable runs, and --period-ms is kept
// in the file as that cable's setting.
TEST(LoopCommand, TheRegistryFileDecidesWhatTheChosenCableAccepts)
{
    ScratchDirectory scratch;
    const std::string parameters = host::DriverImage::DefaultServiceKey + "\\Parameters";
    host::RegistryClear();
    host::RegistrySetDword(parameters, "Number of cables", 3);
    for (const char* name : {"Minimum sampling rate", "Maximum sampling rate"}) {
        host::RegistrySetDword(parameters + "\\Cable 2", name, 48000);
    }
    host::RegistrySaveFile(scratch.File("tarn.reg"));
    WriteSoundFile(scratch.File("in.wav"), Wav16, 44100, 2, RandomBytes(4 * 4410, 63));
    const std::vector<std::string> play = {"--registry", scratch.File("tarn.reg"), "--play", scratch.File("in.wav")};
    auto loop = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "loop");
        arguments.insert(arguments.end(), play.begin(), play.end());
        return RunTarnhost(scratch, arguments);
    };

    ToolResult narrowed = loop({"--cable", "2"});
    EXPECT_EQ(narrowed.status, 2);
    EXPECT_NE(narrowed.err.find("48000 Hz, 8-16 bits"), std::string::npos) << narrowed.err;

    ToolResult third = loop({"--cable", "3", "--period-ms", "10"});
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(Figure(third.out, "cable format"), "44100 Hz 16-bit 2 ch");
    host::RegistryClear();
    ASSERT_TRUE(host::RegistryLoadFile(scratch.File("tarn.reg")));
    host::RegistryValueData period;
    ASSERT_TRUE(host::RegistryGetValue(parameters + "\\Cable 3", "Milliseconds per interrupt", &period));
    EXPECT_EQ(period.data, (std::vector<uint8_t>{10, 0, 0, 0}));
    EXPECT_FALSE(host::RegistryGetValue(parameters + "\\Cable 1", "Milliseconds per interrupt", &period));

    EXPECT_EQ(Figure(third.out, "cable rate"), "44100.0 frames per second of system time");

    // A clock correction of 101 % (0x10000 * 1.01, rounded down) makes the cable run that much faster.
    host::RegistrySetDword(parameters + "\\Cable 3", "Clock correction", 66191);
    host::RegistrySaveFile(scratch.File("tarn.reg"));
    ToolResult faster = loop({"--cable", "3", "--seconds", "1"});
    ASSERT_EQ(faster.status, 0) << faster.err;
    const double rate = std::stod(Figure(faster.out, "cable rate"));
    EXPECT_NEAR(rate, 44100.0 * 66191 / 65536, 1.0);

    ToolResult beyond = loop({"--cable", "4"});
    EXPECT_EQ(beyond.status, 2);
    EXPECT_NE(beyond.err.find("has 3 cables"), std::string::npos) << beyond.err;
}

TEST(LoopCommand, BadInputGetsOneLineStatusTwoAndNoOutputFile)
{
    struct BadCase {
        std::string what;
        std::vector<std::string> arguments;  // after "loop"; names are files in the scratch directory
        std::string mentions;                // a word the message must contain
    };
    const BadCase cases[] = {
        {"missing file", {"--play", "absent.wav", "--record", "out.wav:48000:16:2"}, "absent.wav"},
        {"float WAV", {"--play", "float.wav", "--record", "out.wav:48000:16:2"}, "floating-point"},
        {"not a sound file", {"--play", "text.wav", "--record", "out.wav:48000:16:2"}, "text.wav"},
        {"second file bad", {"--play", "in.wav", "--play", "float.wav", "--record", "out.wav:48000:16:2"}, "float.wav"},
        {"--record with 12 bits", {"--record", "out.wav:48000:12:2"}, "--record"},
        {"--record without channels", {"--record", "out.wav:48000:16"}, "--record"},
        {"--record without a file", {"--record", ":48000:16:2"}, "--record"},
        {"--record rate too high", {"--record", "out.wav:384000:16:2"}, "--record"},
        {"--record twice to one file", {"--record", "out.wav:48000:16:2", "--record", "./out.wav:8000:8:1"}, "twice"},
        {"--record over a played file", {"--play", "in.wav", "--record", "in.wav:48000:16:2"}, "in.wav"},
        {"second --record unwritable", {"--record", "out.wav:48000:16:2", "--record", "no-such-folder/x.wav:48000:16:2"},
         "no-such-folder"},
        {"--seconds 0", {"--seconds", "0", "--record", "out.wav:48000:16:2"}, "--seconds"},
        {"--seconds not a number", {"--seconds", "long", "--record", "out.wav:48000:16:2"}, "--seconds"},
        {"--period-ms 21", {"--period-ms", "21", "--record", "out.wav:48000:16:2"}, "--period-ms"},
        {"unknown option", {"--loud", "--record", "out.wav:48000:16:2"}, "loud"},
        {"a cable the device lacks", {"--cable", "9", "--record", "out.wav:48000:16:2"}, "has 8 cables"},
        // The cable, asked through its filter, refuses the rate and names what its pin takes.
        {"a rate the cable refuses", {"--play", "low.wav", "--record", "out.wav:48000:16:2"}, "8000-192000 Hz"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDirectory scratch;
        WriteSoundFile(scratch.File("in.wav"), Wav16, 44100, 2, RandomBytes(4 * 100, 61));
        WriteSoundFile(scratch.File("low.wav"), Wav16, 4000, 2, RandomBytes(4 * 100, 62));
        WriteFloatFile(scratch.File("float.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, 100);
        std::ofstream(scratch.File("text.wav")) << "RIFF? no, just some words\n";
        const std::vector<std::string> before = scratch.Names();
        std::vector<std::string> arguments = {"loop"};
        for (const std::string& argument : c.arguments) {
            const bool file = argument.find(".wav") != std::string::npos;
            arguments.push_back(file ? scratch.File(argument) : argument);
        }

        ToolResult result = RunTarnhost(scratch, arguments);

        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(IsOneLine(result.err)) << "stderr: " << result.err;
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << "stderr: " << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(scratch.Names(), before) << "no output file, no temporary left over";
    }
}
