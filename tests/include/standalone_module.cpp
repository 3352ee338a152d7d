// module.h must compile on its own and tolerate a second inclusion.
#include "asynframe/module.h"
#include "asynframe/module.h"
