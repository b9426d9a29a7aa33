// The software DMA channel: its buffer, its adapter record and operations, its identity, and the
// wave miniport that makes one for its streams.
#include "core/soft_dma.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"
#include "support/recording_port.h"

namespace {

class SoftDmaTest : public PlatformTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(host::LivePoolCount(), 0u) << "every block went back to the pool once";
        PlatformTest::TearDown();
    }

    // The size of the newest live pool block.
    static size_t NewestBlockSize()
    {
        std::vector<host::PoolAllocation> live = host::LivePoolAllocations();
        return live.empty() ? 0 : live.back().size;
    }

    static const DMA_OPERATIONS* Operations(PDMACHANNEL channel)
    {
        return reinterpret_cast<PDMA_ADAPTER>(channel->GetAdapterObject())->DmaOperations;
    }
};

constexpr ULONGLONG AllOnes = 0xFFFFFFFFFFFFFFFFull;

struct Callback {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
    PVOID base = reinterpret_cast<PVOID>(1);
    ULONG elements = 0;
    ULONG length = 0;
    ULONGLONG address = 0;
};

IO_ALLOCATION_ACTION RecordAdapterChannel(PDEVICE_OBJECT device, PIRP irp, PVOID base, PVOID context)
{
    auto* seen = static_cast<Callback*>(context);
    *seen = {seen->calls + 1, device, irp, base};
    return KeepObject;
}

void RecordList(PDEVICE_OBJECT device, PIRP irp, PSCATTER_GATHER_LIST list, PVOID context)
{
    auto* seen = static_cast<Callback*>(context);
    *seen = {seen->calls + 1, device, irp, list,
             list->NumberOfElements, list->Elements[0].Length,
             static_cast<ULONGLONG>(list->Elements[0].Address.QuadPart)};
}

}  // namespace

TEST_F(SoftDmaTest, AllocateBufferAlignsByTheConstraintsLowPart)
{
    struct Case {
        ULONG size;
        bool constrained;
        ULONGLONG constraint;
        size_t blockBytes;
        ULONG_PTR alignment;
    };
    const Case cases[] = {
        {1000, true, 0xFFF, 5095, 4096},
        {1000, true, 0xFFFFFFFF00000FFFull, 5095, 4096},  // only the low 32 bits count
        {64, true, 0x3F, 127, 64},
        {1000, true, 0, 1000, 1},
        {1000, false, 0, 1000, 1},
    };
    for (const Case& c : cases) {
        SoftDmaChannel* made = SoftDmaChannel::Create();
        ASSERT_NE(made, nullptr);
        PDMACHANNEL channel = made->AsDmaChannel();
        PHYSICAL_ADDRESS constraint;
        constraint.QuadPart = static_cast<LONGLONG>(c.constraint);
        ASSERT_EQ(channel->AllocateBuffer(c.size, c.constrained ? &constraint : nullptr), STATUS_SUCCESS);
        auto* raw = static_cast<PUCHAR>(const_cast<void*>(host::LivePoolAllocations().back().address));
        auto* system = static_cast<PUCHAR>(channel->SystemAddress());
        EXPECT_EQ(NewestBlockSize(), c.blockBytes) << c.size << " bytes, mask " << c.constraint;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(system) % c.alignment, 0u);
        EXPECT_GE(system, raw);
        EXPECT_LE(system + c.size, raw + c.blockBytes) << "the buffer lies inside its block";
        if (c.alignment == 1) {
            EXPECT_EQ(system, raw);
        }
        EXPECT_EQ(channel->AllocatedBufferSize(), c.size);
        EXPECT_EQ(channel->BufferSize(), c.size);
        EXPECT_EQ(channel->TransferCount(), c.size);
        EXPECT_EQ(channel->MaximumBufferSize(), 0x100000u);
        EXPECT_EQ(channel->PhysicalAddress().QuadPart, reinterpret_cast<LONGLONG>(system))
            << "the stand-in's physical address is the virtual one";
        channel->FreeBuffer();
        EXPECT_EQ(channel->SystemAddress(), nullptr);
        EXPECT_EQ(channel->AllocatedBufferSize(), 0u);
        EXPECT_EQ(channel->BufferSize(), 0u);
        EXPECT_EQ(channel->Release(), 0u);
    }
}

