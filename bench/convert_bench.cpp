// The engine's sample conversion and mixing beside peers in one run: libsamplerate's linear
// converter with 16-bit input and output (its own conversions to and from float included),
// speexdsp's resampler at qualities 0 and 3, and memcpy of the same bytes. Each benchmark moves
// 20 ms of source audio per iteration, carrying its state on as a stream would, and reports the
// time per output frame (counter time_per_frame); a table at the end gives each one's time per
// frame against its baseline: SRC_LINEAR for conversions, memcpy of the same bytes for the mixes.
// With repetitions the table takes each benchmark's fastest one.
//
//   ninja -C <build> convert_bench && <build>/bench/convert_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/platform.h"
#include "engine/format_converter.h"
#include "engine/mix.h"
#include "src_linear_reference.h"

namespace {

constexpr ULONG ChunkMilliseconds = 20;

struct ConversionCase {
    const char* name;
    ULONG sourceRate;
    ULONG sourceWidth;
    ULONG sourceChannels;
    ULONG destinationRate;
    ULONG destinationWidth;
    ULONG destinationChannels;
};

const ConversionCase ConversionCases[] = {
    {"44100to48000_s16_stereo", 44100, 2, 2, 48000, 2, 2},
    {"48000to44100_s16_stereo", 48000, 2, 2, 44100, 2, 2},
    {"44100to48000_s16_mono", 44100, 2, 1, 48000, 2, 1},
    {"96000to48000_s16_stereo", 96000, 2, 2, 48000, 2, 2},
    {"48000_s16to24_stereo", 48000, 2, 2, 48000, 3, 2},
    {"48000_s16_stereo_to_mono", 48000, 2, 2, 48000, 2, 1},
};

// Each benchmark with its baseline for the closing table, in registration order.
std::vector<std::pair<std::string, std::string>>& Baselines()
{
    static std::vector<std::pair<std::string, std::string>> baselines;
    return baselines;
}

void ReportFrames(benchmark::State& state, double frames)
{
    state.counters["time_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

WAVEFORMATEXTENSIBLE Pcm(ULONG rate, ULONG width, ULONG channels)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, rate, 8 * width, channels, width, UseDefaultChannelMask);
    return format;
}

// A 997 Hz tone with a little noise at three quarters of full scale: realistic, not silence.
std::vector<int16_t> TestSignal(ULONG frames, ULONG channels, ULONG rate)
{
    std::vector<int16_t> samples(static_cast<size_t>(frames) * channels);
    std::mt19937 noise(1);
    for (ULONG frame = 0; frame < frames; ++frame) {
        for (ULONG channel = 0; channel < channels; ++channel) {
            double phase = 2 * 3.14159265358979 * 997.0 * frame / rate + channel;
            samples[frame * channels + channel] =
                static_cast<int16_t>(24000 * __builtin_sin(phase) + static_cast<int>(noise() % 512) - 256);
        }
    }
    return samples;
}

std::vector<UCHAR> SignalBytes(ULONG frames, ULONG width, ULONG channels, ULONG rate)
{
    std::vector<int16_t> samples = TestSignal(frames, channels, rate);
    std::vector<UCHAR> bytes;
    for (int16_t sample : samples) {
        uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(sample) << 16);
        for (ULONG i = 0; i < width; ++i) {
            bytes.push_back(static_cast<UCHAR>(bits >> (32 - 8 * width + 8 * i)));
        }
    }
    return bytes;
}

ULONG ChunkFrames(ULONG rate)
{
    return rate * ChunkMilliseconds / 1000;
}

void EngineConvert(benchmark::State& state, ConversionCase c, bool withGains)
{
    WAVEFORMATEXTENSIBLE from = Pcm(c.sourceRate, c.sourceWidth, c.sourceChannels);
    WAVEFORMATEXTENSIBLE to = Pcm(c.destinationRate, c.destinationWidth, c.destinationChannels);
    FormatConverter converter;
    if (!converter.Setup(&from, &to)) {
        state.SkipWithError("Setup refused the formats");
        return;
    }
    ScalePair gains[GainTableEntries];
    for (ScalePair& gain : gains) {
        gain = LevelToScale(-6 * 65536);
    }
    const std::vector<UCHAR> source = SignalBytes(ChunkFrames(c.sourceRate), c.sourceWidth, c.sourceChannels,
                                                  c.sourceRate);
    std::vector<UCHAR> destination(converter.ConvertedSize(static_cast<ULONG>(source.size()), true) +
                                   2 * to.Format.nBlockAlign);
    double frames = 0;
    for (auto _ : state) {
        ULONG consumed = 0;
        ULONG produced = 0;
        converter.Convert(source.data(), static_cast<ULONG>(source.size()), &consumed, withGains ? gains : nullptr,
                          destination.data(), static_cast<ULONG>(destination.size()), &produced);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
        frames += produced / to.Format.nBlockAlign;
    }
    ReportFrames(state, frames);
}

