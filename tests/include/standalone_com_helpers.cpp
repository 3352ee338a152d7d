// com_helpers.h must compile on its own and tolerate a second inclusion.
#include "asynframe/com_helpers.h"
#include "asynframe/com_helpers.h"