TEST_F(SoftDmaTest, SetBufferSizeNeverExceedsTheAllocation)
{
    struct Case {
        ULONG requested;
        ULONG expected;
    };
    for (Case c : {Case{2000, 1000}, Case{1001, 1000}, Case{1000, 1000}, Case{500, 500}, Case{0, 0}}) {
        SoftDmaChannel* made = SoftDmaChannel::Create();
        ASSERT_NE(made, nullptr);
        PDMACHANNEL channel = made->AsDmaChannel();
        ASSERT_EQ(channel->AllocateBuffer(1000, nullptr), STATUS_SUCCESS);
        channel->SetBufferSize(c.requested);
        EXPECT_EQ(channel->BufferSize(), c.expected) << "after SetBufferSize " << c.requested;
        EXPECT_EQ(channel->TransferCount(), c.expected);
        EXPECT_EQ(channel->AllocatedBufferSize(), 1000u);
        channel->FreeBuffer();
        channel->Release();
    }
}

// A second buffer replaces the first; one that cannot be made, or an empty one, leaves the first
// in place.
TEST_F(SoftDmaTest, AReallocationNeitherLeaksNorLosesTheBuffer)
{
    struct Case {
        const char* name;
        ULONG size;
        ULONGLONG constraint;
        uint64_t failAllocation;  // 0: none
        NTSTATUS status;
        ULONG allocatedAfter;
    };
    const Case cases[] = {
        {"replaced", 300, 0, 0, STATUS_SUCCESS, 300},
        {"pool exhausted", 300, 0, 1, STATUS_INSUFFICIENT_RESOURCES, 100},
        {"beyond 32 bits", 0xFFFFFFFF, 0xFFF, 0, STATUS_INSUFFICIENT_RESOURCES, 100},
        {"zero bytes", 0, 0, 0, STATUS_INVALID_PARAMETER, 100},
    };
    for (const Case& c : cases) {
        SoftDmaChannel* made = SoftDmaChannel::Create();
        ASSERT_NE(made, nullptr);
        PDMACHANNEL channel = made->AsDmaChannel();
        ASSERT_EQ(channel->AllocateBuffer(100, nullptr), STATUS_SUCCESS);
        PVOID first = channel->SystemAddress();
        const size_t liveBefore = host::LivePoolCount();
        if (c.failAllocation != 0) {
            host::FailNthAllocation(c.failAllocation);
        }
        PHYSICAL_ADDRESS constraint;
        constraint.QuadPart = static_cast<LONGLONG>(c.constraint);
        EXPECT_EQ(channel->AllocateBuffer(c.size, &constraint), c.status) << c.name;
        host::ClearPoolFaults();
        EXPECT_EQ(host::LivePoolCount(), liveBefore) << c.name << ": one buffer block at a time";
        EXPECT_EQ(channel->AllocatedBufferSize(), c.allocatedAfter) << c.name;
        EXPECT_EQ(channel->SystemAddress() == first, c.status != STATUS_SUCCESS) << c.name;
        channel->FreeBuffer();
        channel->Release();
    }
}

