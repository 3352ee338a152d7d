#include "support/text.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

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

// This program's module as the library names it.
#if defined(_WIN32)
constexpr const char* own_module_name = "test_support.exe";
constexpr const char* own_module_pattern = "test_support\\.exe";
#else
constexpr const char* own_module_name = "test_support";
constexpr const char* own_module_pattern = "test_support";
#endif

// Two pages, the second of which cannot be read.
char* guarded_pages(std::size_t& page) {
#if defined(_WIN32)
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    page = system.dwPageSize;
    auto* area = static_cast<char*>(::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (area != nullptr && !::VirtualProtect(area + page, page, PAGE_NOACCESS, &old)) return nullptr;
    return area;
#else
    page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* area = static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (area == MAP_FAILED || ::mprotect(area + page, page, PROT_NONE) != 0) return nullptr;
    return area;
#endif
}

void free_pages(char* area, std::size_t page) {
#if defined(_WIN32)
    (void)page;
    ::VirtualFree(area, 0, MEM_RELEASE);
#else
    ::munmap(area, 2 * page);
#endif
}

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
    EXPECT_TRUE(std::regex_match(described, std::regex(std::string(own_module_pattern) +
                                                       "\\[[0-9.]+\\]:0x[0-9A-F]{8,}\\[[0-9A-F]+\\]")))
        << described;
    EXPECT_NE(described.find(version), std::string::npos) << described;

#if defined(_WIN32)
    // The standard library is linked into the program here: a table whose
    // entry is a function of a system DLL stands for another module's object.
    const void* table[1] = {reinterpret_cast<const void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetTickCount"))};
    const void* other_module[1] = {table};
    const std::string foreign = describe_interface(other_module, 0);
    EXPECT_TRUE(std::regex_match(foreign, std::regex("[a-z0-9]+\\.dll\\[0\\.0\\.0\\.0\\]:.*", std::regex::icase)))
        << foreign;
#else
    std::stringstream other_module;
    const std::string foreign = describe_interface(&other_module, 0);
    EXPECT_NE(foreign.find("libstdc++"), std::string::npos) << foreign;
    EXPECT_NE(foreign.find("[0.0.0.0]"), std::string::npos) << foreign;
#endif
}

TEST(DescribeInterface, UnreadableMemoryNeverFaults) {
    EXPECT_EQ(describe_interface(nullptr, 0), "Bad IUnknown:0x00000000");

    std::size_t page = 0;
    char* const area = guarded_pages(page);
    ASSERT_NE(area, nullptr);
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

    free_pages(area, page);
}

TEST(ModuleFileVersion, OnlyTheLibraryItself) {
    file_version version;
#if defined(_WIN32)
    EXPECT_FALSE(module_file_version("kernel32.dll", version));
#else
    EXPECT_FALSE(module_file_version("libc.so.6", version));
#endif
    EXPECT_FALSE(module_file_version("", version));
    EXPECT_TRUE(module_file_version(own_module_name, version));
    EXPECT_EQ(version.major, ASYNFRAME_VERSION_MAJOR);
    EXPECT_EQ(version.minor, ASYNFRAME_VERSION_MINOR);
    EXPECT_EQ(version.build, ASYNFRAME_VERSION_PATCH);
    EXPECT_EQ(version.revision, 0);
}

}  // namespace
}  // namespace asynframe
