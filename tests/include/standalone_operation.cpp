// operation.h must compile on its own and tolerate a second inclusion.
#include "asynframe/operation.h"
#include "asynframe/operation.h"
