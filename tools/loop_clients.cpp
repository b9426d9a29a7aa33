// Players and recorders of tarnhost loop.
#include "loop_clients.h"

#include <algorithm>

#include "engine/timing.h"

#include "command.h"
#include "option_parsing.h"

namespace tarnhost {

namespace {

void Check(NTSTATUS status, const std::string& what)
{
    if (!NT_SUCCESS(status)) {
        throw DriverFault(what + " failed with status " + std::to_string(status));
    }
}

}  // namespace

Player::Player(std::unique_ptr<SampleSource> source) : source_(std::move(source)), format_(FormatOf(source_->Layout()))
{
}

void Player::Submit(const std::vector<unsigned char>& bytes)
{
    Check(client_->Write(bytes.data(), static_cast<ULONG>(bytes.size())), "playing " + source_->Name());
    inFlightBytes_ += bytes.size();
}

void Player::Pump()
{
    for (const host::ReapedBuffer& buffer : client_->Reap()) {
        inFlightBytes_ -= buffer.data.size();
    }
    const ULONG queueAhead = DurationToBytes(&format_, QueueAheadMs);
    const size_t bufferFrames = DurationToBytes(&format_, BufferMs) / format_.Format.nBlockAlign;
    const size_t bufferBytes = bufferFrames * format_.Format.nBlockAlign;
    const unsigned char silence = source_->Layout().containerBytes == 1 ? 0x80 : 0x00;
    while (inFlightBytes_ < queueAhead && silenceBytes_ < queueAhead) {
        // Every buffer full size, the last of the source filled up with silence, as players do:
        // the engine sees the same run of mappings at the end of the file as before it.
        std::vector<unsigned char> bytes = source_->Read(bufferFrames);
        silenceBytes_ += bufferBytes - bytes.size();
        bytes.resize(bufferBytes, silence);
        Submit(bytes);
    }
}

void Player::Finish()
{
    if (paused_ || source_->Frames() == SampleSource::Endless) {
        return;
    }
    KSAUDIO_POSITION position = {};
    Check(client_->GetPosition(&position), "reading the position of " + source_->Name());
    if (position.PlayOffset >= source_->Frames() * format_.Format.nBlockAlign) {
        Check(client_->SetState(KSSTATE_PAUSE), "pausing " + source_->Name());
        paused_ = true;
    }
}

Recorder::Recorder(const std::string& path, const PcmLayout& layout)
    : path_(path), layout_(layout), format_(FormatOf(layout)), writer_(path, layout)
{
}

void Recorder::Pump()
{
    for (const host::ReapedBuffer& buffer : client_->Reap()) {
        inFlightBytes_ -= buffer.data.size();
        if (buffer.status != STATUS_SUCCESS) {
            continue;
        }
        const size_t keep = static_cast<size_t>(std::min<uint64_t>(buffer.data.size(), targetBytes_ - writtenBytes_));
        writer_.Write(buffer.data.data(), keep);
        writtenBytes_ += keep;
    }
    const ULONG queueAhead = DurationToBytes(&format_, QueueAheadMs);
    const ULONG bufferBytes = DurationToBytes(&format_, BufferMs);
    while (inFlightBytes_ < queueAhead) {
        Check(client_->Read(bufferBytes), "recording " + path_);
        inFlightBytes_ += bufferBytes;
    }
}

}  // namespace tarnhost
