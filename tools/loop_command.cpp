// tarnhost loop: starts the driver as Windows does and runs one of its cables on the virtual clock
// with applications around it: players feeding render clients from WAV files, recorders writing
// what capture clients receive to WAV files, and the figures the control panel shows for the cable.
//
//   tarnhost loop [--play FILE.wav]... [--record OUT.wav:RATE:BITS:CHANNELS]... [--seconds S]
//                 [--period-ms N] [--cable N] [--registry FILE] [--volume DB] [--mute]
//                 [--stream-volume DB]
//
// --volume and --mute set the cable's line out through its topology filter's nodes, and
// --stream-volume each player's stream through the wave filter, as the system's volume controls
// do. They change the sound only while the cable's "Volume control" is on: a fresh registry turns
// it on when any of them is given; with --registry the file decides (tarnhost ctl switches it).
//
// The device starts from the registry file (created with the defaults when absent, saved back at
// the end) or from a fresh registry in which the cable's range is every format the driver converts
// (8000-192000 Hz, 8-32 bits, 1-8 channels), so the first player's format becomes the cable's; the
// clients open the cable's wave filter ("wave1" for cable 1) by name. --period-ms is stored as the
// cable's setting before the start.
//
// Every client is opened, supplied and put into KSSTATE_RUN (players first, in the order given,
// then recorders) before the clock moves, so frame 0 of every file is cable frame 0 and the
// first player's format becomes the cable format. A recording holds exactly S seconds of its
// own format (rounded to the nearest frame); without --seconds the run lasts until the longest
// played file has been played. A player whose file ends before the run does pauses its stream,
// as an application that has finished playing does. With no --play, a 1 kHz tone at -6 dBFS
// (48000 Hz 16-bit stereo) plays: for the whole run, or 10 seconds without --seconds.
//
// On stdout at the end: the cable time run, the streams (the adapter's live streams, with the
// cable's render and capture streams), the cable format, the cable's rate in frames per second of
// system time (its clock correction shows there), underflows, overflows, and each file recorded.
// On stderr while it runs: a progress line every second of cable time, rewritten in place on a
// terminal. Bad input exits with status 2 before the driver runs and leaves no file;
// pool still allocated after the cable is taken down exits with status 1.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/harness.h"

#include "command.h"
#include "driver_session.h"
#include "host_cable.h"
#include "loop_clients.h"
#include "option_parsing.h"

