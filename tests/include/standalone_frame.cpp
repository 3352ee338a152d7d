// frame.h must compile on its own and tolerate a second inclusion.
#include "asynframe/frame.h"
#include "asynframe/frame.h"
