// Routines placed as a driver places them, for the verifier's code-placement checks.
#pragma once
#include "host/kernel.h"

void PageableRoutineTakingASpinLock();
void PageableRoutineCallingOneThatTakesASpinLock();