TEST_F(SoftDmaTest, AnswersIUnknownAndIDmaChannelWithOnePointer)
{
    SoftDmaChannel* made = SoftDmaChannel::Create();
    ASSERT_NE(made, nullptr);
    PVOID asUnknown = nullptr;
    PVOID asChannel = nullptr;
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(made->NonDelegatingQueryInterface(IID_IUnknown, &asUnknown), STATUS_SUCCESS);
    EXPECT_EQ(made->AsDmaChannel()->QueryInterface(IID_IDmaChannel, &asChannel), STATUS_SUCCESS);
    EXPECT_EQ(made->QueryInterface(IID_IMiniport, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(asUnknown, asChannel);
    EXPECT_EQ(asChannel, static_cast<PVOID>(made->AsDmaChannel()));
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(made->AsDmaChannel()->Release(), 2u);
    EXPECT_EQ(made->AsDmaChannel()->Release(), 1u);
    EXPECT_EQ(made->AsDmaChannel()->Release(), 0u);
}

TEST_F(SoftDmaTest, TheAdapterOperationsMapNothingAndCallBackAtOnce)
{
    SoftDmaChannel* made = SoftDmaChannel::Create();
    ASSERT_NE(made, nullptr);
    PDMACHANNEL channel = made->AsDmaChannel();
    auto* adapter = reinterpret_cast<PDMA_ADAPTER>(channel->GetAdapterObject());
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->Version, 1);
    EXPECT_EQ(adapter->Size, 16);
    const DMA_OPERATIONS* ops = adapter->DmaOperations;
    EXPECT_EQ(ops->Size, 104u) << "the size field and twelve routines";

    UCHAR data[16] = {};
    ULONG length = 4096;
    EXPECT_EQ(static_cast<ULONGLONG>(ops->MapTransfer(adapter, nullptr, nullptr, data, &length, TRUE).QuadPart),
              AllOnes);
    EXPECT_EQ(length, 4096u) << "the whole length counts as mapped";
    PHYSICAL_ADDRESS logical;
    logical.QuadPart = 0;
    EXPECT_EQ(ops->AllocateCommonBuffer(adapter, 4096, &logical, TRUE), nullptr);
    EXPECT_EQ(static_cast<ULONGLONG>(logical.QuadPart), AllOnes);
    EXPECT_EQ(ops->FlushAdapterBuffers(adapter, nullptr, nullptr, data, 16, FALSE), TRUE);
    EXPECT_EQ(ops->GetDmaAlignment(adapter), 4u);
    EXPECT_EQ(ops->ReadDmaCounter(adapter), 0u);

    DEVICE_OBJECT device = {};
    device.CurrentIrp = reinterpret_cast<PIRP>(0x5150);
    Callback adapterChannel;
    EXPECT_EQ(ops->AllocateAdapterChannel(adapter, &device, 3, RecordAdapterChannel, &adapterChannel),
              STATUS_SUCCESS);
    EXPECT_EQ(adapterChannel.calls, 1) << "called before AllocateAdapterChannel returned";
    EXPECT_EQ(adapterChannel.device, &device);
    EXPECT_EQ(adapterChannel.irp, device.CurrentIrp);
    EXPECT_EQ(adapterChannel.base, nullptr);

    Callback list;
    EXPECT_EQ(ops->GetScatterGatherList(adapter, &device, nullptr, data, 16, RecordList, &list, TRUE),
              STATUS_SUCCESS);
    ASSERT_EQ(list.calls, 1) << "called before GetScatterGatherList returned";
    EXPECT_EQ(list.irp, device.CurrentIrp);
    EXPECT_EQ(list.elements, 1u);
    EXPECT_EQ(list.length, 1u);
    EXPECT_EQ(list.address, AllOnes);
    EXPECT_EQ(NewestBlockSize(), 40u) << "the list header and its one 24-byte element";
    ops->PutScatterGatherList(adapter, static_cast<PSCATTER_GATHER_LIST>(list.base), TRUE);

    host::FailNthAllocation(1);
    Callback refused;
    EXPECT_EQ(ops->GetScatterGatherList(adapter, &device, nullptr, data, 16, RecordList, &refused, TRUE),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.calls, 0);
    channel->Release();
}

TEST_F(SoftDmaTest, TheAdapterRecordIsFreedOnceWhoeverFreesItFirst)
{
    for (bool putByPort : {false, true}) {
        SoftDmaChannel* made = SoftDmaChannel::Create();
        ASSERT_NE(made, nullptr);
        PDMACHANNEL channel = made->AsDmaChannel();
        auto* adapter = reinterpret_cast<PDMA_ADAPTER>(channel->GetAdapterObject());
        ASSERT_NE(adapter, nullptr);
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

// Failing each allocation of the channel, alone and through the wave miniport that makes it.
TEST_F(SoftDmaTest, AChannelThatCannotBeMadeFailsItsMakerAndLeaksNothing)
{
    for (uint64_t failing : {1, 2}) {
        host::FailNthAllocation(failing);
        EXPECT_EQ(SoftDmaChannel::Create(), nullptr) << "allocation " << failing;
        host::ClearPoolFaults();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "allocation " << failing;
    }
    Adapter* adapter = Adapter::Create();
    ASSERT_NE(adapter, nullptr);
    RecordingPort port;
    for (uint64_t failing : {0, 1, 2}) {
        Cable* cable = Cable::Create(0, adapter);
        ASSERT_NE(cable, nullptr);
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        ASSERT_NE(miniport, nullptr);
        cable->AttachWaveMiniport(miniport);
        const size_t liveBefore = host::LivePoolCount();
        if (failing != 0) {
            host::FailNthAllocation(failing);
        }
        PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(1);
        NTSTATUS status = miniport->Init(nullptr, nullptr, &port, &group);
        host::ClearPoolFaults();
        EXPECT_EQ(group, nullptr);
        if (failing == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            ASSERT_NE(miniport->DmaChannel, nullptr);
            EXPECT_EQ(host::LivePoolCount(), liveBefore + 2) << "the channel and its adapter record";
            PVOID same = nullptr;
            EXPECT_EQ(miniport->DmaChannel->QueryInterface(IID_IDmaChannel, &same), STATUS_SUCCESS);
            EXPECT_EQ(same, static_cast<PVOID>(miniport->DmaChannel));
            miniport->DmaChannel->Release();
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failing;
            EXPECT_EQ(miniport->DmaChannel, nullptr);
            EXPECT_EQ(host::LivePoolCount(), liveBefore) << "allocation " << failing;
        }
        Cable::Destroy(cable);
    }
    adapter->Release();
}
