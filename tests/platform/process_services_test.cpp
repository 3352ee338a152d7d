// Pages, memory probing, module lookup and Base64: the small services of the process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/encoding.h"
#include "platform/memory.h"
#include "platform/module.h"
#include "platform/probe.h"

namespace asynframe::platform {
namespace {

TEST(PageTest, PagesAreZeroedWritableAndOnlyOurOwnAreFreed) {
    const std::uint32_t size = page_size();
    ASSERT_GE(size, 4096u);
    EXPECT_EQ(size & (size - 1), 0u) << "a power of two";
    auto* page = static_cast<unsigned char*>(alloc_page());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % size, 0u);
    for (std::uint32_t i = 0; i < size; i += 512) EXPECT_EQ(page[i], 0);
    page[size - 1] = 0xA5;

    int on_stack = 0;
    EXPECT_FALSE(free_page(&on_stack)) << "not a page of ours";
    EXPECT_FALSE(free_page(page + 1));
    EXPECT_TRUE(free_page(nullptr));
    EXPECT_TRUE(free_page(page));
    EXPECT_FALSE(free_page(page)) << "already returned";
}

TEST(ProbeTest, ReadsMappedMemoryAndRefusesWhatIsNot) {
    const char text[] = "probe me";
    char copy[sizeof text] = {};
    EXPECT_TRUE(safe_read(text, copy, sizeof text));
    EXPECT_STREQ(copy, text);
    EXPECT_TRUE(safe_read(nullptr, copy, 0));
    EXPECT_FALSE(safe_read(nullptr, copy, 1));

    // A page given back is no longer there to read, nor is a range that runs into it.
    auto* page = static_cast<char*>(alloc_page());
    ASSERT_NE(page, nullptr);
    std::memcpy(page, "data", 4);
    ASSERT_TRUE(safe_read(page, copy, 4));
    ASSERT_TRUE(free_page(page));
    EXPECT_FALSE(safe_read(page, copy, 4));
    EXPECT_FALSE(safe_read(page + page_size() - 2, copy, 4));
}

TEST(ModuleTest, FindsTheModuleOfCodeAndTheExecutableName) {
    module_info info;
    ASSERT_TRUE(module_of(reinterpret_cast<const void*>(&page_size), info));
    EXPECT_NE(info.base, 0u);
    EXPECT_FALSE(info.path.empty());
    const module_info& own = own_module();
    EXPECT_EQ(own.base, info.base) << "linked into this program";
    EXPECT_EQ(own.path, info.path);

    const std::string name = executable_file_name();
    EXPECT_NE(name.find("test_platform"), std::string::npos) << name;
    EXPECT_EQ(name.find_first_of("/\\"), std::string::npos) << "no folder";
    EXPECT_NE(info.path.find(name), std::string::npos);

    module_info none;
    EXPECT_FALSE(module_of(nullptr, none));
}

TEST(EncodingTest, Base64OfTheStandardVectors) {
    // RFC 4648, section 10.
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64(std::string("\xFB\xFF\x00", 3)), "+/8A");
    EXPECT_EQ(base64("user:pass word"), "dXNlcjpwYXNzIHdvcmQ=");
}

}  // namespace
}  // namespace asynframe::platform