void SrcLinear(benchmark::State& state, ConversionCase c)
{
    int error = 0;
    SRC_STATE* resampler = src_new(SRC_LINEAR, static_cast<int>(c.sourceChannels), &error);
    if (resampler == nullptr) {
        state.SkipWithError(src_strerror(error));
        return;
    }
    const std::vector<int16_t> input = TestSignal(ChunkFrames(c.sourceRate), c.sourceChannels, c.sourceRate);
    SrcLinearPiece piece(input, c.sourceChannels, ChunkFrames(c.destinationRate) + 16,
                         static_cast<double>(c.destinationRate) / c.sourceRate);
    double frames = 0;
    for (auto _ : state) {
        const long made = piece.Run(resampler);
        benchmark::DoNotOptimize(piece.Output());
        benchmark::ClobberMemory();
        frames += made;
    }
    src_delete(resampler);
    ReportFrames(state, frames);
}

void Speex(benchmark::State& state, ConversionCase c, int quality)
{
    int error = 0;
    SpeexResamplerState* resampler =
        speex_resampler_init(c.sourceChannels, c.sourceRate, c.destinationRate, quality, &error);
    if (resampler == nullptr) {
        state.SkipWithError(speex_resampler_strerror(error));
        return;
    }
    const ULONG inputFrames = ChunkFrames(c.sourceRate);
    const ULONG outputCapacity = ChunkFrames(c.destinationRate) + 16;
    const std::vector<int16_t> input = TestSignal(inputFrames, c.sourceChannels, c.sourceRate);
    std::vector<int16_t> output(static_cast<size_t>(outputCapacity) * c.sourceChannels);
    double frames = 0;
    for (auto _ : state) {
        spx_uint32_t inputLength = inputFrames;
        spx_uint32_t outputLength = outputCapacity;
        speex_resampler_process_interleaved_int(resampler, input.data(), &inputLength, output.data(), &outputLength);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
        frames += outputLength;
    }
    speex_resampler_destroy(resampler);
    ReportFrames(state, frames);
}

// memcpy of the bytes that frames of the destination format occupy.
void Memcpy(benchmark::State& state, ULONG outputFrames, ULONG blockAlign)
{
    std::vector<UCHAR> source(static_cast<size_t>(outputFrames) * blockAlign, 0x5A);
    std::vector<UCHAR> destination(source.size());
    double frames = 0;
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
        frames += outputFrames;
    }
    ReportFrames(state, frames);
}

// Mixes 20 ms of 48 kHz stereo; the source and its negation alternate so the mix buffer stays
// away from the bounds and every iteration does the same work.
void Mix(benchmark::State& state, ULONG width)
{
    const ULONG frames = ChunkFrames(48000);
    WAVEFORMATEXTENSIBLE cable = Pcm(48000, width, 2);
    std::vector<UCHAR> mix = SignalBytes(frames, width, 2, 48000);
    std::vector<UCHAR> add = SignalBytes(frames, width, 2, 44100);
    std::vector<UCHAR> subtract(add.size());
    for (size_t at = 0; at < add.size(); at += width) {
        // Two's complement negation of each sample (8-bit: reflection about 0x80).
        if (width == 1) {
            subtract[at] = static_cast<UCHAR>(0x100 - add[at]);
            continue;
        }
        unsigned carry = 1;
        for (ULONG i = 0; i < width; ++i) {
            unsigned value = static_cast<UCHAR>(~add[at + i]) + carry;
            subtract[at + i] = static_cast<UCHAR>(value);
            carry = value >> 8;
        }
    }
    bool negate = false;
    double mixed = 0;
    for (auto _ : state) {
        MixIntoBuffer(&cable, mix.data(), negate ? subtract.data() : add.data(), static_cast<ULONG>(mix.size()));
        negate = !negate;
        benchmark::DoNotOptimize(mix.data());
        benchmark::ClobberMemory();
        mixed += frames;
    }
    ReportFrames(state, mixed);
}

