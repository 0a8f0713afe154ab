// The simulated PC's state file of the Linux worker: where it is, what loading it says, and that a
// save is whole or not at all.

#include "app/linux/sim_state_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/sim/sim_codec_builder.h"
#include "posix/temp_runtime_folder.h"
#include "tools/child_process.h"

namespace zelk::linux_worker {
namespace {

using posix::testing::TempRuntimeFolder;
using tools::testing::ReadFile;

struct PathCase {
    const char* value;  // of ZELK_SIM_STATE; null when unset
    std::optional<std::string> path;
};

class SimStatePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(SimStatePathTest, ComesFromTheVariableOrTheRuntimeFolder) {
    EXPECT_EQ(ResolveSimStatePath(GetParam().value, "/run/user/7/zelk"), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(Values, SimStatePathTest,
                         ::testing::Values(PathCase{nullptr, "/run/user/7/zelk/sim-state"},
                                           PathCase{"", "/run/user/7/zelk/sim-state"},
                                           PathCase{"none", std::nullopt},
                                           PathCase{"/srv/pc.state", "/srv/pc.state"},
                                           PathCase{"pc.state", "pc.state"}));

class SimStateFileTest : public ::testing::Test {
  protected:
    std::unique_ptr<sim::SimAudioSystem> pc_ = sim::BuildDefaultPc();
    TempRuntimeFolder folder_;
    std::string path_ = folder_ / kSimStateFileName;
};

TEST_F(SimStateFileTest, LoadingSaysWhatIsWrongAndKeepsTheDefaults) {
    const std::string defaults = sim::PcStateText(*pc_);
    EXPECT_EQ(LoadSimState(path_, pc_.get()), "") << "a missing file is the defaults";

    std::filesystem::create_directory(path_);
    EXPECT_NE(LoadSimState(path_, pc_.get()).find("unreadable"), std::string::npos);
    std::filesystem::remove(path_);

    { std::ofstream(path_) << "level render0.front 0 -9\n"; }
    const std::string corrupt = LoadSimState(path_, pc_.get());
    EXPECT_NE(corrupt.find("not a state file"), std::string::npos) << corrupt;
    EXPECT_NE(corrupt.find(path_), std::string::npos) << corrupt;
    EXPECT_EQ(sim::PcStateText(*pc_), defaults);

    { std::ofstream(path_) << sim::kPcStateHeader << "\nlevel render3.front 0 -9\n"; }
    EXPECT_NE(LoadSimState(path_, pc_.get()).find("1 of its 1 entries do not apply"),
              std::string::npos);
    EXPECT_EQ(sim::PcStateText(*pc_), defaults);
}

TEST_F(SimStateFileTest, SavedStateLoadsIntoAFreshMachine) {
    ASSERT_TRUE(pc_->SetPartLevel("render0.side", 1, -40.5f));
    std::string error;
    ASSERT_TRUE(SaveSimState(path_, *pc_, &error)) << error;
    auto fresh = sim::BuildDefaultPc();
    EXPECT_EQ(LoadSimState(path_, fresh.get()), "");
    EXPECT_EQ(sim::PcStateText(*fresh), sim::PcStateText(*pc_));
}

TEST_F(SimStateFileTest, TheAutoSaverWritesChangesAndAFailedWriteLeavesTheLastFile) {
    bool diskFull = false;
    auto write = [&diskFull](int fd, const void* data, size_t size) -> ssize_t {
        if (diskFull) {
            // Half of it fits, then the disk is full.
            if (size > 1)
                return ::write(fd, data, size / 2);
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, size);
    };
    {
        SimStateAutoSaver saver(path_, pc_.get(), write);
        EXPECT_TRUE(saver.Flush());
        EXPECT_FALSE(std::filesystem::exists(path_)) << "nothing changed, nothing written";

        ASSERT_TRUE(pc_->SetPartLevel("render0.front", 0, -30.0f));
        EXPECT_TRUE(saver.Flush());
        const std::string saved = ReadFile(path_);
        EXPECT_EQ(saved, sim::PcStateText(*pc_));

        ASSERT_TRUE(pc_->SetPartMuted("render0.master_mute", true));
        diskFull = true;
        EXPECT_FALSE(saver.Flush());
        EXPECT_EQ(ReadFile(path_), saved);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path()),
                                std::filesystem::directory_iterator()),
                  1)
            << "no temporary file is left";
        diskFull = false;
        ASSERT_TRUE(pc_->SetPartLevel("render0.rear", 0, -30.0f));
    }
    // The saver's end writes what was left.
    EXPECT_EQ(ReadFile(path_), sim::PcStateText(*pc_));
}

}  // namespace
}  // namespace zelk::linux_worker
