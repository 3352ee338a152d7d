// dns.h must compile on its own and tolerate a second inclusion.
#include "asynframe/dns.h"
#include "asynframe/dns.h"
