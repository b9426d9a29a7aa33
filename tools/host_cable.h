// One cable of the driver on the host platform, with its stand-in WavePci port and the clients
// that applications would be: set up on the virtual clock with the verifier stopping the program
// at the first violation, and taken down in the order the system uses. Clients open their pins
// as applications do, through a handle on the wave filter and its pin factory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/platform.h"
#include "host/wave_client.h"

class Adapter;
class Cable;
class WaveMiniport;

namespace tarnhost {

class HostCable {
public:
    // Resets the platform to virtual time and builds the adapter, the cable, its wave miniport
    // with its own settings (any format the driver converts) and the given timer period, and the
    // port. A failure is a DriverFault.
    explicit HostCable(ULONG msPerInterrupt);
    ~HostCable();  // TearDown
    HostCable(const HostCable&) = delete;
    HostCable& operator=(const HostCable&) = delete;

    // Opens a render or capture client in `format`; the status of a refused open, or null.
    host::WaveClient* Open(bool capture, const WAVEFORMATEXTENSIBLE& format, NTSTATUS* status);
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
    LONG Overflows() const;

    // Closes the clients, releases the port and destroys the cable and the adapter. Later calls
    // do nothing.
    void TearDown();

private:
    Adapter* adapter_ = nullptr;
    Cable* cable_ = nullptr;
    WaveMiniport* miniport_ = nullptr;  // the cable's reference
    host::PortWavePci* port_ = nullptr;
    host::KsFilter* filter_ = nullptr;  // the clients' handle on the wave filter
    std::vector<std::unique_ptr<host::WaveClient>> clients_;
};

}  // namespace tarnhost
