// The software DMA channel, its adapter record and the adapter's operations.
#include "core/soft_dma.h"

namespace {

PHYSICAL_ADDRESS AllOnesAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = NoPhysicalAddress;
    return address;
}

PIRP CurrentIrpOf(PDEVICE_OBJECT deviceObject)
{
    return (deviceObject != NULL) ? deviceObject->CurrentIrp : NULL;
}

// The port gives the adapter back: the record goes now unless the channel's destructor has
// already taken it.
void NTAPI PutDmaAdapter(PDMA_ADAPTER dmaAdapter)
{
    auto* record = reinterpret_cast<SoftDmaAdapter*>(dmaAdapter);
    SoftDmaChannel* channel = record->Channel;
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&channel->Adapter), NULL, record) ==
        record) {
        PoolFree(record);
    }
}

// No common buffer: the caller's logical address is all ones and the buffer null.
PVOID NTAPI AllocateCommonBuffer(PDMA_ADAPTER dmaAdapter, ULONG length, PPHYSICAL_ADDRESS logicalAddress,
                                 BOOLEAN cacheEnabled)
{
    *logicalAddress = AllOnesAddress();
    return NULL;
}

void NTAPI FreeCommonBuffer(PDMA_ADAPTER dmaAdapter, ULONG length, PHYSICAL_ADDRESS logicalAddress,
                            PVOID virtualAddress, BOOLEAN cacheEnabled)
{
}

// There are no map registers to wait for: the routine runs before this returns.
NTSTATUS NTAPI AllocateAdapterChannel(PDMA_ADAPTER dmaAdapter, PDEVICE_OBJECT deviceObject,
                                      ULONG numberOfMapRegisters, PDRIVER_CONTROL executionRoutine, PVOID context)
{
    executionRoutine(deviceObject, CurrentIrpOf(deviceObject), NULL, context);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI FlushAdapterBuffers(PDMA_ADAPTER dmaAdapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                                  ULONG length, BOOLEAN writeToDevice)
{
    return TRUE;
}

void NTAPI FreeAdapterChannel(PDMA_ADAPTER dmaAdapter)
{
}

void NTAPI FreeMapRegisters(PDMA_ADAPTER dmaAdapter, PVOID mapRegisterBase, ULONG numberOfMapRegisters)
{
}

// The whole length counts as mapped: *length is left as the caller set it.
PHYSICAL_ADDRESS NTAPI MapTransfer(PDMA_ADAPTER dmaAdapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                                   PULONG length, BOOLEAN writeToDevice)
{
    return AllOnesAddress();
}

ULONG NTAPI GetDmaAlignment(PDMA_ADAPTER dmaAdapter)
{
    return 4;
}

ULONG NTAPI ReadDmaCounter(PDMA_ADAPTER dmaAdapter)
{
    return 0;
}

// A list of one element, address all ones and length 1, handed to the routine before this
// returns; PutScatterGatherList frees it.
NTSTATUS NTAPI GetScatterGatherList(PDMA_ADAPTER dmaAdapter, PDEVICE_OBJECT deviceObject, PMDL mdl,
                                    PVOID currentVa, ULONG length, PDRIVER_LIST_CONTROL executionRoutine,
                                    PVOID context, BOOLEAN writeToDevice)
{
    auto* list = static_cast<PSCATTER_GATHER_LIST>(PoolAllocEx(sizeof(SCATTER_GATHER_LIST), PoolZeroed));
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    list->NumberOfElements = 1;
    list->Elements[0].Address = AllOnesAddress();
    list->Elements[0].Length = 1;
    executionRoutine(deviceObject, CurrentIrpOf(deviceObject), list, context);
    return STATUS_SUCCESS;
}

void NTAPI PutScatterGatherList(PDMA_ADAPTER dmaAdapter, PSCATTER_GATHER_LIST scatterGather, BOOLEAN writeToDevice)
{
    PoolFree(scatterGather);
}

// The table must read as the system's DMA_OPERATIONS up to its twelfth routine.
#define TARN_SAME_OFFSET(field) \
    static_assert(offsetof(SoftDmaOperationTable, field) == offsetof(DMA_OPERATIONS, field), #field)
TARN_SAME_OFFSET(PutDmaAdapter);
TARN_SAME_OFFSET(AllocateCommonBuffer);
TARN_SAME_OFFSET(FreeCommonBuffer);
TARN_SAME_OFFSET(AllocateAdapterChannel);
TARN_SAME_OFFSET(FlushAdapterBuffers);
TARN_SAME_OFFSET(FreeAdapterChannel);
TARN_SAME_OFFSET(FreeMapRegisters);
TARN_SAME_OFFSET(MapTransfer);
TARN_SAME_OFFSET(GetDmaAlignment);
TARN_SAME_OFFSET(ReadDmaCounter);
TARN_SAME_OFFSET(GetScatterGatherList);
TARN_SAME_OFFSET(PutScatterGatherList);
#undef TARN_SAME_OFFSET
static_assert(sizeof(SoftDmaOperationTable) == 104, "twelve routines after the size field on x64");

// The first version of the operations: Version 1 promises exactly the twelve routines above.
constexpr USHORT SoftDmaAdapterVersion = 1;

}  // namespace

const SoftDmaOperationTable SoftDmaOperations = {
    sizeof(SoftDmaOperationTable),
    PutDmaAdapter,
    AllocateCommonBuffer,
    FreeCommonBuffer,
    AllocateAdapterChannel,
    FlushAdapterBuffers,
    FreeAdapterChannel,
    FreeMapRegisters,
    MapTransfer,
    GetDmaAlignment,
    ReadDmaCounter,
    GetScatterGatherList,
    PutScatterGatherList,
};

SoftDmaChannel* SoftDmaChannel::Create()
{
    void* memory = PoolAlloc(sizeof(SoftDmaChannel));
    if (memory == NULL) {
        return NULL;
    }
    SoftDmaChannel* channel = new (memory, InPlace) SoftDmaChannel();
    if (!channel->AdapterValid) {
        channel->NonDelegatingRelease();
        return NULL;
    }
    return channel;
}

SoftDmaChannel::SoftDmaChannel()
    : UnknownBase(NULL),
      RawBuffer(NULL),
      RawSize(0),
      SystemBuffer(NULL),
      AllocatedSize(0),
      CurrentSize(0),
      Adapter(NULL),
      AdapterValid(FALSE)
{
    NonDelegatingAddRef();
    auto* record = static_cast<SoftDmaAdapter*>(PoolAlloc(sizeof(SoftDmaAdapter)));
    if (record != NULL) {
        record->Header.Version = SoftDmaAdapterVersion;
        record->Header.Size = sizeof(DMA_ADAPTER);
        record->Header.DmaOperations =
            reinterpret_cast<struct _DMA_OPERATIONS*>(const_cast<SoftDmaOperationTable*>(&SoftDmaOperations));
        record->Channel = this;
        Adapter = record;
        AdapterValid = TRUE;
    }
}

// The DMA buffer is its allocator's to free (FreeBuffer); only the adapter record goes here.
SoftDmaChannel::~SoftDmaChannel()
{
    PVOID record = InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Adapter), NULL);
    PoolFree(record);
    AdapterValid = FALSE;
}

