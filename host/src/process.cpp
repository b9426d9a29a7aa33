// The process each thread runs in, as far as the driver can tell: the system process unless a test
// puts the thread in a client's (an application's request reaches the driver in its own process).
#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

// Every thread starts in the system process: DriverEntry, AddDevice, StartDevice, system worker
// threads and the DPCs the stand-in runs on its own threads.
thread_local ULONG_PTR currentProcess = SystemProcessId;

}  // namespace

void SetCurrentThreadProcess(ULONG_PTR processId)
{
    currentProcess = processId;
}

ULONG_PTR CurrentThreadProcess()
{
    return currentProcess;
}

InProcess::InProcess(ULONG_PTR processId) : previous_(currentProcess)
{
    currentProcess = processId;
}

InProcess::~InProcess()
{
    currentProcess = previous_;
}

}  // namespace host

// Like PsGetCurrentProcessId: the id of the process whose context the thread runs in.
HANDLE PsGetCurrentProcessId(void)
{
    return reinterpret_cast<HANDLE>(host::currentProcess);
}