void Scale(benchmark::State& state, ULONG width)
{
    const ULONG frames = ChunkFrames(48000);
    WAVEFORMATEXTENSIBLE cable = Pcm(48000, width, 2);
    const std::vector<UCHAR> signal = SignalBytes(frames, width, 2, 48000);
    std::vector<UCHAR> buffer = signal;
    ScalePair gains[GainTableEntries];
    for (ScalePair& gain : gains) {
        gain = LevelToScale(-6 * 65536);
    }
    double scaled = 0;
    for (auto _ : state) {
        ScaleBuffer(buffer.data(), static_cast<ULONG>(buffer.size()), &cable, gains);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
        scaled += frames;
    }
    ReportFrames(state, scaled);
}

void Register(const std::string& name, const std::string& baseline, std::function<void(benchmark::State&)> body)
{
    benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) { body(state); });
    Baselines().emplace_back(name, baseline);
}

void RegisterAll()
{
    for (const ConversionCase& c : ConversionCases) {
        const std::string name = c.name;
        const std::string baseline = "SrcLinear/" + name;
        Register("Convert/" + name, baseline, [c](benchmark::State& s) { EngineConvert(s, c, false); });
        Register("Convert/" + name + "/gain", baseline, [c](benchmark::State& s) { EngineConvert(s, c, true); });
        Register("SrcLinear/" + name, baseline, [c](benchmark::State& s) { SrcLinear(s, c); });
        Register("Speex0/" + name, baseline, [c](benchmark::State& s) { Speex(s, c, 0); });
        Register("Speex3/" + name, baseline, [c](benchmark::State& s) { Speex(s, c, 3); });
        const ULONG outputFrames = ChunkFrames(c.destinationRate);
        const ULONG blockAlign = c.destinationWidth * c.destinationChannels;
        Register("Memcpy/" + name, baseline,
                 [outputFrames, blockAlign](benchmark::State& s) { Memcpy(s, outputFrames, blockAlign); });
    }
    for (ULONG width = 1; width <= 4; ++width) {
        const std::string bits = std::to_string(8 * width) + "bit_stereo";
        const std::string baseline = "Memcpy/mix_" + bits;
        Register(baseline, baseline, [width](benchmark::State& s) { Memcpy(s, ChunkFrames(48000), 2 * width); });
        Register("MixIntoBuffer/" + bits, baseline, [width](benchmark::State& s) { Mix(s, width); });
        Register("ScaleBuffer/" + bits, baseline, [width](benchmark::State& s) { Scale(s, width); });
    }
}

// The console output, then a table of time per output frame against each benchmark's baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto counter = run.counters.find("time_per_frame");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && counter != run.counters.end()) {
                // The fastest repetition: on a shared machine the slower ones measure the neighbours.
                double nanoseconds = counter->second.value * 1e9;
                auto found = measures_.find(run.benchmark_name());
                if (found == measures_.end() || nanoseconds < found->second) {
                    measures_[run.benchmark_name()] = nanoseconds;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        std::printf("\n%-44s %12s   %s\n", "benchmark", "ns/frame", "time relative to baseline");
        for (const auto& [name, baseline] : Baselines()) {
            auto own = measures_.find(name);
            auto base = measures_.find(baseline);
            if (own == measures_.end()) {
                continue;
            }
            double nanoseconds = own->second;
            if (base == measures_.end() || name == baseline) {
                std::printf("%-44s %12.3f   (baseline)\n", name.c_str(), nanoseconds);
                continue;
            }
            double ratio = nanoseconds / base->second;
            std::printf("%-44s %12.3f   %6.3f of %s: %.2fx as fast\n", name.c_str(), nanoseconds, ratio,
                        baseline.c_str(), 1.0 / ratio);
        }
        ConsoleReporter::Finalize();
    }

private:
    std::map<std::string, double> measures_;  // nanoseconds per frame
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RegisterAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
