// The DMA adapter interface of wdm.h for the host build: the adapter record, its table of
// operations in the published order, scatter/gather lists and the callbacks the operations call.
// The stand-in performs no transfers; these are the types a driver's own adapter object fills.
#pragma once

#include "host/kernel.h"

typedef struct _MDL MDL, *PMDL;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

typedef enum _IO_ALLOCATION_ACTION {
    KeepObject = 1,
    DeallocateObject,
    DeallocateObjectKeepRegisters
} IO_ALLOCATION_ACTION, *PIO_ALLOCATION_ACTION;

typedef IO_ALLOCATION_ACTION NTAPI DRIVER_CONTROL(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID mapRegisterBase,
                                                  PVOID context);
typedef DRIVER_CONTROL* PDRIVER_CONTROL;

typedef struct _SCATTER_GATHER_ELEMENT {
    PHYSICAL_ADDRESS Address;
    ULONG Length;
    ULONG_PTR Reserved;
} SCATTER_GATHER_ELEMENT, *PSCATTER_GATHER_ELEMENT;
static_assert(sizeof(SCATTER_GATHER_ELEMENT) == 24, "SCATTER_GATHER_ELEMENT is 24 bytes on x64");

typedef struct _SCATTER_GATHER_LIST {
    ULONG NumberOfElements;
    ULONG_PTR Reserved;
    SCATTER_GATHER_ELEMENT Elements[1];
} SCATTER_GATHER_LIST, *PSCATTER_GATHER_LIST;
static_assert(sizeof(SCATTER_GATHER_LIST) == 40, "SCATTER_GATHER_LIST with one element is 40 bytes on x64");

typedef void NTAPI DRIVER_LIST_CONTROL(PDEVICE_OBJECT deviceObject, PIRP irp, PSCATTER_GATHER_LIST scatterGather,
                                       PVOID context);
typedef DRIVER_LIST_CONTROL* PDRIVER_LIST_CONTROL;

struct _DMA_OPERATIONS;

typedef struct _DMA_ADAPTER {
    USHORT Version;
    USHORT Size;
    struct _DMA_OPERATIONS* DmaOperations;
} DMA_ADAPTER, *PDMA_ADAPTER;
static_assert(sizeof(DMA_ADAPTER) == 16, "DMA_ADAPTER is 16 bytes on x64");

typedef void(NTAPI* PPUT_DMA_ADAPTER)(PDMA_ADAPTER dmaAdapter);
typedef PVOID(NTAPI* PALLOCATE_COMMON_BUFFER)(PDMA_ADAPTER dmaAdapter, ULONG length,
                                              PPHYSICAL_ADDRESS logicalAddress, BOOLEAN cacheEnabled);
typedef void(NTAPI* PFREE_COMMON_BUFFER)(PDMA_ADAPTER dmaAdapter, ULONG length, PHYSICAL_ADDRESS logicalAddress,
                                         PVOID virtualAddress, BOOLEAN cacheEnabled);
typedef NTSTATUS(NTAPI* PALLOCATE_ADAPTER_CHANNEL)(PDMA_ADAPTER dmaAdapter, PDEVICE_OBJECT deviceObject,
                                                   ULONG numberOfMapRegisters, PDRIVER_CONTROL executionRoutine,
                                                   PVOID context);
typedef BOOLEAN(NTAPI* PFLUSH_ADAPTER_BUFFERS)(PDMA_ADAPTER dmaAdapter, PMDL mdl, PVOID mapRegisterBase,
                                               PVOID currentVa, ULONG length, BOOLEAN writeToDevice);
typedef void(NTAPI* PFREE_ADAPTER_CHANNEL)(PDMA_ADAPTER dmaAdapter);
typedef void(NTAPI* PFREE_MAP_REGISTERS)(PDMA_ADAPTER dmaAdapter, PVOID mapRegisterBase, ULONG numberOfMapRegisters);
typedef PHYSICAL_ADDRESS(NTAPI* PMAP_TRANSFER)(PDMA_ADAPTER dmaAdapter, PMDL mdl, PVOID mapRegisterBase,
                                               PVOID currentVa, PULONG length, BOOLEAN writeToDevice);
typedef ULONG(NTAPI* PGET_DMA_ALIGNMENT)(PDMA_ADAPTER dmaAdapter);
typedef ULONG(NTAPI* PREAD_DMA_COUNTER)(PDMA_ADAPTER dmaAdapter);
typedef NTSTATUS(NTAPI* PGET_SCATTER_GATHER_LIST)(PDMA_ADAPTER dmaAdapter, PDEVICE_OBJECT deviceObject, PMDL mdl,
                                                  PVOID currentVa, ULONG length,
                                                  PDRIVER_LIST_CONTROL executionRoutine, PVOID context,
                                                  BOOLEAN writeToDevice);
typedef void(NTAPI* PPUT_SCATTER_GATHER_LIST)(PDMA_ADAPTER dmaAdapter, PSCATTER_GATHER_LIST scatterGather,
                                              BOOLEAN writeToDevice);

// The operations of the first version, which every adapter has; later versions append routines
// (CalculateScatterGatherList and the rest), which a caller uses only when Size covers them.
typedef struct _DMA_OPERATIONS {
    ULONG Size;
    PPUT_DMA_ADAPTER PutDmaAdapter;
    PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
    PFREE_COMMON_BUFFER FreeCommonBuffer;
    PALLOCATE_ADAPTER_CHANNEL AllocateAdapterChannel;
    PFLUSH_ADAPTER_BUFFERS FlushAdapterBuffers;
    PFREE_ADAPTER_CHANNEL FreeAdapterChannel;
    PFREE_MAP_REGISTERS FreeMapRegisters;
    PMAP_TRANSFER MapTransfer;
    PGET_DMA_ALIGNMENT GetDmaAlignment;
    PREAD_DMA_COUNTER ReadDmaCounter;
    PGET_SCATTER_GATHER_LIST GetScatterGatherList;
    PPUT_SCATTER_GATHER_LIST PutScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;
static_assert(offsetof(DMA_OPERATIONS, PutDmaAdapter) == 8, "DMA_OPERATIONS routines start at 8 on x64");
static_assert(offsetof(DMA_OPERATIONS, PutScatterGatherList) == 96, "the twelfth routine is at 96 on x64");

// Like MmGetPhysicalAddress. The stand-in has no physical memory: the address is the virtual one.
inline PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID baseAddress)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(baseAddress));
    return address;
}
