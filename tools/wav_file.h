// PCM WAV files through libsndfile, as raw sample bytes in the file's own container format: the
// bytes the driver's converter takes and produces (little-endian, 8-bit unsigned, 24-bit packed).
#pragma once

#include <sndfile.h>

#include <string>
#include <vector>

namespace tarnhost {

struct PcmLayout {
    unsigned rate = 0;
    unsigned containerBytes = 0;  // 1 to 4
    unsigned channels = 0;
    unsigned FrameBytes() const { return containerBytes * channels; }
};

// A PCM WAV file open for reading (WAVE_FORMAT_PCM, or WAVE_FORMAT_EXTENSIBLE with the PCM
// subformat, in 8-, 16-, 24- or 32-bit containers). Anything else is an InputError that names
// the file and the problem. The rate must be one the driver converts (8000 to 192000 Hz) unless
// the caller lets the cable judge it (anyRate: any rate above 0).
class WavReader {
public:
    explicit WavReader(const std::string& path, bool anyRate = false);
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    const PcmLayout& Layout() const { return layout_; }
    // Frames not yet read, by the header.
    size_t FramesLeft() const { return framesLeft_; }

    // Up to frames whole frames of sample bytes; fewer at the end of the data, none after it.
    std::vector<unsigned char> ReadFrames(size_t frames);

private:
    std::string path_;
    SNDFILE* file_ = nullptr;
    PcmLayout layout_;
    size_t framesLeft_ = 0;  // by the header: raw reads would also return a data chunk's pad byte
};

// A PCM WAV file being written: WAVE_FORMAT_EXTENSIBLE for more than 16 bits or more than two
// channels, WAVE_FORMAT_PCM otherwise. The data goes to a temporary file beside the destination,
// which takes the destination's name only at Commit; until then nothing exists under that name,
// and a writer destroyed without Commit removes its temporary file.
class WavWriter {
public:
    WavWriter(const std::string& path, const PcmLayout& layout);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    void Write(const unsigned char* bytes, size_t count);
    void Commit();

private:
    std::string path_;
    std::string temporaryPath_;
    SNDFILE* file_ = nullptr;
};

}  // namespace tarnhost
