// The peer figure the engine benchmarks print beside their own: the CPU time libsamplerate's
// linear converter (SRC_LINEAR, with 16-bit samples in and out, its conversions to and from float
// included) takes for the same resampling work, one second of audio per stream, in the 20-ms
// pieces a stream hands over, with each stream's state carried on.
#pragma once

#include <samplerate.h>

#include <cmath>
#include <ctime>
#include <vector>

struct Resampling {
    unsigned from;
    unsigned to;
};

inline double ThreadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// CPU seconds for one second of 16-bit stereo audio through each resampling, on `streams` streams
// of each.
inline double SrcLinearSeconds(const std::vector<Resampling>& work, unsigned streams)
{
    constexpr int Channels = 2;
    constexpr unsigned PieceMs = 20;
    double total = 0;
    for (const Resampling& resampling : work) {
        const unsigned inputFrames = resampling.from * PieceMs / 1000;
        const unsigned outputCapacity = resampling.to * PieceMs / 1000 + 16;
        std::vector<short> input(static_cast<size_t>(inputFrames) * Channels);
        for (size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<short>(20000 * std::sin(0.0713 * static_cast<double>(i / Channels) + i % 2));
        }
        std::vector<float> floatInput(input.size());
        std::vector<float> floatOutput(static_cast<size_t>(outputCapacity) * Channels);
        std::vector<short> output(floatOutput.size());
        std::vector<SRC_STATE*> states(streams);
        int error = 0;
        for (SRC_STATE*& state : states) {
            state = src_new(SRC_LINEAR, Channels, &error);
        }
        const double start = ThreadCpuSeconds();
        for (unsigned piece = 0; piece < 1000 / PieceMs; ++piece) {
            for (SRC_STATE* state : states) {
                src_short_to_float_array(input.data(), floatInput.data(), static_cast<int>(input.size()));
                SRC_DATA data = {};
                data.data_in = floatInput.data();
                data.data_out = floatOutput.data();
                data.input_frames = inputFrames;
                data.output_frames = outputCapacity;
                data.src_ratio = static_cast<double>(resampling.to) / resampling.from;
                src_process(state, &data);
                src_float_to_short_array(floatOutput.data(), output.data(),
                                         static_cast<int>(data.output_frames_gen * Channels));
            }
        }
        total += ThreadCpuSeconds() - start;
        for (SRC_STATE* state : states) {
            src_delete(state);
        }
    }
    return total;
}

// The resampling the streaming scenario asks of a cable: with the 44100 Hz render client first
// the cable runs at 44100 Hz (one 48000 Hz render stream and two 48000 Hz capture streams
// resampled), else at 48000 Hz (the 44100 Hz render stream alone).
inline std::vector<Resampling> ScenarioResampling(bool firstRender44k)
{
    if (firstRender44k) {
        return {{48000, 44100}, {44100, 48000}, {44100, 48000}};
    }
    return {{44100, 48000}};
}
