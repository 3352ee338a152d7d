// tls.h must compile on its own and tolerate a second inclusion.
#include "asynframe/tls.h"
#include "asynframe/tls.h"
