// Running the built tarnhost program from tests, and WAV files made and read with libsndfile.
#pragma once

#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tool_test {

// A fresh directory for one test, removed with everything in it afterwards.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnhost-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
};

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Reproducible random bytes for test files.
inline std::vector<unsigned char> RandomBytes(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(generator());
    }
    return bytes;
}

// One line ended by its newline: how tarnhost reports bad input.
inline bool IsOneLine(const std::string& text)
{
    return !text.empty() && text.back() == '\n' && std::count(text.begin(), text.end(), '\n') == 1;
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs tarnhost with the arguments (each passed as one word) and collects its exit status and
// output streams.
inline ToolResult RunTarnhost(const ScratchDirectory& scratch, const std::vector<std::string>& arguments)
{
    std::string command = std::string("'") + TARN_TOOLS_DIR + "/tarnhost'";
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    const std::string outPath = scratch.File("stdout.txt");
    const std::string errPath = scratch.File("stderr.txt");
    command += " >'" + outPath + "' 2>'" + errPath + "'";
    ToolResult result;
    int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return result;
}

inline SNDFILE* CreateSoundFile(const std::string& path, int format, int rate, int channels)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw std::runtime_error(std::string("cannot create test file: ") + sf_strerror(nullptr));
    }
    return file;
}

// Writes raw sample bytes (little-endian, 8-bit unsigned) as a sound file of the given libsndfile
// format.
inline void WriteSoundFile(const std::string& path, int format, int rate, int channels,
                           const std::vector<unsigned char>& bytes)
{
    SNDFILE* file = CreateSoundFile(path, format, rate, channels);
    sf_write_raw(file, bytes.data(), static_cast<sf_count_t>(bytes.size()));
    sf_close(file);
}

// Float samples encoded by libsndfile, for the file kinds the tool refuses.
inline void WriteFloatFile(const std::string& path, int format, int rate, int channels, size_t frames)
{
    SNDFILE* file = CreateSoundFile(path, format, rate, channels);
    std::vector<float> samples(frames * channels, 0.25f);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
}

struct SoundFile {
    SF_INFO info = {};
    std::vector<unsigned char> bytes;  // the sample data as stored
    unsigned formatTag = 0;            // wFormatTag of the fmt chunk
    unsigned bitsPerSample = 0;
};

inline SoundFile ReadSoundFile(const std::string& path)
{
    SoundFile sound;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
    if (file == nullptr) {
        throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    }
    // libsndfile reads raw data in whole frames only: 24 bytes per channel hold whole samples
    // of every container width.
    std::vector<unsigned char> chunk(static_cast<size_t>(sound.info.channels) * 24 * 4096);
    for (;;) {
        sf_count_t read = sf_read_raw(file, chunk.data(), static_cast<sf_count_t>(chunk.size()));
        if (read <= 0) {
            break;
        }
        sound.bytes.insert(sound.bytes.end(), chunk.begin(), chunk.begin() + read);
    }
    sf_close(file);
    // Only the frames the header counts: an odd-sized data chunk is followed by a pad byte.
    size_t width = 0;
    switch (sound.info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8:
        width = 1;
        break;
    case SF_FORMAT_PCM_16:
        width = 2;
        break;
    case SF_FORMAT_PCM_24:
        width = 3;
        break;
    default:
        width = 4;
        break;
    }
    sound.bytes.resize(std::min(sound.bytes.size(), static_cast<size_t>(sound.info.frames) * sound.info.channels * width));

    const std::string header = ReadText(path);
    size_t fmt = header.find("fmt ");
    if (fmt != std::string::npos && fmt + 24 <= header.size()) {
        auto word = [&](size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(header[at])) |
                   static_cast<unsigned>(static_cast<unsigned char>(header[at + 1])) << 8;
        };
        sound.formatTag = word(fmt + 8);
        sound.bitsPerSample = word(fmt + 22);
    }
    return sound;
}

}  // namespace tool_test
