// The driver's create and close hooks in front of the class driver: they count the handles opened
// at once, and count off the close of each of those alone.
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

TEST_F(DispatchHooksTest, OpenHandlesCountTheOpensCompletedAtOnceAndOnlyTheirCloses)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto* driver = static_cast<DriverState*>(image.Symbol("Driver"));
    ASSERT_NE(driver, nullptr);
    PDRIVER_OBJECT driverObject = image.DriverObject();
    DEVICE_OBJECT device = {};
    device.DriverObject = driverObject;
    FILE_OBJECT files[4] = {};

    struct Step {
        UCHAR hook;
        int file;              // index into files
        NTSTATUS classAnswer;  // what PcDispatchIrp returns for the request
        LONG openHandles;      // afterwards
    };
    // A request of a kind the stand-in's class driver does not look into gets the answer the test
    // names; the hooks see only its file object, so it stands in for a create or close here.
    const Step steps[] = {
        {IRP_MJ_CREATE, 0, STATUS_SUCCESS, 1},
        {IRP_MJ_CREATE, 1, STATUS_PENDING, 1},  // not open yet: not counted
        {IRP_MJ_CREATE, 2, STATUS_INVALID_DEVICE_REQUEST, 1},
        {IRP_MJ_CREATE, 3, STATUS_SUCCESS, 2},
        {IRP_MJ_CLOSE, 1, STATUS_SUCCESS, 2},  // the pended open, completed later: never counted
        {IRP_MJ_CLOSE, 0, STATUS_PENDING, 1},  // the file object goes whatever the close answers
        {IRP_MJ_CLOSE, 0, STATUS_SUCCESS, 1},  // counted off once only
        {IRP_MJ_CLOSE, 3, STATUS_INVALID_DEVICE_REQUEST, 0},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        host::SetPcDispatchIrpStatus(step.classAnswer);
        host::IoRequest request(IRP_MJ_READ, 0, &device);
        request.UseFileObject(&files[step.file]);
        EXPECT_EQ(driverObject->MajorFunction[step.hook](&device, &request.irp), step.classAnswer);
        EXPECT_EQ(driver->OpenHandles, step.openHandles);
    }
}
