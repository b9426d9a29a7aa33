// PCM WAV reading and writing with libsndfile's raw byte interface.
#include "wav_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"

namespace tarnhost {

namespace {

constexpr unsigned MinRate = 8000;
constexpr unsigned MaxRate = 192000;
constexpr unsigned MaxChannels = 8;

// Container bytes of a PCM subtype, or 0 for a subtype that is not plain PCM.
unsigned ContainerBytesOf(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_U8:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
        return 4;
    default:
        return 0;
    }
}

int SubtypeOf(unsigned containerBytes)
{
    switch (containerBytes) {
    case 1:
        return SF_FORMAT_PCM_U8;
    case 2:
        return SF_FORMAT_PCM_16;
    case 3:
        return SF_FORMAT_PCM_24;
    default:
        return SF_FORMAT_PCM_32;
    }
}

}  // namespace

WavReader::WavReader(const std::string& path, bool anyRate) : path_(path)
{
    SF_INFO info = {};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
        throw InputError(path + ": cannot read: " + sf_strerror(nullptr));
    }

    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    std::string problem;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX) {
        problem = "not a WAV file";
    } else if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) {
        problem = "floating-point samples; only PCM is supported";
    } else if (ContainerBytesOf(subtype) == 0) {
        problem = "compressed or unsupported sample encoding; only PCM is supported";
    } else if (anyRate ? info.samplerate <= 0
                       : (info.samplerate < static_cast<int>(MinRate) || info.samplerate > static_cast<int>(MaxRate))) {
        problem = "sample rate " + std::to_string(info.samplerate) + " Hz is outside 8000 to 192000 Hz";
    } else if (info.channels < 1 || info.channels > static_cast<int>(MaxChannels)) {
        problem = std::to_string(info.channels) + " channels is outside 1 to 8";
    }
    if (!problem.empty()) {
        sf_close(file_);
        file_ = nullptr;
        throw InputError(path + ": " + problem);
    }

    layout_.rate = static_cast<unsigned>(info.samplerate);
    layout_.containerBytes = ContainerBytesOf(subtype);
    layout_.channels = static_cast<unsigned>(info.channels);
    framesLeft_ = static_cast<size_t>(info.frames);
}

WavReader::~WavReader()
{
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

std::vector<unsigned char> WavReader::ReadFrames(size_t frames)
{
    frames = std::min(frames, framesLeft_);
    std::vector<unsigned char> bytes(frames * layout_.FrameBytes());
    if (frames == 0) {
        return bytes;
    }
    sf_count_t read = sf_read_raw(file_, bytes.data(), static_cast<sf_count_t>(bytes.size()));
    if (read < 0 || sf_error(file_) != SF_ERR_NO_ERROR) {
        throw InputError(path_ + ": cannot read: " + sf_strerror(file_));
    }
    bytes.resize(static_cast<size_t>(read) - static_cast<size_t>(read) % layout_.FrameBytes());
    framesLeft_ -= bytes.size() / layout_.FrameBytes();
    return bytes;
}

WavWriter::WavWriter(const std::string& path, const PcmLayout& layout) : path_(path)
{
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".tarnhost-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof(suffix));
    int descriptor = mkstemp(name.data());
    if (descriptor < 0) {
        throw InputError(path + ": cannot write: " + std::strerror(errno));
    }
    temporaryPath_ = name.data();
    // mkstemp makes the file private; the result gets the usual permissions of a new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);

    SF_INFO info = {};
    info.samplerate = static_cast<int>(layout.rate);
    info.channels = static_cast<int>(layout.channels);
    const bool extensible = layout.containerBytes > 2 || layout.channels > 2;
    info.format = (extensible ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | SubtypeOf(layout.containerBytes);
    file_ = sf_open_fd(descriptor, SFM_WRITE, &info, SF_TRUE);
    if (file_ == nullptr) {
        std::string reason = sf_strerror(nullptr);
        close(descriptor);
        std::remove(temporaryPath_.c_str());
        throw InputError(path + ": cannot write: " + reason);
    }
}

WavWriter::~WavWriter()
{
    if (file_ != nullptr) {
        sf_close(file_);
    }
    if (!temporaryPath_.empty()) {
        std::remove(temporaryPath_.c_str());
    }
}

void WavWriter::Write(const unsigned char* bytes, size_t count)
{
    if (count != 0 && sf_write_raw(file_, bytes, static_cast<sf_count_t>(count)) != static_cast<sf_count_t>(count)) {
        throw InputError(path_ + ": cannot write: " + sf_strerror(file_));
    }
}

void WavWriter::Commit()
{
    // Closing writes the final header sizes.
    int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        throw InputError(path_ + ": cannot write: " + sf_error_number(closed));
    }
    if (std::rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
        throw InputError(path_ + ": cannot write: " + std::strerror(errno));
    }
    temporaryPath_.clear();
}

}  // namespace tarnhost
