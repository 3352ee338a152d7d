// device.h must compile on its own and tolerate a second inclusion.
#include "asynframe/device.h"
#include "asynframe/device.h"
