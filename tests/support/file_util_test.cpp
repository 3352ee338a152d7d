#include "support/file_util.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <vector>

#include "support/scratch_folder.h"

namespace asynframe {
namespace {

using testing_support::scoped_env;
using testing_support::separator;
using testing_support::scratch_folder;
using testing_support::slurp;
using testing_support::spit;

// "<base>/Tessal Network/Tessal/" with this system's separator.
std::string data_folder_of(const std::string& base) {
    return base + separator + "Tessal Network" + separator + "Tessal" + separator;
}

// The base and both data levels below it.
std::vector<std::string> data_levels(const std::string& base) {
    return {base, base + separator + "Tessal Network", base + separator + "Tessal Network" + separator + "Tessal"};
}

template <typename F>
file_exception catch_file_exception(F&& action) {
    try {
        action();
    } catch (const file_exception& e) {
        return e;
    }
    ADD_FAILURE() << "no file_exception";
    return file_exception("none", 0);
}

TEST(FileEx, OpenModes) {
    scratch_folder dir;
    const std::string name = dir.file("a.bin");

    const auto missing = catch_file_exception([&] { file_ex f(name, 0); });
    EXPECT_EQ(missing.code(), 2u);
    EXPECT_EQ(std::string(missing.what()), "open file:" + name + " error , error code: 2");
    EXPECT_EQ(catch_file_exception([&] { file_ex f(name, 3); }).code(), 2u);

    { file_ex created(name, 1); created.write("hello", 5); }
    EXPECT_EQ(catch_file_exception([&] { file_ex f(name, 1); }).code(), 80u);  // exists already
    { file_ex other_mode(name, 7); EXPECT_EQ(other_mode.length(), 5u); }      // like mode 0
    { file_ex truncated(name, 2); EXPECT_EQ(truncated.length(), 0u); }

    spit(name, "data");
    file_ex read_only(name, 3);
    const auto denied = catch_file_exception([&] { read_only.write("x", 1); });
    EXPECT_EQ(std::string(denied.what()), "write file error, error code: 5");
    // A folder is not a file in any mode.
    EXPECT_EQ(catch_file_exception([&] { file_ex f(dir.path(), 3); }).code(), 5u);
}

TEST(FileEx, ReadWriteSeekLengthFlush) {
    scratch_folder dir;
    file_ex f(dir.file("rw.bin"), 2);
    f.write("0123456789", 10);
    f.flush();
    EXPECT_EQ(f.length(), 10u);
    f.seek(4);
    char buffer[4] = {};
    f.read(buffer, 3);
    EXPECT_EQ(std::string(buffer, 3), "456");

    f.set_length(6);  // shorter: truncates
    EXPECT_EQ(f.length(), 6u);
    f.set_length(1u << 20);  // longer: extends with zeros
    EXPECT_EQ(f.length(), 1u << 20);

    f.seek(4);
    char zeros[8] = {1};
    f.read(zeros, 8);
    EXPECT_EQ(std::string(zeros, 8), std::string("45") + std::string(6, '\0'));

    f.set_length(6);
    f.seek(2);
    char tail[8];
    const auto short_read = catch_file_exception([&] { f.read(tail, 8); });
    EXPECT_STREQ(short_read.what(), "while read file, only success read part data, error code: 38");
}

TEST(FileEx, NoHandleFailsEveryCallButZeroWrite) {
    file_ex none;
    EXPECT_EQ(none.handle(), file_ex::invalid_handle);
    none.write(nullptr, 0);  // makes no call at all
    EXPECT_STREQ(catch_file_exception([&] { none.write("x", 1); }).what(), "write file error, error code: 6");
    char c;
    EXPECT_STREQ(catch_file_exception([&] { none.read(&c, 1); }).what(), "read file error, error code: 6");
    EXPECT_STREQ(catch_file_exception([&] { none.seek(1); }).what(), "set file pos error, error code: 6");
    EXPECT_STREQ(catch_file_exception([&] { none.length(); }).what(), "get file length error, error code: 6");
    EXPECT_STREQ(catch_file_exception([&] { none.flush(); }).what(), "flush file error, error code: 6");
    EXPECT_STREQ(catch_file_exception([&] { none.set_length(0); }).what(), "set file pos error, error code: 6");
}

TEST(FileEx, AttachAndDetachHandOverOwnership) {
    scratch_folder dir;
    spit(dir.file("x"), "abc");
    file_ex first(dir.file("x"), 3);
    const file_ex::native_handle handle = first.detach();
    EXPECT_EQ(first.handle(), file_ex::invalid_handle);
    {
        file_ex second;
        second.attach(handle);
        EXPECT_EQ(second.length(), 3u);
        second.attach(handle);  // the same handle again stays open
        EXPECT_EQ(second.length(), 3u);
    }
    // Closed by the destructor.
#if defined(_WIN32)
    DWORD flags = 0;
    EXPECT_FALSE(::GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags));
#else
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
#endif
}

TEST(FileSizeByName, SizeOrAllOnes) {
    scratch_folder dir;
    spit(dir.file("five"), "12345");
    EXPECT_EQ(file_size_by_name(dir.file("five")), 5u);
    EXPECT_EQ(file_size_by_name(dir.file("missing")), ~std::uint64_t{0});
    EXPECT_EQ(file_size_by_name(dir.path()), 0u);
}

TEST(UserDataFolder, WithoutCreateTouchesNothing) {
    scratch_folder dir;
    const std::string base = dir.file("base");
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    EXPECT_EQ(user_data_folder(false, false), data_folder_of(base));
    EXPECT_EQ(user_data_folder(false, true), data_folder_of(base));
    EXPECT_FALSE(std::filesystem::exists(base));
}

#if defined(_WIN32)

std::string special_folder(int id) {
    char path[MAX_PATH] = {};
    EXPECT_EQ(::SHGetFolderPathA(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path), S_OK) << id;
    return path;
}

TEST(UserDataFolder, BasesAreTheSystemsApplicationDataFolders) {
    scoped_env data("ASYNFRAME_DATA_DIR", nullptr);
    EXPECT_EQ(user_data_folder(false, false), data_folder_of(special_folder(CSIDL_APPDATA)));
    EXPECT_EQ(user_data_folder(false, true), data_folder_of(special_folder(CSIDL_COMMON_APPDATA)));
}

// The users group's own (not inherited) grant on a path.
struct users_grant {
    bool present = false;
    ACCESS_MASK mask = 0;
    BYTE flags = 0;
};

users_grant users_grant_of(const std::string& path) {
    users_grant grant;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no access list for " << path;
        return grant;
    }
    alignas(SID) BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD users_size = sizeof users;
    ::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &users_size);
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(list, i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE) != 0) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (!::EqualSid(&allowed->SidStart, users)) continue;
        grant.present = true;
        grant.mask |= allowed->Mask;
        grant.flags |= header->AceFlags;
    }
    ::LocalFree(descriptor);
    return grant;
}

