// A Windows host that includes <windows.h> after the library's headers
// (compiled by the cross build).
#include "asynframe/asynframe.h"

#include <windows.h>

#include "host_uses.h"
