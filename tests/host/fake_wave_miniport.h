// A small IMiniportWavePci / IMiniportWavePciStream written for the port's tests: it records every
// call the port makes and takes and returns mappings only when a test tells it to, so each test
// sees the port's side of the contract alone.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "host/harness.h"
#include "host/port_wave_pci.h"

namespace fake {

// Stands in for the DMA channel NewStream hands out; the port must never touch it.
inline PDMACHANNEL UntouchableDmaChannel()
{
    return reinterpret_cast<PDMACHANNEL>(static_cast<uintptr_t>(0xD3A));
}

template <typename Interface>
class Counted : public Interface {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = --references;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    virtual ~Counted() = default;
    std::atomic<LONG> references{1};
};

struct HeldMapping {
    ULONG tag;
    PUCHAR data;
    ULONG bytes;
    ULONG flags;
};

struct RevokeCall {
    ULONG firstTag;
    ULONG lastTag;
    ULONG countOnEntry;
    ULONG revoked;
    KIRQL irql;
};

class Stream : public Counted<IMiniportWavePciStream> {
public:
    explicit Stream(PPORTWAVEPCISTREAM port) : portStream(port) { portStream->AddRef(); }
    ~Stream() override { portStream->Release(); }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (iid == IID_IUnknown || iid == IID_IMiniportWavePciStream) {
            *object = static_cast<IMiniportWavePciStream*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT dataFormat) override
    {
        formats.emplace_back(reinterpret_cast<uint8_t*>(dataFormat),
                             reinterpret_cast<uint8_t*>(dataFormat) + dataFormat->FormatSize);
        return setFormatStatus;
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override
    {
        if (static_cast<int>(state) == refuseState) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        states.push_back(state);
        if (state == KSSTATE_STOP) {
            position = 0;
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONGLONG out) override
    {
        *out = position;
        if (onPosition) {
            onPosition();
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG physicalPosition) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) GetAllocatorFraming(PKSALLOCATOR_FRAMING allocatorFraming) override
    {
        ++framingCalls;
        *allocatorFraming = framing;
        return STATUS_SUCCESS;
    }
    // As a miniport must: the inclusive tag range (wrapping when first > last), counting only
    // the mappings it still holds.
    STDMETHODIMP_(NTSTATUS) RevokeMappings(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked) override
    {
        RevokeCall call{static_cast<ULONG>(reinterpret_cast<uintptr_t>(firstTag)),
                        static_cast<ULONG>(reinterpret_cast<uintptr_t>(lastTag)), *mappingsRevoked, 0,
                        KeGetCurrentIrql()};
        auto inRange = [&call](const HeldMapping& m) {
            return call.firstTag <= call.lastTag ? (m.tag >= call.firstTag && m.tag <= call.lastTag)
                                                 : (m.tag >= call.firstTag || m.tag <= call.lastTag);
        };
        for (auto m = held.begin(); m != held.end();) {
            if (inRange(*m)) {
                m = held.erase(m);
                ++call.revoked;
            } else {
                ++m;
            }
        }
        call.revoked += revokeCountError;
        *mappingsRevoked += call.revoked;
        revokes.push_back(call);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) MappingAvailable() override
    {
        mappingAvailableIrqls.push_back(KeGetCurrentIrql());
        if (onMappingAvailable) {
            onMappingAvailable();
        }
    }
    STDMETHODIMP_(void) Service() override
    {
        ++serviceCalls;
        if (onService) {
            onService();
        }
    }

    // Asks the port for one mapping under the next tag; the status GetMapping gave.
    NTSTATUS Acquire()
    {
        PHYSICAL_ADDRESS physical;
        PVOID address = nullptr;
        ULONG bytes = 0;
        ULONG flags = 0;
        NTSTATUS status = portStream->GetMapping(reinterpret_cast<PVOID>(static_cast<uintptr_t>(nextTag)), &physical,
                                                 &address, &bytes, &flags);
        if (NT_SUCCESS(status)) {
            held.push_back(HeldMapping{nextTag++, static_cast<PUCHAR>(address), bytes, flags});
        }
        return status;
    }
    // Acquires until the port refuses; the number obtained.
    size_t AcquireAll()
    {
        size_t count = 0;
        while (NT_SUCCESS(Acquire())) {
            ++count;
        }
        return count;
    }
    NTSTATUS ReleaseOldest()
    {
        ULONG tag = held.front().tag;
        held.pop_front();
        return portStream->ReleaseMapping(reinterpret_cast<PVOID>(static_cast<uintptr_t>(tag)));
    }
    void ReleaseAll()
    {
        while (!held.empty()) {
            ReleaseOldest();
        }
    }

    PPORTWAVEPCISTREAM portStream;
    ULONG nextTag = 0;
    std::deque<HeldMapping> held;
    std::vector<KSSTATE> states;
    std::vector<std::vector<uint8_t>> formats;
    std::vector<RevokeCall> revokes;
    std::vector<KIRQL> mappingAvailableIrqls;
    std::function<void()> onMappingAvailable;
    std::function<void()> onService;
    std::function<void()> onPosition;
    std::atomic<int> serviceCalls{0};
    int framingCalls = 0;
    ULONGLONG position = 0;
    int refuseState = -1;  // a state SetState refuses
    ULONG revokeCountError = 0;  // added to the count RevokeMappings reports
    NTSTATUS setFormatStatus = STATUS_SUCCESS;
    KSALLOCATOR_FRAMING framing = {{KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY}, NonPagedPool, 8, 2648, 3, 0};
};

struct NewStreamCall {
    POOL_TYPE poolType;
    ULONG pin;
    BOOLEAN capture;
    bool outerUnknownGiven;
    std::vector<uint8_t> dataFormat;
};

class Miniport : public Counted<IMiniportWavePci> {
public:
    Miniport() { PcNewServiceGroup(&streamGroup, nullptr); }
    ~Miniport() override
    {
        if (streamGroup != nullptr) {
            streamGroup->Release();
        }
        if (port != nullptr) {
            port->Release();
        }
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWavePci) {
            *object = static_cast<IMiniportWavePci*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    // The descriptor a test gave, or none (STATUS_NOT_IMPLEMENTED).
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = descriptor;
        return descriptor != nullptr ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
    }
    // Records the call; answers with `intersection` when it is set (after a size query or a short
    // buffer as a miniport must), else with intersectionStatus.
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE, PKSDATARANGE, ULONG outputBufferLength,
                                                  PVOID resultantFormat, PULONG resultantFormatLength) override
    {
        intersections.push_back(pinId);
        if (intersection.empty()) {
            return intersectionStatus;
        }
        *resultantFormatLength = static_cast<ULONG>(intersection.size());
        if (outputBufferLength == 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
        if (outputBufferLength < intersection.size()) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(resultantFormat, intersection.data(), intersection.size());
        return STATUS_SUCCESS;
    }
    // Hands the port the stream group when giveGroupToPort is set (the driver itself gives none).
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVEPCI initPort, PSERVICEGROUP* serviceGroup) override
    {
        port = initPort;
        port->AddRef();
        *serviceGroup = nullptr;
        if (giveGroupToPort && streamGroup != nullptr) {
            streamGroup->AddRef();
            *serviceGroup = streamGroup;
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                      PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture,
                                      PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                      PSERVICEGROUP* serviceGroup) override
    {
        newStreams.push_back(NewStreamCall{
            poolType, pin, capture, outerUnknown != nullptr,
            std::vector<uint8_t>(reinterpret_cast<uint8_t*>(dataFormat),
                                 reinterpret_cast<uint8_t*>(dataFormat) + dataFormat->FormatSize)});
        if (!NT_SUCCESS(newStreamStatus)) {
            return newStreamStatus;
        }
        auto* created = new Stream(portStream);
        lastStream = created;
        created->AddRef();  // the test's own look at it
        *stream = created;
        *dmaChannel = UntouchableDmaChannel();
        *serviceGroup = nullptr;
        if (handOutGroup && streamGroup != nullptr) {
            streamGroup->AddRef();
            *serviceGroup = streamGroup;
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) Service() override { ++serviceCalls; }

    PSERVICEGROUP streamGroup = nullptr;
    PPORTWAVEPCI port = nullptr;
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    NTSTATUS intersectionStatus = STATUS_NOT_IMPLEMENTED;
    std::vector<uint8_t> intersection;
    std::vector<ULONG> intersections;  // the pin id of each DataRangeIntersection call
    bool giveGroupToPort = false;
    bool handOutGroup = true;
    NTSTATUS newStreamStatus = STATUS_SUCCESS;
    std::vector<NewStreamCall> newStreams;
    Stream* lastStream = nullptr;  // referenced by the test through TakeStream
    int serviceCalls = 0;
};

}  // namespace fake
