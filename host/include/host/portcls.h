// Port Class (PortCls) and COM declarations for the host build: the services and interfaces the
// driver calls or implements, with the published slot order.
#pragma once

#include "host/dma.h"
#include "host/ks.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

// {00000000-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct DECLSPEC_NOVTABLE IUnknown {
    STDMETHOD(QueryInterface)(REFIID iid, PVOID* object) PURE;
    STDMETHOD_(ULONG, AddRef)() PURE;
    STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown* PUNKNOWN;

HOST_KAPI NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPathName,
                                             PDRIVER_ADD_DEVICE addDevice);
HOST_KAPI NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp);

struct IResourceList;
typedef IResourceList* PRESOURCELIST;

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList);

#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

HOST_KAPI NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                                      PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize);

// The non-delegating unknown of aggregatable kernel COM objects (stdunk.h).
struct DECLSPEC_NOVTABLE INonDelegatingUnknown {
    STDMETHOD(NonDelegatingQueryInterface)(REFIID iid, PVOID* object) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)() PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)() PURE;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// {22C6AC64-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {22C6AC65-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {B4C90A25-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPort, 0xb4c90a25, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A50-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPortWavePci, 0xb4c90a50, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A54-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(CLSID_PortWavePci, 0xb4c90a54, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {793417D0-35FE-11D1-AD08-00A0C90AB1B0}
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);

struct DECLSPEC_NOVTABLE IServiceSink : public IUnknown {
    STDMETHOD_(void, RequestService)() PURE;
};
typedef IServiceSink* PSERVICESINK;

