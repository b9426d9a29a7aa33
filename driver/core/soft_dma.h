// The software DMA channel a WavePci port wants from its miniport. The cable has no hardware, so
// the channel is ordinary non-paged memory and its adapter maps nothing: every physical address it
// reports is all ones and every completion routine runs at once. The engine reaches client data
// through the virtual addresses of its mappings, never through these.
#pragma once

#include "core/unknown.h"

class SoftDmaChannel;

// The adapter object the channel hands the port: the system's DMA_ADAPTER, whose operations are
// SoftDmaOperations, followed by the channel that owns the record.
struct SoftDmaAdapter {
    DMA_ADAPTER Header;
    SoftDmaChannel* Channel;
};

// The first-version routines of DMA_OPERATIONS in the system's order, as constant data of the
// driver's own type: the system's structure has more routines in newer headers, which this table
// leaves out and its Size excludes.
struct SoftDmaOperationTable {
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
};

extern const SoftDmaOperationTable SoftDmaOperations;

constexpr ULONG SoftDmaMaximumBufferSize = 0x100000;  // reported only; AllocateBuffer does not enforce it
constexpr LONGLONG NoPhysicalAddress = -1;            // all 64 bits set

class SoftDmaChannel : public DmaChannelInterface, public UnknownBase {
public:
    // Allocates and constructs a channel with one reference and its adapter record. Null when pool
    // is exhausted for either (nothing is left allocated then).
    static SoftDmaChannel* Create();

    DELEGATING_UNKNOWN
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // The channel as the port sees it.
    PDMACHANNEL AsDmaChannel() { return reinterpret_cast<PDMACHANNEL>(static_cast<DmaChannelInterface*>(this)); }

    // IDmaChannel. Any IRQL up to DISPATCH_LEVEL; the buffer fields are changed only by the
    // channel's owner, so no lock is kept.
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override { return CurrentSize; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return SoftDmaMaximumBufferSize; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return AllocatedSize; }
    STDMETHODIMP_(ULONG) BufferSize() override { return CurrentSize; }
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override { return SystemBuffer; }
    IMP_DMA_CHANNEL_PHYSICAL_ADDRESS(BufferPhysicalAddress)
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    PHYSICAL_ADDRESS BufferPhysicalAddress() const;

    PUCHAR RawBuffer;      // the pool block of AllocateBuffer; null when none
    ULONG RawSize;         // its bytes, alignment slack included
    PUCHAR SystemBuffer;   // the aligned start within it
    ULONG AllocatedSize;   // the size AllocateBuffer was asked for
    ULONG CurrentSize;     // the size last set by SetBufferSize, at most AllocatedSize
    // The record handed out by GetAdapterObject. Whoever exchanges it for null frees it: the
    // destructor, or PutDmaAdapter should the port give the adapter back first.
    SoftDmaAdapter* volatile Adapter;
    BOOLEAN AdapterValid;  // the adapter record was made

private:
    SoftDmaChannel();
    ~SoftDmaChannel() override;
};
