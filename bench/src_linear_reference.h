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

// One piece of 16-bit audio through SRC_LINEAR as an application using it with 16-bit samples
// would: to float, resampled, back to 16 bits. Returns the frames it made.
struct SrcLinearPiece {
    SrcLinearPiece(const std::vector<short>& input, unsigned channels, unsigned outputCapacity, double ratio)
        : input_(input), channels_(channels), ratio_(ratio), floatInput_(input.size()),
          floatOutput_(static_cast<size_t>(outputCapacity) * channels), output_(floatOutput_.size())
    {
    }

    long Run(SRC_STATE* state)
    {
        src_short_to_float_array(input_.data(), floatInput_.data(), static_cast<int>(input_.size()));
        SRC_DATA data = {};
        data.data_in = floatInput_.data();
        data.data_out = floatOutput_.data();
        data.input_frames = static_cast<long>(input_.size() / channels_);
        data.output_frames = static_cast<long>(floatOutput_.size() / channels_);
        data.src_ratio = ratio_;
        src_process(state, &data);
        src_float_to_short_array(floatOutput_.data(), output_.data(),
                                 static_cast<int>(data.output_frames_gen * static_cast<long>(channels_)));
        return data.output_frames_gen;
    }

    const short* Output() const { return output_.data(); }

private:
    const std::vector<short>& input_;
    unsigned channels_;
    double ratio_;
    std::vector<float> floatInput_;
    std::vector<float> floatOutput_;
    std::vector<short> output_;
};

// CPU seconds for one second of 16-bit stereo audio through each resampling, on `streams` streams
// of each.
inline double SrcLinearSeconds(const std::vector<Resampling>& work, unsigned streams)
{
    constexpr int Channels = 2;
    constexpr unsigned PieceMs = 20;
    double total = 0;
    for (const Resampling& resampling : work) {
        const unsigned inputFrames = resampling.from * PieceMs / 1000;
        std::vector<short> input(static_cast<size_t>(inputFrames) * Channels);
        for (size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<short>(20000 * std::sin(0.0713 * static_cast<double>(i / Channels) + i % 2));
        }
        SrcLinearPiece piece(input, Channels, resampling.to * PieceMs / 1000 + 16,
                             static_cast<double>(resampling.to) / resampling.from);
        std::vector<SRC_STATE*> states(streams);
        int error = 0;
        for (SRC_STATE*& state : states) {
            state = src_new(SRC_LINEAR, Channels, &error);
        }
        const double start = ThreadCpuSeconds();
        for (unsigned round = 0; round < 1000 / PieceMs; ++round) {
            for (SRC_STATE* state : states) {
                piece.Run(state);
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