namespace tarnhost {

namespace {

constexpr ULONGLONG Millisecond = 10000;  // interrupt-time units
constexpr ULONGLONG Second = 1000 * Millisecond;
// The clients are served between steps of this much cable time: well inside QueueAheadMs.
constexpr ULONGLONG ClockStep = 10 * Millisecond;
// A capture stream delivers each chunk a pass late and the converter reads a frame ahead, so
// the recordings complete a little after the run; this long after it they are overdue.
constexpr ULONGLONG RecordingGrace = 2 * Second;
constexpr double MaxSeconds = 24 * 3600;
constexpr uint64_t ToneSecondsWithoutRunLength = 10;

// The range a cable of a fresh registry is given: every format the driver converts, so that the
// first player's format becomes the cable format.
struct CableSetting {
    const char* name;
    ULONG value;
};
constexpr CableSetting AnyFormat[] = {
    {"Minimum sampling rate", 8000},    {"Maximum sampling rate", 192000},   {"Minimum bits per sample", 8},
    {"Maximum bits per sample", 32},    {"Minimum number of channels", 1},   {"Maximum number of channels", 8},
};

constexpr double NoVolume = 1;  // above any volume the options accept

struct LoopOptions {
    std::vector<std::string> plays;
    std::vector<std::string> records;
    double seconds = 0;  // 0: as long as the longest played file
    unsigned periodMs = 0;  // 0: as the registry says
    unsigned cable = 1;
    std::string registryFile;  // empty: a fresh registry
    double volumeDb = NoVolume;        // the line out's, on the topology filter
    bool mute = false;
    double streamVolumeDb = NoVolume;  // each render client's, on the wave filter
    bool VolumeGiven() const { return volumeDb != NoVolume || mute || streamVolumeDb != NoVolume; }
};

// 1/65536 dB, as the volume nodes take it.
LONG Level(double db)
{
    return static_cast<LONG>(std::lround(db * 65536));
}

struct RecordSpec {
    std::string path;
    PcmLayout layout;
};

// OUT.wav:RATE:BITS:CHANNELS; the path may hold colons of its own.
RecordSpec ParseRecordSpec(const std::string& text)
{
    std::vector<std::string> parts = Split(text, ':');
    RecordSpec spec;
    bool parsed = parts.size() >= 4;
    if (parsed) {
        const size_t pathParts = parts.size() - 3;
        for (size_t i = 0; i < pathParts; ++i) {
            spec.path += (i == 0 ? "" : ":") + parts[i];
        }
        parsed = !spec.path.empty() &&
                 ParseLayout(parts[pathParts] + ":" + parts[pathParts + 1] + ":" + parts[pathParts + 2], &spec.layout);
    }
    if (!parsed) {
        throw InputError("--record: '" + text + "' is not OUT.wav:" + LayoutSyntax);
    }
    return spec;
}

// No file may be recorded twice, or recorded over while it plays.
void CheckDistinctFiles(const std::vector<std::string>& plays, const std::vector<RecordSpec>& records)
{
    auto identity = [](const std::string& path) {
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
        std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ignored);
        return resolved.empty() ? absolute.lexically_normal() : resolved;
    };
    std::set<std::filesystem::path> played;
    for (const std::string& path : plays) {
        played.insert(identity(path));
    }
    std::set<std::filesystem::path> recorded;
    for (const RecordSpec& spec : records) {
        const std::filesystem::path file = identity(spec.path);
        if (played.count(file) != 0) {
            throw InputError("--record: " + spec.path + " is also played");
        }
        if (!recorded.insert(file).second) {
            throw InputError("--record: " + spec.path + " is recorded twice");
        }
    }
}

// "48000 Hz 16-bit 2 ch", the valid bits as the control panel shows them.
std::string DescribeFormat(const WAVEFORMATEXTENSIBLE& format)
{
    if (format.Format.wFormatTag == 0) {
        return "none";
    }
    return std::to_string(format.Format.nSamplesPerSec) + " Hz " + std::to_string(format.Samples.wValidBitsPerSample) +
           "-bit " + std::to_string(format.Format.nChannels) + " ch";
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Seconds(ULONGLONG interruptTime)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f s", static_cast<double>(interruptTime) / Second);
    return text;
}

std::string Rate(double framesPerSecond)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", framesPerSecond);
    return text;
}

// frames × numerator / denominator, rounded up, without overflow.
uint64_t ScaleUp(uint64_t frames, uint64_t numerator, uint64_t denominator)
{
    const unsigned __int128 product = static_cast<unsigned __int128>(frames) * numerator;
    return static_cast<uint64_t>((product + denominator - 1) / denominator);
}

// The progress line: every virtual second, rewritten in place on a terminal.
class Progress {
public:
    explicit Progress(ULONGLONG runTime) : runTime_(runTime), terminal_(isatty(STDERR_FILENO) != 0) {}

    void Update(ULONGLONG elapsed, const HostCable& cable)
    {
        if ((elapsed < nextReport_ && elapsed < runTime_) || reported_ >= runTime_) {
            return;
        }
        reported_ = std::min(elapsed, runTime_);
        nextReport_ = (elapsed / Second + 1) * Second;
        std::ostringstream line;
        line << "tarnhost loop: " << Seconds(reported_) << " of " << Seconds(runTime_) << ", streams "
             << cable.LiveStreams() << ", underflows " << cable.Underflows() << ", overflows " << cable.Overflows();
        std::string text = line.str();
        if (terminal_) {
            // Blank out whatever a longer line before left behind.
            const size_t length = text.size();
            text.resize(std::max(length, shownLength_), ' ');
            shownLength_ = length;
            std::cerr << "\r" << text << std::flush;
        } else {
            std::cerr << text << "\n";
        }
        shown_ = true;
    }
    void End()
    {
        if (terminal_ && shown_) {
            std::cerr << "\n";
        }
    }

private:
    ULONGLONG runTime_;
    bool terminal_;
    ULONGLONG nextReport_ = Second;
    ULONGLONG reported_ = 0;
    bool shown_ = false;
    size_t shownLength_ = 0;
};

