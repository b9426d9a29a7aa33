// The Adapter and its cables: identity, lookup by number, construction and teardown order.
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"

namespace {

class AdapterCableTest : public PlatformTest {
protected:
    void TearDown() override
    {
        if (adapter != nullptr) {
            adapter->DestroyAllCables();
            adapter->Release();
        }
        EXPECT_EQ(host::LivePoolCount(), 0u) << "every object returned its pool";
        PlatformTest::TearDown();
    }

    // Cables 0..count-1, each with a wave miniport, as cable creation builds them.
    void AddCables(ULONG count)
    {
        for (ULONG index = 0; index < count; ++index) {
            Cable* cable = Cable::Create(index, adapter);
            ASSERT_NE(cable, nullptr);
            cable->AttachWaveMiniport(WaveMiniport::Create(cable));
            adapter->AddCable(cable);
        }
    }

    Adapter* adapter = Adapter::Create();
};

}  // namespace

TEST_F(AdapterCableTest, AnswersOnlyIUnknownAndPowerManagement)
{
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(adapter->NonDelegatingQueryInterface(IID_IAdapterPowerManagement, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IAdapterPowerManagement*>(adapter));
    adapter->Release();
    EXPECT_EQ(adapter->QueryInterface(IID_IUnknown, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IAdapterPowerManagement*>(adapter));
    adapter->Release();
    EXPECT_EQ(adapter->QueryInterface(IID_IPortWavePci, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
}

TEST_F(AdapterCableTest, PowerChangeStateKeepsOnlyDeviceStatesD0ToD3)
{
    struct Case {
        DEVICE_POWER_STATE requested;
        ULONG expected;
    };
    for (Case c : {Case{PowerDeviceD3, 4}, Case{PowerDeviceMaximum, 4}, Case{PowerDeviceUnspecified, 4},
                   Case{PowerDeviceD1, 2}, Case{PowerDeviceD0, 1}}) {
        POWER_STATE state;
        state.DeviceState = c.requested;
        adapter->PowerChangeState(state);
        EXPECT_EQ(adapter->DevicePowerState, c.expected) << "after " << c.requested;
    }
}

TEST_F(AdapterCableTest, ANewCableHasItsDefaultsAndReferencesTheAdapter)
{
    adapter->AddRef();
    ULONG before = adapter->Release();
    Cable* cable = Cable::Create(7, adapter);
    ASSERT_NE(cable, nullptr);
    EXPECT_EQ(cable->Index, 7u);
    EXPECT_EQ(cable->MaxInstances, 20u);
    EXPECT_EQ(cable->CaptureOverflows, 0);
    EXPECT_EQ(cable->RenderUnderflows, 0);
    EXPECT_EQ(cable->Wave, nullptr);
    adapter->AddRef();
    EXPECT_EQ(adapter->Release(), before + 1) << "the cable holds one adapter reference";
    Cable::Destroy(cable);
    adapter->AddRef();
    EXPECT_EQ(adapter->Release(), before);
}

TEST_F(AdapterCableTest, FindCableWalksTheNumbersOfAllTwoHundredFiftySixCables)
{
    AddCables(256);
    Cable* last = adapter->FindCable(255);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Index, 255u);
    EXPECT_EQ(adapter->Cables.Items().Last(), &last->Link);
    EXPECT_EQ(adapter->FindCable(256), nullptr);
    EXPECT_EQ(adapter->FindCable(0)->Index, 0u);
}

TEST_F(AdapterCableTest, DestroyAllCablesGoesInCreationOrderAndAHeldMiniportKeepsItsCableStorage)
{
    const size_t adapterOnly = host::LivePoolCount();
    AddCables(3);
    // PortCls still holds the second cable's wave miniport.
    WaveMiniport* held = adapter->FindCable(1)->Wave;
    held->AddRef();
    std::vector<ULONG> order;
    for (ListEntry* walk = adapter->Cables.Items().First(); walk != nullptr; walk = walk->Next) {
        order.push_back(Cable::FromLink(walk)->Index);
    }
    ASSERT_EQ(order, (std::vector<ULONG>{0, 1, 2}));
    const size_t oneCable = (host::LivePoolCount() - adapterOnly) / 3;  // a cable and its miniport

    adapter->DestroyAllCables();

    EXPECT_TRUE(adapter->Cables.Items().Empty());
    EXPECT_EQ(host::LivePoolCount(), adapterOnly + oneCable) << "the held miniport and its cable's storage";
    EXPECT_EQ(held->CableOwner->Index, 1u);
    EXPECT_EQ(held->CableOwner->Wave, nullptr) << "the cable no longer holds its miniport";
    held->Release();
    EXPECT_EQ(host::LivePoolCount(), adapterOnly);
}
