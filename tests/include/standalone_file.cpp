// file.h must compile on its own and tolerate a second inclusion.
#include "asynframe/file.h"
#include "asynframe/file.h"
