// connect.h must compile on its own and tolerate a second inclusion.
#include "asynframe/connect.h"
#include "asynframe/connect.h"
