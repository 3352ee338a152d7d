#include "support/text.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

namespace asynframe {
namespace {

TEST(NumberText, Conversions) {
    EXPECT_EQ(uint_to_text(0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(int_to_text(static_cast<std::int32_t>(0xFFFFFFFFu)), "-1");
    EXPECT_EQ(int_to_text(INT32_MIN), "-2147483648");
    EXPECT_EQ(int64_to_text(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(uint64_to_text(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(uint_to_text(0), "0");
}

TEST(NumberText, ByteToHexUsesTheLowByte) {
    EXPECT_EQ(byte_to_hex(0x0A), "0A");
    EXPECT_EQ(byte_to_hex(0xFF), "FF");
    EXPECT_EQ(byte_to_hex(0x1FF), "FF");
    EXPECT_EQ(byte_to_hex(0), "00");
}

TEST(NumberText, IpToTextReadsNetworkOrder) {
    auto address = [](unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
        const unsigned char bytes[4] = {a, b, c, d};
        std::uint32_t value;
        std::memcpy(&value, bytes, 4);
        return value;
    };
    EXPECT_EQ(ip_to_text(address(192, 168, 1, 20)), "192.168.1.20");
    EXPECT_EQ(ip_to_text(address(0, 0, 0, 0)), "0.0.0.0");
    EXPECT_EQ(ip_to_text(0xFFFFFFFFu), "255.255.255.255");
}

struct widget {
    virtual ~widget() = default;
    virtual int first() { return 1; }
    virtual int second() { return 2; }
};

std::string bad_text(const void* p) {
    char text[64];
    std::snprintf(text, sizeof text, "Bad IUnknown:0x%08" PRIXPTR, reinterpret_cast<std::uintptr_t>(p));
    return text;
}

TEST(DescribeInterface, SameClassSameTextOtherModuleDiffers) {
    widget a, b;
    const std::string described = describe_interface(&a, 2);
    EXPECT_EQ(described, describe_interface(&b, 2));
    EXPECT_NE(described, describe_interface(&a, 3));  // another function, another offset
    // This code is the library's own module (linked in): its version numbers show.
    const std::string version = "[" + std::to_string(ASYNFRAME_VERSION_MAJOR) + "." +
                                std::to_string(ASYNFRAME_VERSION_MINOR) + "." +
                                std::to_string(ASYNFRAME_VERSION_PATCH) + ".0]";
    EXPECT_TRUE(std::regex_match(described, std::regex("test_support\\[[0-9.]+\\]:0x[0-9A-F]{8,}\\[[0-9A-F]+\\]")))
        << described;
    EXPECT_NE(described.find(version), std::string::npos) << described;

    std::stringstream other_module;
    const std::string foreign = describe_interface(&other_module, 0);
    EXPECT_NE(foreign.find("libstdc++"), std::string::npos) << foreign;
    EXPECT_NE(foreign.find("[0.0.0.0]"), std::string::npos) << foreign;
}

TEST(DescribeInterface, UnreadableMemoryNeverFaults) {
    EXPECT_EQ(describe_interface(nullptr, 0), "Bad IUnknown:0x00000000");

    const long page = ::sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
    char* const guarded = area + page;

    // Object itself unreadable.
    EXPECT_EQ(describe_interface(guarded, 0), bad_text(guarded));
    // Table pointer unreadable.
    void* object[1] = {guarded};
    EXPECT_EQ(describe_interface(object, 0), bad_text(object));
    // Table readable up to the guard page: slot 0 fine, slot 1 beyond it.
    auto** table = reinterpret_cast<void**>(guarded - sizeof(void*));
    widget w;
    table[0] = (*reinterpret_cast<void***>(&w))[0];
    object[0] = table;
    EXPECT_NE(describe_interface(object, 0).rfind("Bad IUnknown", 0), 0u);
    EXPECT_EQ(describe_interface(object, 1), bad_text(object));
    EXPECT_EQ(describe_interface(object, -1), bad_text(object));
    // Function pointer into unreadable memory.
    table[0] = guarded;
    EXPECT_EQ(describe_interface(object, 0), bad_text(object));
    // Readable function address outside any module.
    table[0] = area;
    EXPECT_EQ(describe_interface(object, 0), bad_text(object));

    ::munmap(area, 2 * page);
}

TEST(ModuleFileVersion, OnlyTheLibraryItself) {
    file_version version;
    EXPECT_FALSE(module_file_version("libc.so.6", version));
    EXPECT_FALSE(module_file_version("", version));
    EXPECT_TRUE(module_file_version("test_support", version));
    EXPECT_EQ(version.major, ASYNFRAME_VERSION_MAJOR);
    EXPECT_EQ(version.minor, ASYNFRAME_VERSION_MINOR);
    EXPECT_EQ(version.build, ASYNFRAME_VERSION_PATCH);
    EXPECT_EQ(version.revision, 0);
}

}  // namespace
}  // namespace asynframe
