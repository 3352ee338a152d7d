// socket.h must compile on its own and tolerate a second inclusion.
#include "asynframe/socket.h"
#include "asynframe/socket.h"
