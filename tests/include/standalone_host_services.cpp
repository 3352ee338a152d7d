// host_services.h must compile on its own and tolerate a second inclusion.
#include "asynframe/host_services.h"
#include "asynframe/host_services.h"
