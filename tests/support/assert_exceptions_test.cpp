#include <gtest/gtest.h>

#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

// GoogleTest's own simple expressions (Windows) know \d but no brackets.
#if GTEST_USES_SIMPLE_RE
#define any_number "\\d+"
#else
#define any_number "[0-9]+"
#endif

TEST(Exceptions, TextsAndKinds) {
    const socket_exception refused("connect", 10061);
    EXPECT_STREQ(refused.what(), "connect, error code: 10061");
    EXPECT_EQ(refused.code(), 10061u);
    EXPECT_STREQ(socket_exception("m", 0).what(), "m, error code: 0");
    EXPECT_STREQ(socket_exception("m", 0xFFFFFFFFu).what(), "m, error code: 4294967295");

    const file_exception missing("open file:x error ", 2);
    EXPECT_STREQ(missing.what(), "open file:x error , error code: 2");
    EXPECT_EQ(missing.code(), 2u);
    const io_exception& as_io = missing;
    const std::runtime_error& as_runtime = as_io;
    EXPECT_STREQ(as_runtime.what(), "open file:x error , error code: 2");

    EXPECT_STREQ(io_exception("io").what(), "io");
    EXPECT_STREQ(proxy_exception("proxy").what(), "proxy");
    const std::runtime_error& format = format_exception("bad reply");
    EXPECT_STREQ(format.what(), "bad reply");
}

TEST(Assertion, TextLayout) {
    EXPECT_EQ(assertion_text("a != 0", "vortan_assert", "engine.cpp", 42),
              "a != 0 not true, detail: vortan_assert file: engine.cpp line: 42");
    EXPECT_STREQ(assertion_file_name("/src/engine/x.cpp"), "x.cpp");
    EXPECT_STREQ(assertion_file_name("C:\\src\\y.cpp"), "y.cpp");
}

TEST(AssertionDeathTest, FalseExpressionEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int segments_num = 0;
    vortan_assert(segments_num == 0, "vortan_assert");  // true: nothing happens
    EXPECT_DEATH(vortan_assert(segments_num != 0, "vortan_assert"),
                 "0xE0008001: segments_num != 0 not true, detail: vortan_assert file: "
                 "assert_exceptions_test.cpp line: " any_number);
    EXPECT_DEATH(vortan_assert_text(false, "fixed", std::string("who"), "Here", 7),
                 "fixed not true, detail: who file: Here line: 7");
}

}  // namespace
}  // namespace asynframe