NTSTATUS SoftDmaChannel::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    PUNKNOWN found = NULL;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IDmaChannel)) {
        found = reinterpret_cast<PUNKNOWN>(AsDmaChannel());
    }
    *object = found;
    return ReturnInterface(found);
}

// The low 32 bits of the constraint are an alignment mask: the block gets that much slack and the
// buffer starts at the first masked boundary inside it. A new buffer replaces the previous one
// only once it exists, so a failure leaves the channel as it was. An empty request is refused:
// the pool has no zero-byte blocks.
NTSTATUS SoftDmaChannel::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint)
{
    const ULONG alignMask = (physicalAddressConstraint != NULL) ? physicalAddressConstraint->LowPart : 0;
    const ULONGLONG rawSize = static_cast<ULONGLONG>(bufferSize) + alignMask;
    if (rawSize == 0) {
        return STATUS_INVALID_PARAMETER;  // the pool has no empty blocks
    }
    if (rawSize > 0xFFFFFFFFull) {  // RawSize is a ULONG; no such block exists anyway
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* raw = static_cast<PUCHAR>(PoolAlloc(static_cast<SIZE_T>(rawSize)));
    if (raw == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FreeBuffer();
    RawBuffer = raw;
    RawSize = static_cast<ULONG>(rawSize);
    SystemBuffer =
        reinterpret_cast<PUCHAR>((reinterpret_cast<ULONG_PTR>(raw) + alignMask) & ~static_cast<ULONG_PTR>(alignMask));
    AllocatedSize = bufferSize;
    CurrentSize = bufferSize;
    return STATUS_SUCCESS;
}

void SoftDmaChannel::FreeBuffer()
{
    PoolFree(RawBuffer);
    RawBuffer = NULL;
    RawSize = 0;
    SystemBuffer = NULL;
    AllocatedSize = 0;
    CurrentSize = 0;
}

// A size beyond the allocation is ignored.
void SoftDmaChannel::SetBufferSize(ULONG bufferSize)
{
    if (bufferSize <= AllocatedSize) {
        CurrentSize = bufferSize;
    }
}

PHYSICAL_ADDRESS SoftDmaChannel::BufferPhysicalAddress() const
{
    return MmGetPhysicalAddress(SystemBuffer);
}

PADAPTER_OBJECT SoftDmaChannel::GetAdapterObject()
{
    return reinterpret_cast<PADAPTER_OBJECT>(Adapter);
}

void SoftDmaChannel::CopyTo(PVOID destination, PVOID source, ULONG byteCount)
{
    RtlCopyMemory(destination, source, byteCount);
}

void SoftDmaChannel::CopyFrom(PVOID destination, PVOID source, ULONG byteCount)
{
    RtlCopyMemory(destination, source, byteCount);
}
