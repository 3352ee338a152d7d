// strings.h must compile on its own and tolerate a second inclusion.
#include "asynframe/strings.h"
#include "asynframe/strings.h"
