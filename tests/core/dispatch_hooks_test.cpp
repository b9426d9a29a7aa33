// The driver's create and close hooks in front of the class driver: they count the handles the
// class driver opened, by the status it answered with.
#include "core/driver_state.h"
#include "support/platform_fixture.h"

namespace {

class DispatchHooksTest : public PlatformTest {
protected:
    void TearDown() override
    {
        image.Unload();
        PlatformTest::TearDown();
    }

    host::DriverImage image{host::DefaultDriverImagePath()};
};

}  // namespace

TEST_F(DispatchHooksTest, OpenHandlesCountCreatesAndClosesTheClassDriverCompleted)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto* driver = static_cast<DriverState*>(image.Symbol("Driver"));
    ASSERT_NE(driver, nullptr);
    PDRIVER_OBJECT driverObject = image.DriverObject();
    DEVICE_OBJECT device = {};
    device.DriverObject = driverObject;

    struct Step {
        UCHAR major;
        NTSTATUS classAnswer;  // what PcDispatchIrp returns for the request
        LONG openHandles;      // afterwards
    };
    // The hooks pass the request on untouched, and the stand-in's class driver does not look into
    // it: no IRP is needed.
    const Step steps[] = {
        {IRP_MJ_CREATE, STATUS_SUCCESS, 1},
        {IRP_MJ_CREATE, STATUS_PENDING, 1},  // not open yet: not counted
        {IRP_MJ_CREATE, STATUS_INVALID_DEVICE_REQUEST, 1},
        {IRP_MJ_CREATE, STATUS_SUCCESS, 2},
        {IRP_MJ_CLOSE, STATUS_PENDING, 2},
        {IRP_MJ_CLOSE, STATUS_INVALID_DEVICE_REQUEST, 2},
        {IRP_MJ_CLOSE, STATUS_SUCCESS, 1},
        {IRP_MJ_CLOSE, STATUS_SUCCESS, 0},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        host::SetPcDispatchIrpStatus(step.classAnswer);
        EXPECT_EQ(driverObject->MajorFunction[step.major](&device, nullptr), step.classAnswer);
        EXPECT_EQ(driver->OpenHandles, step.openHandles);
    }
}
