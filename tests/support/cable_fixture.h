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

// An IPortWavePci whose Notify calls a test's hook; nothing else is used by the engine.
class RecordingPort : public IPortWavePci {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                           PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(void) Notify(PSERVICEGROUP group) override
    {
        notifications.fetch_add(1);
        if (onNotify) {
            onNotify(group);
        }
    }
    STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL*, PUNKNOWN, POOL_TYPE, PRESOURCELIST, BOOLEAN, BOOLEAN,
                                                BOOLEAN, BOOLEAN, DMA_WIDTH, DMA_SPEED, ULONG, ULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }

    std::atomic<int> notifications{0};
    // Called at the end of every processing pass (inside the processing section) with the
    // cable's service group.
    std::function<void(PSERVICEGROUP)> onNotify;
};

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
