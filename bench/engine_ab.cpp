// Two versions of the engine timed in one process. Code under measurement keeps its old version
// and its new one side by side, chosen by ENGINE_VARIANT() (core/platform.h); this tool runs the
// streaming scenario (streaming_scenario.h) and alternates the variants every slice of audio in
// A B B A order, timing each slice with the thread's CPU clock. Other work on a shared machine
// slows both variants alike, so the ratio holds where absolute figures wander. With nothing
// under measurement both variants are the same code, and the ratio shows the harness's own noise.
//
//   engine_ab [--cables 256] [--first44k 1] [--bufferms 10] [--seconds 10]
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "host/harness.h"
#include "src_linear_reference.h"
#include "streaming_scenario.h"

namespace {

constexpr ULONGLONG Second = 10000000;  // 100-ns units

struct Options {
    unsigned cables = 256;
    bool firstRender44k = true;
    unsigned bufferMs = 10;
    unsigned seconds = 10;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return (values.size() % 2 != 0) ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int Run(const Options& options)
{
    StreamingScenario scenario(options.cables, options.firstRender44k, options.bufferMs);
    const ULONGLONG step = scenario.Step();
    auto slice = [&](LONG variant) {
        host::SetEngineVariant(variant);
        scenario.TopUp();
        const double start = ThreadCpuSeconds();
        host::AdvanceTime(step);
        return ThreadCpuSeconds() - start;
    };
    // One second of each untimed: the clients' buffers come from memory already mapped after it.
    for (ULONGLONG elapsed = 0; elapsed < Second; elapsed += 2 * step) {
        slice(0);
        slice(1);
    }
    // Each block is one second of audio per variant; a block's ratio is one sample of B / A.
    const ULONGLONG slicesPerBlock = Second / step;
    double total[2] = {0, 0};
    std::vector<double> ratios;
    for (unsigned block = 0; block < options.seconds; ++block) {
        double spent[2] = {0, 0};
        for (ULONGLONG round = 0; round < slicesPerBlock / 2; ++round) {
            for (LONG variant : {0, 1, 1, 0}) {
                spent[variant] += slice(variant);
            }
        }
        total[0] += spent[0];
        total[1] += spent[1];
        ratios.push_back(spent[1] / spent[0]);
        std::fprintf(stderr, "second %u: A %.1f ms, B %.1f ms, B/A %.3f\n", block + 1, 1e3 * spent[0],
                     1e3 * spent[1], ratios.back());
    }
    host::SetEngineVariant(0);
    const double seconds = options.seconds;
    const double srcLinear = SrcLinearSeconds(ScenarioResampling(options.firstRender44k), options.cables);
    std::printf("%u cables, cable at %u Hz, 16-bit stereo, %u-ms client buffers, %u s of audio per variant\n",
                options.cables, options.firstRender44k ? 44100 : 48000, options.bufferMs, options.seconds);
    std::printf("A: %.1f ms CPU per second of audio\n", 1e3 * total[0] / seconds);
    std::printf("B: %.1f ms CPU per second of audio\n", 1e3 * total[1] / seconds);
    std::printf("B/A: median %.3f, range %.3f..%.3f over %zu seconds\n", Median(ratios),
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
                ratios.size());
    std::printf("SRC_LINEAR, the same resampling alone: %.1f ms\n", 1e3 * srcLinear);
    std::printf("chunks %llu, of which capture conversions shared %llu\n",
                static_cast<unsigned long long>(scenario.Chunks()),
                static_cast<unsigned long long>(scenario.SharedConversions()));
    std::printf("underflows %ld, overflows %ld\n", static_cast<long>(scenario.Underflows()),
                static_cast<long>(scenario.Overflows()));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    CLI::App app{"Times two versions of the engine in one process, alternated every slice of audio"};
    app.add_option("--cables", options.cables, "Cables streaming")->check(CLI::Range(1, 256));
    app.add_option("--first44k", options.firstRender44k,
                   "The 44100 Hz render client starts first and fixes the cable format");
    app.add_option("--bufferms", options.bufferMs, "Client buffer length and slice length, in milliseconds")
        ->check(CLI::IsMember({5u, 10u, 20u}));
    app.add_option("--seconds", options.seconds, "Seconds of audio per variant")->check(CLI::Range(1, 600));
    CLI11_PARSE(app, argc, argv);
    return Run(options);
}
