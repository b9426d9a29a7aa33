// The system headers the panel's logic needs: Win32 types, the wave format structures and the
// driver's control protocol. Host unit tests put small stand-ins for the first four on the path.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

#include "shared/control_protocol.h"
