#include "../bench_main.h"

#ifndef BENCH_BACKENDS
#error "BENCH_BACKENDS names the mechanism of each library in the program"
#endif

ASYNFRAME_BENCH_MAIN(BENCH_BACKENDS)
