// Port Class (PortCls) and COM declarations for the host build: the services and interfaces the
// driver calls or implements, with the published slot order.
#pragma once

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