// Any user may grant the users group rights on a folder the user owns, where
// the file system keeps access lists at all (wine keeps them only in extended
// attributes, which not every Linux file system has): asked once, with a grant
// the test makes itself.
bool can_grant_users() {
    static const bool kept = [] {
        const testing_support::scratch_folder probe;
        alignas(SID) BYTE users[SECURITY_MAX_SID_SIZE];
        DWORD users_size = sizeof users;
        if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &users_size)) return false;
        EXPLICIT_ACCESS_A grant{};
        grant.grfAccessPermissions = GENERIC_ALL;
        grant.grfAccessMode = GRANT_ACCESS;
        grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        grant.Trustee.ptstrName = reinterpret_cast<LPSTR>(users);
        PACL list = nullptr;
        if (::SetEntriesInAclA(1, &grant, nullptr, &list) != ERROR_SUCCESS) return false;
        std::string path = probe.path();
        const bool set = ::SetNamedSecurityInfoA(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, list, nullptr) == ERROR_SUCCESS;
        ::LocalFree(list);
        return set && users_grant_of(path).present;
    }();
    return kept;
}

void expect_shared(const std::string& path) {
    const users_grant grant = users_grant_of(path);
    EXPECT_TRUE(grant.present) << path;
    EXPECT_TRUE((grant.mask & GENERIC_ALL) != 0 || (grant.mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) << path;
    EXPECT_EQ(grant.flags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE),
              static_cast<BYTE>(CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE))
        << path;
}

