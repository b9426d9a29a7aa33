// The verifier's no-block regions: code the driver marks as its processing section, in which a
// pool call, a wait or a mutex is a failure even where the IRQL would allow it.
#include <algorithm>

#include "host/internal.h"
#include "scheduler.h"

namespace host {
namespace {

// Per thread, allocation-free (a DPC enters and leaves on every pass). A DPC sees only the regions
// above `base`: those below belong to the context it interrupted.
struct Regions {
    static constexpr size_t NamesKept = 32;  // deeper nesting is counted, named by the 32nd
    const char* names[NamesKept];
    size_t depth;
    size_t base;
};
thread_local Regions regions __attribute__((tls_model("initial-exec"))) = {};

const char* Innermost()
{
    return regions.names[std::min(regions.depth, Regions::NamesKept) - 1];
}

}  // namespace

void EnterNoBlockRegion(const char* name)
{
    if (regions.depth < Regions::NamesKept) {
        regions.names[regions.depth] = name;
    }
    ++regions.depth;
}

void LeaveNoBlockRegion()
{
    if (regions.depth == regions.base) {
        ReportViolation("NO_BLOCK_REGION_NOT_ENTERED", "HOST_LEAVE_NO_BLOCK_REGION",
                        "left a no-block region that was never entered; the enter and leave marks must pair up");
        return;
    }
    --regions.depth;
}

void CheckBlockingCall(const char* routine, const char* action)
{
    if (regions.depth > regions.base) {
        ReportViolation("BLOCKING_CALL_IN_PROCESSING_SECTION", routine,
                        std::string(routine) + " " + action + " inside the no-block region \"" + Innermost() +
                            "\", which must not allocate or free pool, wait or take a mutex; do it outside the "
                            "region (before the timer starts, or in the control path)");
    }
}

size_t NoBlockRegionDepth()
{
    return regions.depth - regions.base;
}

size_t SetAsideNoBlockRegions()
{
    size_t previousBase = regions.base;
    regions.base = regions.depth;
    return previousBase;
}

void RestoreNoBlockRegions(size_t previousBase)
{
    regions.depth = regions.base;  // drops whatever the DPC left open
    regions.base = previousBase;
}

void ClearNoBlockRegions()
{
    regions.depth = 0;
    regions.base = 0;
}

}  // namespace host

// The driver's marks around its processing section (see HOST_ENTER_NO_BLOCK_REGION).
void HostEnterNoBlockRegion(const char* name)
{
    host::EnterNoBlockRegion(name);
}

void HostLeaveNoBlockRegion(void)
{
    host::LeaveNoBlockRegion();
}
