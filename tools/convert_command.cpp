// tarnhost convert: runs a WAV file through the driver's FormatConverter as a render stream's
// data would go, and writes the result as a WAV file in the destination format.
//
//   tarnhost convert --to RATE:BITS:CHANNELS [--levels L0,L1,...] [--chunk-frames N] IN.wav OUT.wav
//
// The file's sample bytes go to Convert unchanged, in pieces of N source frames (20 ms by
// default); the bytes a call leaves unconsumed are carried over to the next, as the engine's
// transfer step does. With --levels, each source channel gets the gain LevelToScale gives its
// level (1/65536 dB; channels not listed stay at 0 dB) and the gain table is passed even when
// every gain is unity; without it no table is passed.
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/platform.h"
#include "engine/format_converter.h"
#include "engine/timing.h"

#include "command.h"
#include "option_parsing.h"
#include "wav_file.h"

namespace tarnhost {

namespace {

constexpr unsigned MaxChunkFrames = 1000000;
constexpr ULONG DefaultChunkMilliseconds = 20;

struct ConvertOptions {
    std::string to;
    std::string levels;
    unsigned chunkFrames = 0;  // 0: the default, 20 ms of the source
    std::string input;
    std::string output;
};

// RATE:BITS:CHANNELS, BITS being the container width.
PcmLayout ParseDestination(const std::string& text)
{
    PcmLayout layout;
    if (!ParseLayout(text, &layout)) {
        throw InputError("--to: '" + text + "' is not " + LayoutSyntax);
    }
    return layout;
}

// L0,L1,... : up to eight signed 32-bit levels in 1/65536 dB.
std::vector<LONG> ParseLevels(const std::string& text)
{
    std::vector<std::string> parts = Split(text, ',');
    if (parts.size() > GainTableEntries) {
        throw InputError("--levels: at most 8 levels, one per channel");
    }
    std::vector<LONG> levels;
    for (const std::string& part : parts) {
        long long level = 0;
        if (!ParseInteger(part, &level) || level < std::numeric_limits<LONG>::min() ||
            level > std::numeric_limits<LONG>::max()) {
            throw InputError("--levels: '" + part + "' is not a level (a 32-bit integer in 1/65536 dB)");
        }
        levels.push_back(static_cast<LONG>(level));
    }
    return levels;
}

void RunConvert(const ConvertOptions& options)
{
    const PcmLayout destinationLayout = ParseDestination(options.to);
    std::vector<ScalePair> gains;
    if (!options.levels.empty()) {
        std::vector<LONG> levels = ParseLevels(options.levels);
        levels.resize(GainTableEntries, 0);
        for (LONG level : levels) {
            gains.push_back(LevelToScale(level));
        }
    }

    WavReader reader(options.input);
    const WAVEFORMATEXTENSIBLE source = FormatOf(reader.Layout());
    const WAVEFORMATEXTENSIBLE destination = FormatOf(destinationLayout);
    FormatConverter converter;
    if (!converter.Setup(&source, &destination)) {
        throw InputError(options.input + ": the converter does not take this format");
    }
    const ULONG sourceFrame = source.Format.nBlockAlign;
    const ULONG destinationFrame = destination.Format.nBlockAlign;
    const size_t chunkFrames = options.chunkFrames != 0
                                   ? options.chunkFrames
                                   : DurationToBytes(&source, DefaultChunkMilliseconds) / sourceFrame;

    WavWriter writer(options.output, destinationLayout);
    std::vector<UCHAR> pending;
    std::vector<UCHAR> converted;
    for (;;) {
        std::vector<UCHAR> piece = reader.ReadFrames(chunkFrames);
        pending.insert(pending.end(), piece.begin(), piece.end());
        // Convert until a call moves nothing: the destination room is only an estimate, and the
        // converter stops early rather than overrun it.
        for (;;) {
            converted.resize(converter.ConvertedSize(static_cast<ULONG>(pending.size()), true) + 2 * destinationFrame);
            ULONG consumed = 0;
            ULONG produced = 0;
            converter.Convert(pending.data(), static_cast<ULONG>(pending.size()), &consumed,
                              gains.empty() ? nullptr : gains.data(), converted.data(),
                              static_cast<ULONG>(converted.size()), &produced);
            writer.Write(converted.data(), produced);
            pending.erase(pending.begin(), pending.begin() + consumed);
            if (consumed == 0 && produced == 0) {
                break;
            }
        }
        if (piece.empty()) {
            break;
        }
    }
    writer.Commit();
}

}  // namespace

void InstallConvertCommand(CLI::App& program)
{
    auto options = std::make_shared<ConvertOptions>();
    CLI::App* command = program.add_subcommand(
        "convert", "Convert a PCM WAV file to another rate, width and channel count as a cable stream would");
    command->add_option("--to", options->to, "Destination format RATE:BITS:CHANNELS (BITS: container width)")
        ->required();
    command->add_option("--levels", options->levels,
                        "Volume levels per source channel in 1/65536 dB, comma-separated (others stay 0)");
    command->add_option("--chunk-frames", options->chunkFrames, "Source frames per Convert call (default 20 ms)")
        ->check(CLI::Range(1u, MaxChunkFrames));
    command->add_option("IN", options->input, "PCM WAV file to read")->required();
    command->add_option("OUT", options->output, "WAV file to write")->required();
    command->callback([options]() { RunConvert(*options); });
}

}  // namespace tarnhost