void expect_not_shared(const std::string& path) { EXPECT_FALSE(users_grant_of(path).present) << path; }

// What decides who may use the path: its access list.
std::string access_of(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return "<none>";
    char* text = nullptr;
    std::string result = "<none>";
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                               DACL_SECURITY_INFORMATION, &text, nullptr)) {
        result = text;
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return result;
}

// The mode has no counterpart here; the folder takes its parent's access list.
bool make_folder(const std::string& path, unsigned) { return std::filesystem::create_directory(path); }

#else

TEST(UserDataFolder, BasesFromTheEnvironment) {
    scoped_env data("ASYNFRAME_DATA_DIR", nullptr);
    {
        scoped_env xdg("XDG_DATA_HOME", "/x/data/");
        EXPECT_EQ(user_data_folder(false, false), "/x/data/Tessal Network/Tessal/");
        EXPECT_EQ(user_data_folder(false, true), "/var/lib/Tessal Network/Tessal/");
    }
    scoped_env xdg("XDG_DATA_HOME", nullptr);
    {
        scoped_env home("HOME", "/home/u");
        EXPECT_EQ(user_data_folder(false, false), "/home/u/.local/share/Tessal Network/Tessal/");
    }
    scoped_env home("HOME", nullptr);
    EXPECT_EQ(user_data_folder(false, false), "/tmp/Tessal Network/Tessal/");
}

bool can_grant_users() { return ::getgrnam("users") != nullptr && ::geteuid() == 0; }

struct stat stat_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

void expect_not_shared(const std::string& path) {
    const struct stat info = stat_of(path);
    EXPECT_EQ(info.st_mode & (S_IWGRP | S_ISGID), 0u) << path;
    if (const struct group* users = ::getgrnam("users")) {
        EXPECT_NE(info.st_gid, users->gr_gid) << path;
    }
}

void expect_shared(const std::string& path) {
    const struct stat info = stat_of(path);
    EXPECT_EQ(info.st_gid, ::getgrnam("users")->gr_gid) << path;
    EXPECT_EQ(info.st_mode & (S_IRWXG | S_ISGID), static_cast<mode_t>(S_IRWXG | S_ISGID)) << path;
}

// What decides who may use the path: its mode and group.
std::string access_of(const std::string& path) {
    const struct stat info = stat_of(path);
    return std::to_string(info.st_mode) + " " + std::to_string(info.st_gid);
}

// A folder with exactly `mode`, past the umask.
bool make_folder(const std::string& path, unsigned mode) {
    return ::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0;
}

#endif

class common_base_override {
public:
    explicit common_base_override(const std::string& base) { override_common_data_base(base); }
    ~common_base_override() { override_common_data_base(""); }
};

TEST(UserDataFolder, CreateMakesEveryLevelOfTheCommonFolderAndOpensItToUsers) {
    scratch_folder dir;
    const std::string base = dir.file("deep") + separator + "base";
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    const std::string folder = user_data_folder(true, true);
    EXPECT_EQ(folder, data_folder_of(base));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    if (can_grant_users()) {
        for (const std::string& level : data_levels(base)) expect_shared(level);
        // Above the base is not the data folder's business.
        expect_not_shared(dir.file("deep"));
    }
    // Creating again over existing folders is harmless.
    EXPECT_EQ(user_data_folder(true, false), folder);
}

