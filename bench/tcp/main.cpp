// The programs' main: says which kernel and which mechanism each library ran
// on, with the results, and makes room for the many-connection cases.
#include <sys/resource.h>
#include <sys/utsname.h>

#include "tcp_common.h"

#ifndef BENCH_BACKENDS
#error "BENCH_BACKENDS names the mechanism of each library in the program"
#endif

int tcp_bench::run_main(int argc, char** argv, const char* backends) {
    // Two descriptors a connection, a thousand connections, and the peers'.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 8192) {
        limit.rlim_cur = limit.rlim_max < 8192 ? limit.rlim_max : 8192;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    utsname system{};
    ::uname(&system);
    benchmark::AddCustomContext("kernel", std::string(system.sysname) + " " + system.release);
    benchmark::AddCustomContext("backends", backends);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

int main(int argc, char** argv) { return tcp_bench::run_main(argc, argv, BENCH_BACKENDS); }
