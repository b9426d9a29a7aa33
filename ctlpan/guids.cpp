// The one translation unit that defines the GUIDs the panel uses.
#include <initguid.h>

#include "panel_platform.h"