TEST(UserDataFolder, PerUserFoldersAreNeverOpenedToUsers) {
    scratch_folder dir;
    const std::string base = dir.file("home") + separator + ".local" + separator + "share";
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    const std::string folder = user_data_folder(true, false);
    EXPECT_EQ(folder, data_folder_of(base));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    for (const std::string& level : data_levels(base)) expect_not_shared(level);
}

TEST(UserDataFolder, FoldersThatExistedKeepTheirModes) {
    scratch_folder dir;
    const std::string base = dir.file("base");
    const std::string level = base + separator + "Tessal Network";
    ASSERT_TRUE(make_folder(base, 0700));
    ASSERT_TRUE(make_folder(level, 0750));
    const std::string base_before = access_of(base);
    const std::string level_before = access_of(level);
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    for (const bool all_users : {true, false}) {
        EXPECT_TRUE(std::filesystem::is_directory(user_data_folder(true, all_users)));
        EXPECT_EQ(access_of(base), base_before);
        EXPECT_EQ(access_of(level), level_before);
    }
}

TEST(UserDataFolder, CommonFolderThatCannotBeCreatedFallsBackToTheUsersFolder) {
    scratch_folder dir;
    // Below a regular file even root cannot make a folder.
    spit(dir.file("plain"), "x");
    const std::string common_base = dir.file("plain") + separator + "common";
    const common_base_override common(common_base);
    const std::string user_base = dir.file("user");
#if defined(_WIN32)
    // The user's base is the system's folder here; the variable stands in for it.
    scoped_env data("ASYNFRAME_DATA_DIR", user_base.c_str());
#else
    scoped_env data("ASYNFRAME_DATA_DIR", nullptr);
    scoped_env xdg("XDG_DATA_HOME", user_base.c_str());
#endif

    // Naming the folder does not decide anything yet.
    EXPECT_EQ(user_data_folder(false, true), data_folder_of(common_base));
    const std::string folder = user_data_folder(true, true);
    EXPECT_EQ(folder, data_folder_of(user_base));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(user_data_folder(true, false), folder);
    for (const std::string& level : data_levels(user_base)) expect_not_shared(level);
}

TEST(GrantUsersAccess, IdempotentAndFalseOnFailure) {
    scratch_folder dir;
    EXPECT_FALSE(grant_users_access(dir.file("missing")));
    spit(dir.file("plain"), "x");
    EXPECT_FALSE(grant_users_access(dir.file("plain")));
    // A link is refused and what it points at keeps its access.
    ASSERT_TRUE(make_folder(dir.file("target"), 0700));
    const std::string target_before = access_of(dir.file("target"));
    std::error_code refused;
    std::filesystem::create_directory_symlink(dir.file("target"), dir.file("link"), refused);
    // Windows lets only privileged or developer-mode users make links.
    if (!refused) {
        EXPECT_FALSE(grant_users_access(dir.file("link")));
        EXPECT_EQ(access_of(dir.file("target")), target_before);
    }
#if defined(_WIN32)
    if (!can_grant_users()) GTEST_SKIP() << "this file system keeps no access lists";
#else
    if (!can_grant_users()) GTEST_SKIP() << "needs root and group users";
#endif
    ASSERT_TRUE(grant_users_access(dir.path()));
    const std::string first = access_of(dir.path());
    expect_shared(dir.path());
    ASSERT_TRUE(grant_users_access(dir.path()));
    EXPECT_EQ(access_of(dir.path()), first);
#if !defined(_WIN32)
    // The owner's and others' bits are left alone.
    EXPECT_EQ(stat_of(dir.path()).st_mode & 0707, 0700u);
#endif
}

}  // namespace
}  // namespace asynframe
