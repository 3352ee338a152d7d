// events.h must compile on its own and tolerate a second inclusion.
#include "asynframe/events.h"
#include "asynframe/events.h"
