// The verifier's no-block regions: code the driver marks as its processing section, in which a
// pool call, a wait or a mutex is a failure even where the IRQL would allow it.
#include <algorithm>

#include "host/internal.h"
#include "scheduler.h"

namespace host {

__thread NoBlockRegions noBlockRegions HOST_HOT_TLS = {};

namespace {

const char* Innermost()
{
    return noBlockRegions.names[std::min(noBlockRegions.depth, NoBlockRegions::NamesKept) - 1];
}

}  // namespace

void EnterNoBlockRegion(const char* name)
{
    if (noBlockRegions.depth < NoBlockRegions::NamesKept) {
        noBlockRegions.names[noBlockRegions.depth] = name;
    }
    ++noBlockRegions.depth;
}

void LeaveNoBlockRegion()
{
    if (noBlockRegions.depth == noBlockRegions.base) {
        ReportViolation("NO_BLOCK_REGION_NOT_ENTERED", "HOST_LEAVE_NO_BLOCK_REGION",
                        "left a no-block region that was never entered; the enter and leave marks must pair up");
        return;
    }
    --noBlockRegions.depth;
}

void CheckBlockingCall(const char* routine, const char* action)
{
    if (noBlockRegions.depth > noBlockRegions.base) {
        ReportViolation("BLOCKING_CALL_IN_PROCESSING_SECTION", routine,
                        std::string(routine) + " " + action + " inside the no-block region \"" + Innermost() +
                            "\", which must not allocate or free pool, wait or take a mutex; do it outside the "
                            "region (before the timer starts, or in the control path)");
    }
}

void ClearNoBlockRegions()
{
    noBlockRegions.depth = 0;
    noBlockRegions.base = 0;
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
