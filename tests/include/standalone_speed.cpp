// speed.h must compile on its own and tolerate a second inclusion.
#include "asynframe/speed.h"
#include "asynframe/speed.h"
