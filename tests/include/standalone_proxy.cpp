// proxy.h must compile on its own and tolerate a second inclusion.
#include "asynframe/proxy.h"
#include "asynframe/proxy.h"