// How many units of a rate the run lasts: --seconds, rounded to the nearest unit, or until the
// longest played file has been played, rounded up. Frames of a recording, or interrupt-time
// units at Second per second.
uint64_t RunLength(const LoopOptions& options, const std::vector<Player>& players, uint64_t unitsPerSecond)
{
    if (options.seconds != 0) {
        return static_cast<uint64_t>(std::llround(options.seconds * static_cast<double>(unitsPerSecond)));
    }
    uint64_t length = 0;
    for (const Player& player : players) {
        length = std::max(length, ScaleUp(player.Source().Frames(), unitsPerSecond, player.Source().Layout().rate));
    }
    return length;
}

host::WaveClient* OpenClient(HostCable& cable, bool capture, const WAVEFORMATEXTENSIBLE& format,
                             const std::string& name)
{
    NTSTATUS status = STATUS_SUCCESS;
    host::WaveClient* client = cable.Open(capture, format, &status);
    if (client == nullptr) {
        throw InputError(name + ": the cable refused " + DescribeFormat(format) + " (status " + StatusText(status) +
                         "); its " + (capture ? "capture" : "render") + " pin takes " +
                         cable.AcceptedFormats(capture));
    }
    return client;
}

void RunLoop(const LoopOptions& options)
{
    // Everything the user gave is checked, and every output started, before the driver runs.
    std::vector<RecordSpec> specs;
    for (const std::string& text : options.records) {
        specs.push_back(ParseRecordSpec(text));
    }
    CheckDistinctFiles(options.plays, specs);
    std::vector<Player> players;
    for (const std::string& path : options.plays) {
        players.emplace_back(OpenWavSource(path));
    }
    if (players.empty()) {
        players.emplace_back(MakeToneSource(options.seconds != 0 ? SampleSource::Endless
                                                                 : ToneSecondsWithoutRunLength * ToneRate));
    }
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const RecordSpec& spec : specs) {
        recorders.push_back(std::make_unique<Recorder>(spec.path, spec.layout));
        recorders.back()->SetTargetFrames(RunLength(options, players, spec.layout.rate));
    }
    const ULONGLONG runTime = RunLength(options, players, Second);

    // Every client opened and supplied, then all into KSSTATE_RUN in that order at the same
    // instant of the virtual clock, before its first tick.
    DriverSession session(options.registryFile);
    if (options.registryFile.empty()) {
        for (const CableSetting& setting : AnyFormat) {
            session.SetCableValue(options.cable, setting.name, setting.value);
        }
        if (options.VolumeGiven()) {
            session.SetCableValue(options.cable, "Volume control", 1);
        }
    }
    if (options.periodMs != 0) {
        session.SetCableValue(options.cable, "Milliseconds per interrupt", options.periodMs);
    }
    session.Boot();
    HostCable cable(session, options.cable);
    if (options.volumeDb != NoVolume || options.mute) {
        cable.SetLineOut(Level(options.volumeDb != NoVolume ? options.volumeDb : 0), options.mute);
    }
    for (Player& player : players) {
        player.Attach(OpenClient(cable, false, player.Format(), player.Source().Name()));
        if (options.streamVolumeDb != NoVolume) {
            cable.SetStreamVolume(player.Client(), Level(options.streamVolumeDb));
        }
        player.Pump();
    }
    for (const std::unique_ptr<Recorder>& recorder : recorders) {
        recorder->Attach(OpenClient(cable, true, recorder->Format(), recorder->Path()));
        recorder->Pump();
    }
    for (host::WaveClient* client : cable.Clients()) {
        NTSTATUS status = client->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status)) {
            throw DriverFault("a client could not start: status " + std::to_string(status));
        }
    }

    Progress progress(runTime);
    ULONGLONG elapsed = 0;
    auto recordingsComplete = [&recorders]() {
        return std::all_of(recorders.begin(), recorders.end(),
                           [](const std::unique_ptr<Recorder>& recorder) { return recorder->Complete(); });
    };
    while (elapsed < runTime || !recordingsComplete()) {
        if (elapsed >= runTime + RecordingGrace) {
            throw DriverFault("the recordings were still short " + Seconds(RecordingGrace) + " after the run");
        }
        host::AdvanceTime(ClockStep);
        elapsed += ClockStep;
        for (Player& player : players) {
            player.Finish();
            player.Pump();
        }
        for (const std::unique_ptr<Recorder>& recorder : recorders) {
            recorder->Pump();
        }
        progress.Update(elapsed, cable);
    }
    progress.End();

    // The figures while every stream still exists and holds the engine.
    std::cout << "cable time: " << Seconds(runTime) << "\n"
              << "streams: " << cable.LiveStreams() << " (render " << cable.RenderStreams() << ", capture "
              << cable.CaptureStreams() << ")\n"
              << "cable format: " << DescribeFormat(cable.CableFormat()) << "\n"
              << "volume control: " << (cable.VolumeControl() ? "on" : "off") << "\n"
              << "cable rate: " << Rate(cable.FramesPerSecond()) << " frames per second of system time\n"
              << "underflows: " << cable.Underflows() << "\n"
              << "overflows: " << cable.Overflows() << "\n";
    cable.TearDown();
    for (const std::unique_ptr<Recorder>& recorder : recorders) {
        recorder->Commit();
        std::cout << "recorded: " << recorder->Path() << ", " << recorder->WrittenFrames() << " frames of "
                  << DescribeFormat(recorder->Format()) << "\n";
    }
    session.Finish();
}

}  // namespace

