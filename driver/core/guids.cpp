// The one translation unit that defines the GUIDs the driver uses.
#define INITGUID
#include "core/platform.h"

#include "core/device.h"
