// The software DMA channel: its buffer, its adapter record and operations, its identity, and the
// wave miniport that makes one for its streams.
#include "core/soft_dma.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"
#include "support/recording_port.h"

namespace {

constexpr ULONGLONG AllOnes = 0xFFFFFFFFFFFFFFFFull;

class SoftDmaTest : public PlatformTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(host::LivePoolCount(), 0u) << "every block went back to the pool once";
        PlatformTest::TearDown();
    }

    static PDMACHANNEL NewChannel()
    {
        SoftDmaChannel* made = SoftDmaChannel::Create();
        EXPECT_NE(made, nullptr);
        return made->AsDmaChannel();
    }

    static const host::PoolAllocation NewestBlock() { return host::LivePoolAllocations().back(); }
};

// What a completion routine was called with.
struct Completion {
    int calls = 0;
    PIRP irp = nullptr;
    PVOID argument = reinterpret_cast<PVOID>(1);  // map-register base or scatter/gather list
};

IO_ALLOCATION_ACTION RecordAdapterChannel(PDEVICE_OBJECT, PIRP irp, PVOID base, PVOID context)
{
    *static_cast<Completion*>(context) = {static_cast<Completion*>(context)->calls + 1, irp, base};
    return KeepObject;
}

void RecordList(PDEVICE_OBJECT, PIRP irp, PSCATTER_GATHER_LIST list, PVOID context)
{
    *static_cast<Completion*>(context) = {static_cast<Completion*>(context)->calls + 1, irp, list};
}

}  // namespace

TEST_F(SoftDmaTest, AllocateBufferAlignsByTheConstraintsLowPartAndSizesAreKept)
{
    struct Case {
        ULONG size;
        const ULONGLONG* constraint;  // null: none given
        size_t blockBytes;
        ULONG_PTR alignment;
        ULONG setSize, sizeAfterSet;
    };
    const ULONGLONG page = 0xFFF, pageHigh = 0xFFFFFFFF00000FFFull, line = 0x3F, none = 0;
    const Case cases[] = {
        {1000, &page, 5095, 4096, 2000, 1000}, {1000, &pageHigh, 5095, 4096, 500, 500},
        {64, &line, 127, 64, 64, 64},          {1000, &none, 1000, 1, 1001, 1000},
        {1000, nullptr, 1000, 1, 0, 0},
    };
    for (const Case& c : cases) {
        PDMACHANNEL channel = NewChannel();
        PHYSICAL_ADDRESS constraint;
        constraint.QuadPart = c.constraint ? static_cast<LONGLONG>(*c.constraint) : 0;
        ASSERT_EQ(channel->AllocateBuffer(c.size, c.constraint ? &constraint : nullptr), STATUS_SUCCESS);
        const auto* raw = static_cast<const UCHAR*>(NewestBlock().address);
        auto* system = static_cast<PUCHAR>(channel->SystemAddress());
        EXPECT_EQ(NewestBlock().size, c.blockBytes) << c.size << " bytes, mask " << constraint.QuadPart;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(system) % c.alignment, 0u);
        EXPECT_TRUE(system >= raw && system + c.size <= raw + c.blockBytes) << "the buffer lies in its block";
        EXPECT_TRUE(c.alignment > 1 || system == raw);
        EXPECT_EQ(std::vector<ULONG>({channel->AllocatedBufferSize(), channel->BufferSize(), channel->TransferCount(),
                                      channel->MaximumBufferSize()}),
                  std::vector<ULONG>({c.size, c.size, c.size, 0x100000}));
        EXPECT_EQ(channel->PhysicalAddress().QuadPart, reinterpret_cast<LONGLONG>(system))
            << "the stand-in's physical address is the virtual one";
        channel->SetBufferSize(c.setSize);
        EXPECT_EQ(std::vector<ULONG>({channel->AllocatedBufferSize(), channel->BufferSize(), channel->TransferCount()}),
                  std::vector<ULONG>({c.size, c.sizeAfterSet, c.sizeAfterSet}))
            << "after SetBufferSize " << c.setSize;
        channel->FreeBuffer();
        EXPECT_EQ(channel->SystemAddress(), nullptr);
        EXPECT_EQ(channel->AllocatedBufferSize() + channel->BufferSize(), 0u);
        EXPECT_EQ(channel->Release(), 0u);
    }
}