void InstallLoopCommand(CLI::App& program)
{
    auto options = std::make_shared<LoopOptions>();
    CLI::App* command = program.add_subcommand(
        "loop", "Run one cable on the virtual clock: play WAV files into it, record WAV files from it");
    command->add_option("--play", options->plays,
                        "PCM WAV file to play, one render client each, in order (default: a 1 kHz tone)");
    command->add_option("--record", options->records,
                        "Record a capture client to OUT.wav in RATE:BITS:CHANNELS (BITS: container width)");
    command->add_option("--seconds", options->seconds,
                        "Cable time to run (default: until the longest played file has been played)")
        ->check(CLI::Range(0.001, MaxSeconds));
    command->add_option("--period-ms", options->periodMs,
                        "Milliseconds per interrupt of the cable's timer (1 to 20), stored in the registry first "
                        "(default: the registry's, 5 in a fresh one)")
        ->check(CLI::Range(1u, 20u));
    command->add_option("--volume", options->volumeDb,
                        "The line out's volume in dB (-100 to 0), set on the topology filter's volume node")
        ->check(CLI::Range(-100.0, 0.0));
    command->add_flag("--mute", options->mute, "Mute the line out, on the topology filter's mute node");
    command->add_option("--stream-volume", options->streamVolumeDb,
                        "Each player's own volume in dB (-100 to 0), on the wave filter's volume node")
        ->check(CLI::Range(-100.0, 0.0));
    command->add_option("--cable", options->cable, "The cable to run, 1 to the number the device has (default 1)")
        ->check(CLI::Range(1u, 256u));
    command->add_option("--registry", options->registryFile,
                        "Registry file to start the driver from and save back (created with the defaults when "
                        "absent); without it a fresh registry in which the cable takes every format");
    command->callback([options]() { RunLoop(*options); });
}

}  // namespace tarnhost
