// The main of every benchmark program: the kernel and the mechanism each
// library ran on go out with the results, so a number is never read without
// them.
#pragma once

#include <sys/resource.h>
#include <sys/utsname.h>

#include <string>

#include <benchmark/benchmark.h>

namespace asynframe_bench {

inline int run(int argc, char** argv, const char* backends) {
    // The many-connection cases need two descriptors a connection, and the peers' too.
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

}  // namespace asynframe_bench

#define ASYNFRAME_BENCH_MAIN(backends) \
    int main(int argc, char** argv) { return asynframe_bench::run(argc, argv, backends); }
