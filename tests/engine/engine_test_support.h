// The engine tests' own piece, a temporary file; the loopback sockets and the
// waiting come from the shared harness.
#pragma once

#if !defined(_WIN32)
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "common/harness.h"
#include "common/loopback.h"

namespace engine_test {

using namespace asynframe::harness;

#if !defined(_WIN32)
// A file in a fresh temporary folder, removed with the object.
struct temp_file {
    std::string folder;
    std::string path;
    int fd = -1;

    temp_file() {
        char pattern[] = "/tmp/asynframe_engine_XXXXXX";
        folder = ::mkdtemp(pattern);
        path = folder + "/data.bin";
        fd = must(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600), "open");
    }
    ~temp_file() {
        ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
};
#endif

}  // namespace engine_test
