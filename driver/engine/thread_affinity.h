// Restricting the threads that deliver buffers to a cable's streams to processor 0, when the
// driver-wide affinity counts ask for it on a machine with that many cables.
#pragma once

#include "core/platform.h"

class WaveMiniport;

// Limits the calling thread to processor 0 when either count applies: the system mixer count for
// any thread, the client count for threads of the system process (id 4). A thread is limited once
// per cable and direction and recorded in that direction's table; once the table is full an
// unrecorded thread is limited again at every call, which changes nothing for it. Called by
// MappingAvailable in the delivering thread, at DISPATCH_LEVEL or below, holding no spin lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
void RestrictThreadAffinity(WaveMiniport* miniport, BOOLEAN capture);
