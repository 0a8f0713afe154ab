#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace zelk {
namespace {

namespace fs = std::filesystem;

class PosixFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("zelk-files-" + std::to_string(random()));
        fs::create_directories(dir_);
        ini_ = (dir_ / "Qalto.ini").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void WriteFile(const fs::path& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string Read(const char* section, const char* key, const char* fallback = "none",
                     uint32_t capacity = 64) {
        std::vector<char> buffer(capacity + 1, '#');
        const uint32_t length =
            files_.ReadIniString(section, key, fallback, buffer.data(), capacity, ini_.c_str());
        EXPECT_EQ(buffer[length], '\0');
        return std::string(buffer.data(), length);
    }

    PosixFiles files_;
    fs::path dir_;
    std::string ini_;
};

TEST_F(PosixFilesTest, StreamsBytesWithSeekAndTell) {
    const fs::path path = dir_ / "t\xC3\xB6ne.bin";  // a name outside ASCII
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes.push_back(static_cast<char>(i));
    WriteFile(path, bytes);

    auto stream = files_.OpenForReading(files_.NarrowToWide(path.string().c_str()));
    ASSERT_TRUE(stream);
    uint8_t buffer[16];
    ASSERT_EQ(stream->Read(buffer, 10), 10u);
    EXPECT_EQ(buffer[9], 9);
    int64_t position = -1;
    ASSERT_TRUE(stream->Tell(&position));
    EXPECT_EQ(position, 10);
    ASSERT_TRUE(stream->Seek(280, SeekOrigin::kBegin));
    EXPECT_EQ(stream->Read(buffer, 16), 16u);
    EXPECT_EQ(buffer[0], 280 % 256);
    ASSERT_TRUE(stream->Seek(-2, SeekOrigin::kEnd));
    EXPECT_EQ(stream->Read(buffer, 16), 2u);
    ASSERT_TRUE(stream->Seek(-100, SeekOrigin::kCurrent));
    ASSERT_TRUE(stream->Tell(&position));
    EXPECT_EQ(position, 200);

    EXPECT_FALSE(files_.OpenForReading(files_.NarrowToWide((dir_ / "missing").string().c_str())));
}

TEST_F(PosixFilesTest, BackslashesSeparateFolders) {
    fs::create_directories(dir_ / "sub");
    WriteFile(dir_ / "sub" / "a.wav", "abc");
    const std::string windowsStyle = dir_.string() + "\\sub\\a.wav";
    EXPECT_TRUE(files_.OpenForReading(files_.NarrowToWide(windowsStyle.c_str())));
    ASSERT_TRUE(files_.WriteIniString("S", "k", "v", (dir_.string() + "\\sub\\r.ini").c_str()));
    EXPECT_TRUE(fs::exists(dir_ / "sub" / "r.ini"));
}

TEST(Utf8Test, ConvertsBothWays) {
    struct Case {
        const char* utf8;
        std::u16string wide;
    };
    const Case cases[] = {
        {"plain", u"plain"},
        {"gr\xC3\xBC\xC3\x9F", u"gr\u00FC\u00DF"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x8E\xB5", u"\U0001F3B5"},  // outside the basic plane: a surrogate pair
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.utf8;
    }
    // Malformed input turns into replacement characters, never into something else.
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b\xC3"),
              u"a\uFFFDb\uFFFD");
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong '/'
    EXPECT_EQ(WideToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
    PosixFiles files;
    EXPECT_EQ(files.NarrowToWide(nullptr), u"");
}

TEST_F(PosixFilesTest, CurrentDirectoryFitsOrGivesZero) {
    const std::string cwd = fs::current_path().string();
    std::vector<char> buffer(cwd.size() + 1);
    EXPECT_EQ(files_.CurrentDirectory(buffer.data(), static_cast<uint32_t>(buffer.size())),
              cwd.size());
    EXPECT_EQ(std::string(buffer.data()), cwd);
    EXPECT_EQ(files_.CurrentDirectory(buffer.data(), static_cast<uint32_t>(cwd.size())), 0u);
    EXPECT_EQ(files_.CurrentDirectory(nullptr, 100), 0u);
}

TEST_F(PosixFilesTest, WritesCreateFileSectionAndKeysAndReplaceInPlace) {
    ASSERT_TRUE(files_.WriteIniString("QORSqaltor", "qaltoOK", "1", ini_.c_str()));
    ASSERT_TRUE(files_.WriteIniString("QORSqaltor", "FL_L", "40", ini_.c_str()));
    ASSERT_TRUE(files_.WriteIniString("Other", "x", "y", ini_.c_str()));
    // A new key of the first section goes to its end, before the next section.
    ASSERT_TRUE(files_.WriteIniString("qorsQALTOR", "FL_M", "55", ini_.c_str()));
    // An existing key is replaced where it stands, matched without regard to case.
    ASSERT_TRUE(files_.WriteIniString("QORSqaltor", "QALTOok", "0", ini_.c_str()));
    EXPECT_EQ(ReadFile(ini_), "[QORSqaltor]\nQALTOok=0\nFL_L=40\nFL_M=55\n[Other]\nx=y\n");

    EXPECT_EQ(Read("qorsqaltor", "qaltook"), "0");
    EXPECT_EQ(Read("Other", "X"), "y");
    EXPECT_EQ(Read("Other", "FL_L"), "none");
    EXPECT_EQ(Read("Missing", "x"), "none");
}

TEST_F(PosixFilesTest, KeepsForeignLinesAndLineEnds) {
    WriteFile(ini_, "; made by hand\r\n[A]\r\n  key = spaced value  \r\n\r\n[B]\r\nb=2\r\n");
    EXPECT_EQ(Read("A", "key"), "spaced value");
    ASSERT_TRUE(files_.WriteIniString("A", "new", "1", ini_.c_str()));
    EXPECT_EQ(ReadFile(ini_),
              "; made by hand\r\n[A]\r\n  key = spaced value  \r\nnew=1\r\n\r\n[B]\r\nb=2\r\n");
}

TEST_F(PosixFilesTest, NullValueRemovesKeyAndNullKeyTheSection) {
    ASSERT_TRUE(files_.WriteIniString("A", "a", "1", ini_.c_str()));
    ASSERT_TRUE(files_.WriteIniString("A", "b", "2", ini_.c_str()));
    ASSERT_TRUE(files_.WriteIniString("B", "c", "3", ini_.c_str()));
    ASSERT_TRUE(files_.WriteIniString("A", "a", nullptr, ini_.c_str()));
    EXPECT_EQ(ReadFile(ini_), "[A]\nb=2\n[B]\nc=3\n");
    ASSERT_TRUE(files_.WriteIniString("a", nullptr, nullptr, ini_.c_str()));
    EXPECT_EQ(ReadFile(ini_), "[B]\nc=3\n");
    EXPECT_FALSE(files_.WriteIniString(nullptr, "k", "v", ini_.c_str()));
}

TEST_F(PosixFilesTest, ReadsTruncateToCapacityAndAlwaysTerminate) {
    ASSERT_TRUE(files_.WriteIniString("S", "k", "123456789", ini_.c_str()));
    EXPECT_EQ(Read("S", "k", "", 5), "1234");
    EXPECT_EQ(Read("S", "missing", "abcdefgh", 4), "abc");
    EXPECT_EQ(Read("S", "missing", nullptr), "");
    char one = '#';
    EXPECT_EQ(files_.ReadIniString("S", "k", "", &one, 1, ini_.c_str()), 0u);
    EXPECT_EQ(one, '\0');
    EXPECT_EQ(files_.ReadIniString("S", "k", "", nullptr, 10, ini_.c_str()), 0u);
    // A file that is not there reads as defaults.
    EXPECT_EQ(files_.ReadIniString("S", "k", "d", &one, 1, (dir_ / "none.ini").c_str()), 0u);
}

TEST_F(PosixFilesTest, WriteFailsWhereTheFileCannotBeWritten) {
    EXPECT_FALSE(files_.WriteIniString("S", "k", "v", (dir_ / "no" / "such" / "x.ini").c_str()));
    // A folder in the file's place cannot be read or replaced.
    fs::create_directories(dir_ / "folder.ini");
    EXPECT_FALSE(files_.WriteIniString("S", "k", "v", (dir_ / "folder.ini").c_str()));
}

// A disk that fills up after `room` bytes: writes beyond it fail with ENOSPC.
posix::WriteFunction DiskWithRoom(size_t room) {
    auto left = std::make_shared<size_t>(room);
    return [left](int fd, const void* data, size_t size) -> ssize_t {
        if (*left == 0) {
            errno = ENOSPC;
            return -1;
        }
        const size_t now = std::min(size, *left);
        *left -= now;
        return ::write(fd, data, now);
    };
}

class PosixFilesFullDiskTest : public PosixFilesTest,
                               public ::testing::WithParamInterface<size_t> {};

TEST_P(PosixFilesFullDiskTest, AWriteCutShortLeavesThePreviousFileAsItWas) {
    const std::string before =
        "; kept\r\n[QORSqaltor]\r\nqaltoOK=1\r\nFL_L=40\r\n[Other]\r\nx=y\r\n";
    WriteFile(ini_, before);
    PosixFiles fullDisk(DiskWithRoom(GetParam()));
    EXPECT_FALSE(fullDisk.WriteIniString("QORSqaltor", "FL_L", "41", ini_.c_str()));
    EXPECT_FALSE(fullDisk.WriteIniString("New", "k", "v", ini_.c_str()));
    EXPECT_EQ(ReadFile(ini_), before);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    // With room on the disk the same writes go through.
    ASSERT_TRUE(files_.WriteIniString("QORSqaltor", "FL_L", "41", ini_.c_str()));
    EXPECT_EQ(Read("qorsqaltor", "fl_l"), "41");
}

// Nothing, one byte, part of a line, and all but the last byte of the new file.
INSTANTIATE_TEST_SUITE_P(CutAfter, PosixFilesFullDiskTest, ::testing::Values(0u, 1u, 20u, 54u));

TEST_F(PosixFilesTest, AFailedFirstWriteCreatesNoFile) {
    PosixFiles fullDisk(DiskWithRoom(3));
    EXPECT_FALSE(fullDisk.WriteIniString("S", "k", "v", ini_.c_str()));
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(PosixFilesTest, AReplacedFileKeepsItsPermissions) {
    WriteFile(ini_, "[S]\nk=1\n");
    fs::permissions(ini_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(files_.WriteIniString("S", "k", "2", ini_.c_str()));
    EXPECT_EQ(fs::status(ini_).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(ReadFile(ini_), "[S]\nk=2\n");
}

}  // namespace
}  // namespace zelk