// A second buffer replaces the first; one that cannot be made, or an empty one, leaves the first
// in place.
TEST_F(SoftDmaTest, AReallocationNeitherLeaksNorLosesTheBuffer)
{
    struct Case {
        const char* name;
        ULONG size;
        ULONG mask;
        uint64_t failAllocation;  // 0: none
        NTSTATUS status;
    };
    const Case cases[] = {
        {"replaced", 300, 0, 0, STATUS_SUCCESS},
        {"pool exhausted", 300, 0, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"beyond 32 bits", 0xFFFFFFFF, 0xFFF, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"zero bytes", 0, 0, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        PDMACHANNEL channel = NewChannel();
        ASSERT_EQ(channel->AllocateBuffer(100, nullptr), STATUS_SUCCESS);
        PVOID first = channel->SystemAddress();
        const size_t liveBefore = host::LivePoolCount();
        host::FailNthAllocation(c.failAllocation);
        PHYSICAL_ADDRESS constraint;
        constraint.QuadPart = c.mask;
        EXPECT_EQ(channel->AllocateBuffer(c.size, &constraint), c.status) << c.name;
        host::ClearPoolFaults();
        const bool replaced = c.status == STATUS_SUCCESS;
        EXPECT_EQ(host::LivePoolCount(), liveBefore) << c.name << ": one buffer block at a time";
        EXPECT_EQ(channel->AllocatedBufferSize(), replaced ? c.size : 100) << c.name;
        EXPECT_EQ(channel->SystemAddress() == first, !replaced) << c.name;
        channel->FreeBuffer();
        channel->Release();
    }
}

TEST_F(SoftDmaTest, AnswersIUnknownAndIDmaChannelWithOnePointer)
{
    PDMACHANNEL channel = NewChannel();
    for (const GUID* iid : {&IID_IUnknown, &IID_IDmaChannel}) {
        PVOID found = nullptr;
        EXPECT_EQ(channel->QueryInterface(*iid, &found), STATUS_SUCCESS);
        EXPECT_EQ(found, static_cast<PVOID>(channel));
        EXPECT_EQ(channel->Release(), 1u);
    }
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(channel->QueryInterface(IID_IMiniport, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(channel->Release(), 0u);
}

TEST_F(SoftDmaTest, TheAdapterOperationsMapNothingAndCallBackAtOnce)
{
    PDMACHANNEL channel = NewChannel();
    auto* adapter = reinterpret_cast<PDMA_ADAPTER>(channel->GetAdapterObject());
    ASSERT_NE(adapter, nullptr);
    const DMA_OPERATIONS* ops = adapter->DmaOperations;
    // The first version's twelve routines after the size field.
    EXPECT_EQ(std::vector<ULONG>({adapter->Version, adapter->Size, ops->Size}), std::vector<ULONG>({1, 16, 104}));

    UCHAR data[16] = {};
    ULONG length = 4096;
    EXPECT_EQ(static_cast<ULONGLONG>(ops->MapTransfer(adapter, nullptr, nullptr, data, &length, TRUE).QuadPart),
              AllOnes);
    EXPECT_EQ(length, 4096u) << "the whole length counts as mapped";
    PHYSICAL_ADDRESS logical = {};
    EXPECT_EQ(ops->AllocateCommonBuffer(adapter, 4096, &logical, TRUE), nullptr);
    EXPECT_EQ(static_cast<ULONGLONG>(logical.QuadPart), AllOnes);
    EXPECT_EQ(ops->FlushAdapterBuffers(adapter, nullptr, nullptr, data, 16, FALSE), TRUE);
    EXPECT_EQ(ops->GetDmaAlignment(adapter), 4u);
    EXPECT_EQ(ops->ReadDmaCounter(adapter), 0u);

    DEVICE_OBJECT device = {};
    device.CurrentIrp = reinterpret_cast<PIRP>(0x5150);
    Completion channelCall;
    EXPECT_EQ(ops->AllocateAdapterChannel(adapter, &device, 3, RecordAdapterChannel, &channelCall), STATUS_SUCCESS);
    EXPECT_EQ(channelCall.calls, 1) << "called before AllocateAdapterChannel returned";
    EXPECT_EQ(channelCall.irp, device.CurrentIrp);
    EXPECT_EQ(channelCall.argument, nullptr) << "no map registers";

    Completion listCall;
    EXPECT_EQ(ops->GetScatterGatherList(adapter, &device, nullptr, data, 16, RecordList, &listCall, TRUE),
              STATUS_SUCCESS);
    ASSERT_EQ(listCall.calls, 1) << "called before GetScatterGatherList returned";
    EXPECT_EQ(listCall.irp, device.CurrentIrp);
    auto* list = static_cast<PSCATTER_GATHER_LIST>(listCall.argument);
    EXPECT_EQ(std::vector<ULONGLONG>({list->NumberOfElements, list->Elements[0].Length,
                                      static_cast<ULONGLONG>(list->Elements[0].Address.QuadPart)}),
              std::vector<ULONGLONG>({1, 1, AllOnes}));
    EXPECT_EQ(NewestBlock().size, 40u) << "the list header and its one 24-byte element";
    ops->PutScatterGatherList(adapter, list, TRUE);

    host::FailNthAllocation(1);
    Completion refused;
    EXPECT_EQ(ops->GetScatterGatherList(adapter, &device, nullptr, data, 16, RecordList, &refused, TRUE),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.calls, 0);
    channel->Release();
}

TEST_F(SoftDmaTest, TheAdapterRecordIsFreedOnceWhoeverFreesItFirst)
{
    for (bool putByPort : {false, true}) {
        PDMACHANNEL channel = NewChannel();
        auto* adapter = reinterpret_cast<PDMA_ADAPTER>(channel->GetAdapterObject());
        EXPECT_EQ(host::LivePoolCount(), 2u) << "the channel and its adapter record";
        if (putByPort) {
            adapter->DmaOperations->PutDmaAdapter(adapter);
            EXPECT_EQ(host::LivePoolCount(), 1u);
            EXPECT_EQ(channel->GetAdapterObject(), nullptr);
        }
        channel->Release();
        EXPECT_EQ(host::LivePoolCount(), 0u) << (putByPort ? "after PutDmaAdapter" : "by the channel");
    }
}

// Failing each allocation of the channel through the wave miniport that makes it: the channel
// (1) and its adapter record (2).
TEST_F(SoftDmaTest, TheWaveMiniportMakesOneChannelOrFailsWithNothingLeft)
{
    Adapter* adapter = Adapter::Create();
    RecordingPort port;
    for (uint64_t failing : {0, 1, 2}) {
        Cable* cable = Cable::Create(0, adapter);
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        cable->AttachWaveMiniport(miniport);
        const size_t liveBefore = host::LivePoolCount();
        host::FailNthAllocation(failing);
        PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(1);
        NTSTATUS status = miniport->Init(nullptr, nullptr, &port, &group);
        host::ClearPoolFaults();
        EXPECT_EQ(group, nullptr);
        EXPECT_EQ(status, failing ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS) << "allocation " << failing;
        EXPECT_EQ(miniport->DmaChannel != nullptr, failing == 0) << "allocation " << failing;
        EXPECT_EQ(host::LivePoolCount(), liveBefore + (failing ? 0 : 2)) << "allocation " << failing;
        if (miniport->DmaChannel != nullptr) {
            PVOID same = nullptr;
            EXPECT_EQ(miniport->DmaChannel->QueryInterface(IID_IDmaChannel, &same), STATUS_SUCCESS);
            EXPECT_EQ(same, static_cast<PVOID>(miniport->DmaChannel));
            miniport->DmaChannel->Release();
        }
        Cable::Destroy(cable);
    }
    adapter->Release();
}
