#include "support/file_util.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "support/scratch_folder.h"

namespace asynframe {
namespace {

using testing_support::scoped_env;
using testing_support::scratch_folder;
using testing_support::slurp;
using testing_support::spit;

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
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);  // closed by the destructor
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
    EXPECT_EQ(user_data_folder(false, false), base + "/Tessal Network/Tessal/");
    EXPECT_EQ(user_data_folder(false, true), base + "/Tessal Network/Tessal/");
    EXPECT_FALSE(std::filesystem::exists(base));
}

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

// The base and both data levels below it.
std::vector<std::string> data_levels(const std::string& base) {
    return {base, base + "/Tessal Network", base + "/Tessal Network/Tessal"};
}

void expect_not_shared(const std::string& path) {
    const struct stat info = stat_of(path);
    EXPECT_EQ(info.st_mode & (S_IWGRP | S_ISGID), 0u) << path;
    if (const struct group* users = ::getgrnam("users")) {
        EXPECT_NE(info.st_gid, users->gr_gid) << path;
    }
}

class common_base_override {
public:
    explicit common_base_override(const std::string& base) { override_common_data_base(base); }
    ~common_base_override() { override_common_data_base(""); }
};

TEST(UserDataFolder, CreateMakesEveryLevelOfTheCommonFolderAndOpensItToUsers) {
    scratch_folder dir;
    const std::string base = dir.file("deep/base");
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    const std::string folder = user_data_folder(true, true);
    EXPECT_EQ(folder, base + "/Tessal Network/Tessal/");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    if (can_grant_users()) {
        for (const std::string& level : data_levels(base)) {
            const struct stat info = stat_of(level);
            EXPECT_EQ(info.st_gid, ::getgrnam("users")->gr_gid) << level;
            EXPECT_EQ(info.st_mode & (S_IRWXG | S_ISGID), static_cast<mode_t>(S_IRWXG | S_ISGID)) << level;
        }
        // Above the base is not the data folder's business.
        expect_not_shared(dir.file("deep"));
    }
    // Creating again over existing folders is harmless.
    EXPECT_EQ(user_data_folder(true, false), folder);
}

TEST(UserDataFolder, PerUserFoldersAreNeverOpenedToUsers) {
    scratch_folder dir;
    const std::string base = dir.file("home/.local/share");
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    const std::string folder = user_data_folder(true, false);
    EXPECT_EQ(folder, base + "/Tessal Network/Tessal/");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    for (const std::string& level : data_levels(base)) expect_not_shared(level);
}

TEST(UserDataFolder, FoldersThatExistedKeepTheirModes) {
    scratch_folder dir;
    const std::string base = dir.file("base");
    ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((base + "/Tessal Network").c_str(), 0750), 0);
    ASSERT_EQ(::chmod((base + "/Tessal Network").c_str(), 0750), 0);  // past the umask
    const struct stat base_before = stat_of(base);
    const struct stat level_before = stat_of(base + "/Tessal Network");
    scoped_env data("ASYNFRAME_DATA_DIR", base.c_str());
    for (const bool all_users : {true, false}) {
        EXPECT_TRUE(std::filesystem::is_directory(user_data_folder(true, all_users)));
        const struct stat base_after = stat_of(base);
        const struct stat level_after = stat_of(base + "/Tessal Network");
        EXPECT_EQ(base_after.st_mode, base_before.st_mode);
        EXPECT_EQ(base_after.st_gid, base_before.st_gid);
        EXPECT_EQ(level_after.st_mode, level_before.st_mode);
        EXPECT_EQ(level_after.st_gid, level_before.st_gid);
    }
}

TEST(UserDataFolder, CommonFolderThatCannotBeCreatedFallsBackToTheUsersFolder) {
    scratch_folder dir;
    // Below a regular file even root cannot make a folder.
    spit(dir.file("plain"), "x");
    const common_base_override common(dir.file("plain/common"));
    const std::string user_base = dir.file("user");
    scoped_env data("ASYNFRAME_DATA_DIR", nullptr);
    scoped_env xdg("XDG_DATA_HOME", user_base.c_str());

    // Naming the folder does not decide anything yet.
    EXPECT_EQ(user_data_folder(false, true), dir.file("plain/common") + "/Tessal Network/Tessal/");
    const std::string folder = user_data_folder(true, true);
    EXPECT_EQ(folder, user_base + "/Tessal Network/Tessal/");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(user_data_folder(true, false), folder);
    for (const std::string& level : data_levels(user_base)) expect_not_shared(level);
}

TEST(GrantUsersAccess, IdempotentAndFalseOnFailure) {
    scratch_folder dir;
    EXPECT_FALSE(grant_users_access(dir.file("missing")));
    spit(dir.file("plain"), "x");
    EXPECT_FALSE(grant_users_access(dir.file("plain")));
    // A link is refused and what it points at keeps its mode.
    ASSERT_EQ(::mkdir(dir.file("target").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(grant_users_access(dir.file("link")));
    EXPECT_EQ(stat_of(dir.file("target")).st_mode & 07777, 0700u);
    if (!can_grant_users()) GTEST_SKIP() << "needs root and group users";
    ASSERT_TRUE(grant_users_access(dir.path()));
    struct stat first {};
    ASSERT_EQ(::stat(dir.path().c_str(), &first), 0);
    ASSERT_TRUE(grant_users_access(dir.path()));
    struct stat second {};
    ASSERT_EQ(::stat(dir.path().c_str(), &second), 0);
    EXPECT_EQ(first.st_mode, second.st_mode);
    EXPECT_EQ(first.st_gid, second.st_gid);
    // The owner's and others' bits are left alone.
    EXPECT_EQ(second.st_mode & 0707, 0700u);
}

}  // namespace
}  // namespace asynframe
