// A Windows host that includes <windows.h> before the library's headers
// (compiled by the cross build).
#include <windows.h>

#include "asynframe/asynframe.h"
#include "host_uses.h"
