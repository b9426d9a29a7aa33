// Declarations shared between the stand-in's own source files; not for the driver or tests.
#pragma once

#include <string>

#include "host/kernel.h"

namespace host {

KIRQL CurrentIrql();
// Fails with the verifier unless the current IRQL is at most `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const char* routine, const char* why);
// The names of the routines on the current call stack, innermost first (best effort).
std::string CallStackNames(int skipFrames);
void ResetPool();
void ResetSystemAnswers();
void ResetImageState();

}  // namespace host
