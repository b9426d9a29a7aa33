// The one translation unit of the stand-in that defines the GUIDs its headers declare, as a
// driver's INITGUID unit does on Windows. Hidden: the driver image defines the same names for
// itself, and a program holding both must see one definition of each (the driver's) from outside.
#pragma GCC visibility push(hidden)
#define INITGUID
#include "host/portcls.h"
#pragma GCC visibility pop
