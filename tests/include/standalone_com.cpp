// com.h must compile on its own and tolerate a second inclusion.
#include "asynframe/com.h"
#include "asynframe/com.h"
