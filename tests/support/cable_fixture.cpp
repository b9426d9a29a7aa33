// A cable built as cable creation builds it, for engine tests.
#include "support/cable_fixture.h"

#include "core/driver_state.h"
#include "engine/audio_format.h"

void CableTest::SetUp()
{
    PlatformTest::SetUp();
    // As DriverEntry does: on the stand-in, as from Windows 7, the processor-group routines exist.
    LookUpProcessorRoutines();
    // A cable's first stream has asked for a finer timer resolution by the time its engine runs.
    host::SetClockTick(host::FinestClockTick);
    // DPCs run as on Windows, the moment a thread's IRQL drops below DISPATCH_LEVEL.
    host::SetDpcsRunWhenIrqlDrops(true);
    adapter = Adapter::Create();
    ASSERT_NE(adapter, nullptr);
}

void CableTest::TearDown()
{
    // The service groups are only names for the recording port, not objects to release.
    for (ListEntry* walk = adapter->Cables.Items().First(); walk != nullptr; walk = walk->Next) {
        Cable::FromLink(walk)->Wave->ServiceGroup = nullptr;
    }
    adapter->DestroyAllCables();
    adapter->Release();
    EXPECT_EQ(host::LivePoolCount(), 0u) << "every engine object returned its pool";
    PlatformTest::TearDown();
}

void CableTest::AddCables(ULONG count)
{
    for (ULONG index = 0; index < count; ++index) {
        Cable* cable = Cable::Create(index, adapter);
        ASSERT_NE(cable, nullptr);
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        ASSERT_NE(miniport, nullptr);
        miniport->Port = &port;
        miniport->ServiceGroup = CableGroup(index);
        cable->AttachWaveMiniport(miniport);
        adapter->AddCable(cable);
    }
}

void CableTest::StartEngine(ULONG index, const WAVEFORMATEXTENSIBLE& format)
{
    WaveMiniport* miniport = Miniport(index);
    miniport->LockStateIdle();
    NTSTATUS status = miniport->AcquireEngine(&format);
    miniport->UnlockStateIdle();
    ASSERT_EQ(status, STATUS_SUCCESS);
    miniport->StartTimer();
}

void CableTest::StopEngine(ULONG index)
{
    WaveMiniport* miniport = Miniport(index);
    miniport->StopTimer();
    miniport->LockStateIdle();
    miniport->ReleaseEngine();
    miniport->UnlockStateIdle();
}

WAVEFORMATEXTENSIBLE PcmFormat(ULONG rate, ULONG bits, ULONG channels)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, rate, bits, channels, 0, 0xFFFFFFFF);
    return format;
}