struct DECLSPEC_NOVTABLE IServiceGroup : public IServiceSink {
    STDMETHOD(AddMember)(PSERVICESINK serviceSink) PURE;
    STDMETHOD_(void, RemoveMember)(PSERVICESINK serviceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)() PURE;
    STDMETHOD_(void, RequestDelayedService)(ULONGLONG delay) PURE;
    STDMETHOD_(void, CancelDelayedService)() PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

struct IRegistryKey;
typedef IRegistryKey* PREGISTRYKEY;
struct IDmaChannel;
typedef IDmaChannel* PDMACHANNEL;

struct DECLSPEC_NOVTABLE IPort : public IUnknown {
    STDMETHOD(Init)(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                    PRESOURCELIST resourceList) PURE;
    STDMETHOD(GetDeviceProperty)(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength, PVOID propertyBuffer,
                                 PULONG resultLength) PURE;
    STDMETHOD(NewRegistryKey)(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                              ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                              PULONG disposition) PURE;
};
typedef IPort* PPORT;

struct DECLSPEC_NOVTABLE IPortWavePci : public IPort {
    STDMETHOD_(void, Notify)(PSERVICEGROUP serviceGroup) PURE;
    STDMETHOD(NewMasterDmaChannel)(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                   PRESOURCELIST resourceList, BOOLEAN scatterGather, BOOLEAN dma32BitAddresses,
                                   BOOLEAN dma64BitAddresses, BOOLEAN ignoreCount, DMA_WIDTH dmaWidth,
                                   DMA_SPEED dmaSpeed, ULONG maximumLength, ULONG dmaPort) PURE;
};
typedef IPortWavePci* PPORTWAVEPCI;

struct DECLSPEC_NOVTABLE IAdapterPowerManagement : public IUnknown {
    STDMETHOD_(void, PowerChangeState)(POWER_STATE newState) PURE;
    STDMETHOD(QueryPowerChangeState)(POWER_STATE newStateQuery) PURE;
    STDMETHOD(QueryDeviceCapabilities)(PDEVICE_CAPABILITIES powerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

// ---------------------------------------------------------------------------------------------
// WavePci streaming: the miniport and stream interfaces, the port stream with its mappings, the
// DMA channel and the prefetch offset (slot order as published in portcls.h).

// {B4C90A24-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniport, 0xb4c90a24, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A51-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPortWavePciStream, 0xb4c90a51, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A52-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportWavePci, 0xb4c90a52, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A53-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportWavePciStream, 0xb4c90a53, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5,
            0x44);
// {22C6AC61-851B-11D0-9A7F-00AA0038ACFE}
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
// {7000F480-ED44-4E8B-B38A-412F8D7A504D}
DEFINE_GUID(IID_IPreFetchOffset, 0x7000f480, 0xed44, 0x4e8b, 0xb3, 0x8a, 0x41, 0x2f, 0x8d, 0x7a, 0x50, 0x4d);

// Defined with the filter descriptors.
struct PCFILTER_DESCRIPTOR;
typedef PCFILTER_DESCRIPTOR* PPCFILTER_DESCRIPTOR;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

struct DECLSPEC_NOVTABLE IMiniport : public IUnknown {
    STDMETHOD(GetDescription)(PPCFILTER_DESCRIPTOR* description) PURE;
    STDMETHOD(DataRangeIntersection)(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                     ULONG outputBufferLength, PVOID resultantFormat,
                                     PULONG resultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

// GCC returns PhysicalAddress's structure in RAX where MSVC passes a hidden result pointer; the
// Windows build declares that slot apart (see the platform header). The slot order is the same.
struct DECLSPEC_NOVTABLE IDmaChannel : public IUnknown {
    STDMETHOD(AllocateBuffer)(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG bufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID destination, PVOID source, ULONG byteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID destination, PVOID source, ULONG byteCount) PURE;
};

struct DECLSPEC_NOVTABLE IPortWavePciStream : public IUnknown {
    STDMETHOD(GetMapping)(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress, PULONG byteCount,
                          PULONG flags) PURE;
    STDMETHOD(ReleaseMapping)(PVOID tag) PURE;
    STDMETHOD(TerminatePacket)() PURE;
};
typedef IPortWavePciStream* PPORTWAVEPCISTREAM;

struct DECLSPEC_NOVTABLE IMiniportWavePciStream : public IUnknown {
    STDMETHOD(SetFormat)(PKSDATAFORMAT dataFormat) PURE;
    STDMETHOD(SetState)(KSSTATE state) PURE;
    STDMETHOD(GetPosition)(PULONGLONG position) PURE;
    STDMETHOD(NormalizePhysicalPosition)(PLONGLONG physicalPosition) PURE;
    STDMETHOD(GetAllocatorFraming)(PKSALLOCATOR_FRAMING allocatorFraming) PURE;
    STDMETHOD(RevokeMappings)(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked) PURE;
    STDMETHOD_(void, MappingAvailable)() PURE;
    STDMETHOD_(void, Service)() PURE;
};
typedef IMiniportWavePciStream* PMINIPORTWAVEPCISTREAM;

struct DECLSPEC_NOVTABLE IMiniportWavePci : public IMiniport {
    STDMETHOD(Init)(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI port,
                    PSERVICEGROUP* serviceGroup) PURE;
    STDMETHOD(NewStream)(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                         PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                         PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) PURE;
    STDMETHOD_(void, Service)() PURE;
};
typedef IMiniportWavePci* PMINIPORTWAVEPCI;

struct DECLSPEC_NOVTABLE IPreFetchOffset : public IUnknown {
    STDMETHOD_(void, SetPreFetchOffset)(ULONG preFetchOffset) PURE;
};
typedef IPreFetchOffset* PPREFETCHOFFSET;

// Like PcNewServiceGroup: a group whose RequestService queues one DPC that calls RequestService
// on every member.
HOST_KAPI NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown);

// ---------------------------------------------------------------------------------------------
// Filter descriptors: what a miniport's GetDescription hands the port, and the property requests
// the port routes to the miniport's automation tables (portcls.h).

#define PCFILTER_NODE KSFILTER_NODE

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT

typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST propertyRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

// What the port fills for a property handler. MajorTarget is the miniport, MinorTarget the stream
// of a pin request (null on a filter); Node is the node id or PCFILTER_NODE; Instance points past
// the KSPROPERTY (or KSP_NODE, for a node property) at InstanceSize bytes; Value is the client's
// buffer of ValueSize bytes, which the handler sets to the bytes it returns.
struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM, PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR is 112 bytes on x64");

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

struct PCFILTER_DESCRIPTOR {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
};

// ---------------------------------------------------------------------------------------------
// The topology port and miniport, and the port factory.

// {B4C90A30-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IPortTopology, 0xb4c90a30, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A31-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(IID_IMiniportTopology, 0xb4c90a31, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {B4C90A32-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(CLSID_PortTopology, 0xb4c90a32, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
// {3DD648B8-969F-11D1-95A9-00C04FB925D3}
DEFINE_GUID(IID_IPowerNotify, 0x3dd648b8, 0x969f, 0x11d1, 0x95, 0xa9, 0x00, 0xc0, 0x4f, 0xb9, 0x25, 0xd3);

struct DECLSPEC_NOVTABLE IPortTopology : public IPort {
};
typedef IPortTopology* PPORTTOPOLOGY;

struct DECLSPEC_NOVTABLE IMiniportTopology : public IMiniport {
    STDMETHOD(Init)(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

struct DECLSPEC_NOVTABLE IPowerNotify : public IUnknown {
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE powerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

// Like PcNewPort: a port of class CLSID_PortWavePci or CLSID_PortTopology, one reference, no
// miniport yet; STATUS_INVALID_PARAMETER for another class.
HOST_KAPI NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId);

// Subdevices and their links (PcRegisterSubdevice registers the filter's interfaces with `name`
// as reference string), power management, and forwarding down the device stack.
HOST_KAPI NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PWSTR name, PUNKNOWN unknown);
HOST_KAPI NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                                PUNKNOWN toUnknown, ULONG toPin);
HOST_KAPI NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID context);
HOST_KAPI NTSTATUS PcForwardIrpSynchronous(PDEVICE_OBJECT deviceObject, PIRP irp);
