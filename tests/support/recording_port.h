// An IPortWavePci that stands in for the port below the engine: Notify is all the engine asks of
// it, and each call is counted and passed to an optional hook. Used by tests and benchmarks.
#pragma once

#include <atomic>
#include <functional>

#include "core/platform.h"

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

