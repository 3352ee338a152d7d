#include "platform/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace asynframe::platform {
namespace {

TEST(ErrorTable, MappedFileAndSocketCodes) {
    EXPECT_EQ(file_error_from_errno(0), 0u);
    EXPECT_EQ(file_error_from_errno(ENOENT), 2u);
    EXPECT_EQ(file_error_from_errno(EACCES), 5u);
    EXPECT_EQ(file_error_from_errno(EEXIST), 80u);
    EXPECT_EQ(file_error_from_errno(ENOSPC), 112u);
    EXPECT_EQ(file_error_from_errno(ECANCELED), 995u);
    EXPECT_EQ(socket_error_from_errno(ECONNREFUSED), 10061u);
    EXPECT_EQ(socket_error_from_errno(ECONNRESET), 10054u);
    EXPECT_EQ(socket_error_from_errno(ETIMEDOUT), 10060u);
    EXPECT_EQ(socket_error_from_errno(EAGAIN), 10035u);
    EXPECT_EQ(socket_error_from_errno(ECANCELED), 995u);
    // The same errno differs by column...
    EXPECT_EQ(file_error_from_errno(EACCES), 5u);
    EXPECT_EQ(socket_error_from_errno(EACCES), 10013u);
    // ...and a column without a meaning borrows the other one.
    EXPECT_EQ(socket_error_from_errno(ENOENT), 2u);
    EXPECT_EQ(file_error_from_errno(ECONNREFUSED), 10061u);
}

TEST(ErrorTable, UnmappedErrorsStayDistinguishableAndReversible) {
    for (int error : {ESRCH, E2BIG, ENXIO}) {
        const std::uint32_t file = file_error_from_errno(error);
        const std::uint32_t socket = socket_error_from_errno(error);
        EXPECT_EQ(file, unmapped_error_flag | static_cast<std::uint32_t>(error));
        EXPECT_EQ(socket, file);
        EXPECT_EQ(native_error_of(file), error);
    }
    for (int error = 1; error < 150; ++error) {
        const std::uint32_t code = file_error_from_errno(error);
        EXPECT_NE(code, 0u) << error;  // no failure turns into success
        if (native_error_of(code) != 0) {
            EXPECT_EQ(native_error_of(code), error);
        }
    }
    EXPECT_EQ(native_error_of(2), 0);
    EXPECT_EQ(native_error_of(10061), 0);
    EXPECT_EQ(native_error_of(0xE0008001u), 0);
}

// Windows reads the system's own last error instead (WindowsErrors in
// system_services_test.cpp).
#if !defined(_WIN32)
TEST(ErrorTable, LastErrorReadsErrno) {
    errno = ENOENT;
    EXPECT_EQ(last_file_error(), 2u);
    errno = ECONNREFUSED;
    EXPECT_EQ(last_socket_error(), 10061u);
    errno = 0;
    EXPECT_EQ(last_file_error(), 0u);
}
#endif

}  // namespace
}  // namespace asynframe::platform
