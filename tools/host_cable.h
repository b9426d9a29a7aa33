// One cable of the started driver with the clients that applications would be: they open the
// cable's wave filter by its name ("wave3") and their pins through it, with create requests to the
// device, and are closed in the order the system uses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/platform.h"
#include "host/ks_client.h"
#include "host/wave_client.h"

class Cable;

namespace tarnhost {

class DriverSession;

class HostCable {
public:
    // Opens cable `number` (1-based) of the session's started driver. A cable the device does not
    // have is an InputError.
    HostCable(DriverSession& session, ULONG number);
    ~HostCable();  // TearDown
    HostCable(const HostCable&) = delete;
    HostCable& operator=(const HostCable&) = delete;

    // Opens a render or capture client in `format`; the status of a refused open, or null.
    host::WaveClient* Open(bool capture, const WAVEFORMATEXTENSIBLE& format, NTSTATUS* status);
    // The line out's volume (1/65536 dB, all channels) and mute, set on the topology filter's
    // line-out nodes as the system's volume control does; and one render client's own volume on
    // the wave filter's volume node. They act on the sound only while the cable's volume control
    // is on. A refused request is an InputError naming its status.
    void SetLineOut(LONG level, bool mute);
    void SetStreamVolume(host::WaveClient* client, LONG level);
    bool VolumeControl() const;
    // The formats the cable accepts now (its limits under its format limiting mode) and the one
    // its wave filter proposes to a client that can take anything
    // (KSPROPERTY_PIN_DATAINTERSECTION), e.g.
    // "PCM 8000-192000 Hz, 8-32 bits, 1-8 channels; it proposes 192000 Hz 32-bit 8 ch".
    std::string AcceptedFormats(bool capture);
    // The open clients in opening order.
    std::vector<host::WaveClient*> Clients() const;

    // The figures the control panel shows for the cable.
    LONG LiveStreams() const;
    ULONG RenderStreams() const;
    ULONG CaptureStreams() const;
    WAVEFORMATEXTENSIBLE CableFormat() const;  // wFormatTag 0 while no stream holds the engine
    LONG Underflows() const;
    // Cable frames per second of system time since the cable's clock origin (its first stream's
    // start, or the last change of its clock correction); 0 before the clock has moved.
    double FramesPerSecond() const;
    LONG Overflows() const;

    // Closes the clients and the filter handle; the driver keeps the cable. Later calls do nothing.
    void TearDown();

private:
    DriverSession& session_;
    Cable& cable_;
    std::unique_ptr<host::KsHandle> filter_;    // the clients' handle on the wave filter
    std::unique_ptr<host::KsHandle> topology_;  // opened for the line out's nodes
    std::vector<std::unique_ptr<host::WaveClient>> clients_;
};

}  // namespace tarnhost
