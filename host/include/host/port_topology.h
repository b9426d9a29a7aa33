// The stand-in's Topology port: the port object a topology miniport is bound to (IPortTopology).
// It streams nothing; its filter answers the property requests a client or the audio stack sends
// to learn the filter's pins, nodes and connections, and routes the rest to the miniport.
#pragma once

#include <atomic>

#include "host/port_filter.h"

namespace host {

class PortTopology final : public IPortTopology, public FilterPort {
public:
    // Like PcNewPort for CLSID_PortTopology: a port with one reference and no miniport yet.
    static PortTopology* Create();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Like IPort::Init for a Topology port: queries the miniport for IMiniportTopology, calls its
    // Init with this port, then takes its filter descriptor (GetDescription) and keeps its own
    // copy of the pin table. Any failure is returned and the miniport is let go. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                                 PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                              PVOID propertyBuffer, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                           ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                           POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                           PULONG disposition) override;

    PMINIPORTTOPOLOGY Miniport() const { return miniport_; }
    // Releases the miniport, as the class driver does when the subdevice goes. PASSIVE_LEVEL.
    void ReleaseChildren();

    // FilterPort
    FilterSide& Filter() override { return filter_; }
    IPort* Port() override { return this; }

private:
    PortTopology();
    ~PortTopology();

    std::atomic<LONG> references_{1};
    PMINIPORTTOPOLOGY miniport_ = nullptr;  // referenced
    FilterSide filter_;
};

}  // namespace host
