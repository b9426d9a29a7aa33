// A cable built as cable creation builds it (adapter, cable, wave miniport) with a port that
// records its Notify calls, for tests of the engine below the wave filter.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"
#include "support/recording_port.h"

class CableTest : public PlatformTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds cables 0..count-1 with their wave miniports, each reporting to `port`. Each cable's
    // service group is the fake pointer CableGroup(index), so a Notify names its cable.
    void AddCables(ULONG count);
    WaveMiniport* Miniport(ULONG index) { return adapter->FindCable(index)->Wave; }

    // Acquires the engine of cable `index` in `format` (as a starting stream does) and starts its timer.
    void StartEngine(ULONG index, const WAVEFORMATEXTENSIBLE& format);
    void StopEngine(ULONG index);

    Adapter* adapter = nullptr;
    RecordingPort port;
};

WAVEFORMATEXTENSIBLE PcmFormat(ULONG rate, ULONG bits, ULONG channels);

inline PSERVICEGROUP CableGroup(ULONG index)
{
    return reinterpret_cast<PSERVICEGROUP>(static_cast<uintptr_t>(0x1000 + index));
}
inline ULONG CableOfGroup(PSERVICEGROUP group)
{
    return static_cast<ULONG>(reinterpret_cast<uintptr_t>(group) - 0x1000);
}
