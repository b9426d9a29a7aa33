// Sample sources for played streams.
#include "sample_source.h"

#include <algorithm>
#include <cmath>

namespace tarnhost {

namespace {

class WavSource final : public SampleSource {
public:
    explicit WavSource(const std::string& path) : name_(path), reader_(path, true), frames_(reader_.FramesLeft()) {}
    const std::string& Name() const override { return name_; }
    const PcmLayout& Layout() const override { return reader_.Layout(); }
    uint64_t Frames() const override { return frames_; }
    std::vector<unsigned char> Read(size_t frames) override { return reader_.ReadFrames(frames); }

private:
    std::string name_;
    WavReader reader_;
    uint64_t frames_;
};

constexpr unsigned ToneFrequency = 1000;
constexpr unsigned ToneChannels = 2;
constexpr double ToneLevelDb = -6.0;
constexpr unsigned TonePeriodFrames = ToneRate / ToneFrequency;  // a whole number: one period repeats exactly

class ToneSource final : public SampleSource {
public:
    explicit ToneSource(uint64_t frames) : frames_(frames)
    {
        layout_.rate = ToneRate;
        layout_.containerBytes = 2;
        layout_.channels = ToneChannels;
        const double pi = std::acos(-1.0);
        const double amplitude = 32767.0 * std::pow(10.0, ToneLevelDb / 20.0);
        for (unsigned frame = 0; frame < TonePeriodFrames; ++frame) {
            const long value = std::lround(amplitude * std::sin(2.0 * pi * frame / TonePeriodFrames));
            const auto sample = static_cast<uint16_t>(static_cast<int16_t>(value));
            for (unsigned channel = 0; channel < ToneChannels; ++channel) {
                period_.push_back(static_cast<unsigned char>(sample & 0xFF));
                period_.push_back(static_cast<unsigned char>(sample >> 8));
            }
        }
    }
    const std::string& Name() const override { return name_; }
    const PcmLayout& Layout() const override { return layout_; }
    uint64_t Frames() const override { return frames_; }
    std::vector<unsigned char> Read(size_t frames) override
    {
        if (frames_ != Endless) {
            frames = static_cast<size_t>(std::min<uint64_t>(frames, frames_ - read_));
        }
        std::vector<unsigned char> bytes;
        bytes.reserve(frames * layout_.FrameBytes());
        for (size_t i = 0; i < frames; ++i) {
            const size_t at = static_cast<size_t>((read_ + i) % TonePeriodFrames) * layout_.FrameBytes();
            bytes.insert(bytes.end(), period_.begin() + at, period_.begin() + at + layout_.FrameBytes());
        }
        read_ += frames;
        return bytes;
    }

private:
    std::string name_ = "the test tone";
    PcmLayout layout_;
    uint64_t frames_;
    uint64_t read_ = 0;
    std::vector<unsigned char> period_;  // one period of the sine, all channels
};

}  // namespace

std::unique_ptr<SampleSource> OpenWavSource(const std::string& path)
{
    return std::make_unique<WavSource>(path);
}

std::unique_ptr<SampleSource> MakeToneSource(uint64_t frames)
{
    return std::make_unique<ToneSource>(frames);
}

}  // namespace tarnhost
