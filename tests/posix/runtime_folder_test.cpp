#include "platform/posix/runtime_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "posix/temp_runtime_folder.h"

namespace zelk::posix {
namespace {

using testing::TempRuntimeFolder;

TEST(RuntimeFolderTest, ResolvesFromTheVariablesInOrder) {
    struct Case {
        const char* zelk;
        const char* xdg;
        const char* expected;
    };
    const Case cases[] = {
        {"/srv/zelk-rt", "/run/user/1000", "/srv/zelk-rt"},
        {nullptr, "/run/user/1000", "/run/user/1000/zelk"},
        {"", "/run/user/1000", "/run/user/1000/zelk"},
        {nullptr, nullptr, "/tmp/zelk-1000"},
        {"", "", "/tmp/zelk-1000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResolveRuntimeFolder(c.zelk, c.xdg, 1000), c.expected)
            << (c.zelk ? c.zelk : "(unset)") << " / " << (c.xdg ? c.xdg : "(unset)");
    }
}

TEST(RuntimeFolderTest, CreatesAMissingFolderPrivateToTheUser) {
    TempRuntimeFolder parent;
    const std::string folder = parent / "rt";
    const RuntimeFolderCheck check = PrepareRuntimeFolder(folder);
    ASSERT_TRUE(check.ok()) << check.message;
    struct stat info {};
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    // A second look at the same folder accepts it as it is.
    EXPECT_TRUE(PrepareRuntimeFolder(folder).ok());
}

TEST(RuntimeFolderTest, RefusesUnsafeFolders) {
    struct Case {
        const char* name;
        // Makes the thing at path; false when this machine cannot (the case is then skipped).
        std::function<bool(const std::string& path)> make;
        RuntimeFolderProblem expected;
        const char* inMessage;
    };
    const Case cases[] = {
        {"group may read",
         [](const std::string& p) {
             return ::mkdir(p.c_str(), 0750) == 0 && ::chmod(p.c_str(), 0750) == 0;
         },
         RuntimeFolderProblem::kOpenToOthers, "0750"},
        {"others may enter",
         [](const std::string& p) {
             return ::mkdir(p.c_str(), 0701) == 0 && ::chmod(p.c_str(), 0701) == 0;
         },
         RuntimeFolderProblem::kOpenToOthers, "0701"},
        {"a regular file",
         [](const std::string& p) { return static_cast<bool>(std::ofstream(p) << "x"); },
         RuntimeFolderProblem::kNotFolder, "not a folder"},
        {"a link to a good folder",
         [](const std::string& p) {
             return ::mkdir((p + "-target").c_str(), 0700) == 0 &&
                    ::symlink((p + "-target").c_str(), p.c_str()) == 0;
         },
         RuntimeFolderProblem::kNotFolder, "symbolic link"},
        {"owned by another user",
         [](const std::string& p) {
             return ::geteuid() == 0 && ::mkdir(p.c_str(), 0700) == 0 &&
                    ::chown(p.c_str(), 65534, 65534) == 0;
         },
         RuntimeFolderProblem::kNotOwned, "belongs to user 65534"},
        {"inside a missing folder", [](const std::string&) { return true; },
         RuntimeFolderProblem::kCannotCreate, "cannot be created"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRuntimeFolder parent;
        std::string path = parent / "rt";
        if (c.expected == RuntimeFolderProblem::kCannotCreate)
            path = parent / "missing/rt";
        if (!c.make(path)) {
            std::cout << "[   SKIP   ] " << c.name << ": cannot be made here\n";
            continue;
        }
        const RuntimeFolderCheck check = PrepareRuntimeFolder(path);
        EXPECT_EQ(check.problem, c.expected);
        EXPECT_NE(check.message.find(path), std::string::npos) << check.message;
        EXPECT_NE(check.message.find(c.inMessage), std::string::npos) << check.message;
    }
}

TEST(RuntimeFolderTest, RefusesAPathWithNoRoomForTitles) {
    TempRuntimeFolder parent;
    std::string path = parent.path() + "/";
    path += std::string(kMaxRuntimeFolderLength - path.size(), 'r');
    EXPECT_TRUE(PrepareRuntimeFolder(path).ok());
    const RuntimeFolderCheck check = PrepareRuntimeFolder(path + "r");
    EXPECT_EQ(check.problem, RuntimeFolderProblem::kPathTooLong);
}

}  // namespace
}  // namespace zelk::posix
