#include "platform/posix/whole_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace zelk::posix {
namespace {

namespace fs = std::filesystem;

class WholeFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("zelk-whole-" + std::to_string(random()));
        fs::create_directories(dir_);
        path_ = (dir_ / "state").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static std::string Contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(WholeFileTest, ReadsWhatWasReplacedAndTellsAMissingFile) {
    std::string text = "stale";
    std::string error;
    EXPECT_EQ(ReadWholeFile(path_, &text, &error), ReadResult::kMissing);
    EXPECT_TRUE(text.empty());

    const std::string contents("line\n\0binary", 12);
    ASSERT_TRUE(ReplaceWholeFile(path_, contents, &error)) << error;
    ASSERT_TRUE(ReplaceWholeFile(path_, contents + "!", &error)) << error;
    EXPECT_EQ(ReadWholeFile(path_, &text, &error), ReadResult::kRead);
    EXPECT_EQ(text, contents + "!");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(WholeFileTest, FailuresSayWhyAndLeaveNothingBehind) {
    std::string text;
    std::string error;
    EXPECT_FALSE(ReplaceWholeFile((dir_ / "no" / "state").string(), "x", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;

    fs::create_directories(dir_ / "folder");
    error.clear();
    EXPECT_FALSE(ReplaceWholeFile((dir_ / "folder").string(), "x", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadWholeFile((dir_ / "folder").string(), &text, &error), ReadResult::kFailed);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(WholeFileTest, ALinkKeepsPointingAtTheReplacedFile) {
    fs::create_directories(dir_ / "real");
    const fs::path target = dir_ / "real" / "state";
    std::string error;
    ASSERT_TRUE(ReplaceWholeFile(target.string(), "old", &error)) << error;
    fs::create_symlink(target, path_);

    ASSERT_TRUE(ReplaceWholeFile(path_, "new", &error)) << error;
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(Contents(target), "new");
}

TEST_F(WholeFileTest, ANewFileFollowsTheUmask) {
    const mode_t old = umask(027);
    std::string error;
    const bool replaced = ReplaceWholeFile(path_, "x", &error);
    umask(old);
    ASSERT_TRUE(replaced) << error;
    EXPECT_EQ(fs::status(path_).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(WholeFileTest, AReadOnlyFileIsNotReplaced) {
    if (geteuid() == 0)
        GTEST_SKIP() << "the superuser may write any file";
    std::string error;
    ASSERT_TRUE(ReplaceWholeFile(path_, "old", &error)) << error;
    fs::permissions(path_, fs::perms::owner_read);
    EXPECT_FALSE(ReplaceWholeFile(path_, "new", &error));
    EXPECT_EQ(Contents(path_), "old");
}

}  // namespace
}  // namespace zelk::posix
