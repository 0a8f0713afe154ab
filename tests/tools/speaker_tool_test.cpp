// The speaker tool's own rules: usage errors and a missing worker, without a worker running.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "posix/temp_runtime_folder.h"
#include "tools/child_process.h"

namespace zelk::tools {
namespace {

using posix::testing::TempRuntimeFolder;
using testing::Child;

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

ToolRun RunSpeaker(const std::string& folder, const std::string& output,
                   std::vector<std::string> args) {
    args.insert(args.begin(), ZELK_SPEAKER_PATH);
    Child tool(args, {{"ZELK_RUNTIME_DIR", folder}}, output);
    const int code = tool.Wait();
    return ToolRun{code, tool.out(), tool.err()};
}

TEST(SpeakerToolTest, UsageErrorsExitWithTwo) {
    TempRuntimeFolder folder;
    TempRuntimeFolder output;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"sing"},
        {"layout", "extra"},
        {"select"},
        {"select", "abc"},
        {"select", "0x1FFFFFFFF"},
        {"apply", "loud"},
        {"click", "help"},
        {"calibrate-channel", "8"},
        {"calibrate-channel", "-1"},
        {"raw", "3"},
        {"--timeout", "soon", "layout"},
        {"--timeout"},
        {"--colour", "layout"},
        {"report"},
        {"report", "a.ini", "b.ini"},
        {"report", "a.ini", "-o"},
        {"report", "a.ini", "--output="},
        {"-o", "a.svg", "layout"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& a : args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const ToolRun run = RunSpeaker(folder.path(), output / "usage", args);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.err.find("usage: speaker"), std::string::npos) << run.err;
    }
}

TEST(SpeakerToolTest, HelpSucceeds) {
    TempRuntimeFolder folder;
    TempRuntimeFolder output;
    const ToolRun run = RunSpeaker(folder.path(), output / "help", {"--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("calibrate-channel SLOT"), std::string::npos);
}

TEST(SpeakerToolTest, WithoutAWorkerEveryCommandExitsWithThree) {
    TempRuntimeFolder folder;
    TempRuntimeFolder output;
    const std::vector<std::vector<std::string>> cases = {
        {"select", "2201"},
        {"calibrate"},
        {"calibrate-channel", "3"},
        {"layout"},
        {"set-layout", "6"},
        {"apply", "medium"},
        {"gains"},
        {"stop"},
        {"click", "start"},
        {"close"},
        {"raw", "3", "0"},
        {"watch"},
        {"controls"},
        {"--json", "layout"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        const ToolRun run = RunSpeaker(folder.path(), output / "none", args);
        EXPECT_EQ(run.code, 3);
    }
    const ToolRun json = RunSpeaker(folder.path(), output / "json", {"--json", "layout"});
    EXPECT_EQ(json.out,
              "{\"event\":\"no_worker\",\"text\":\"no worker window \\\"zelk\\\" is "
              "running\"}\n");
}

TEST(SpeakerToolTest, AnUnsafeRuntimeFolderIsAFailure) {
    TempRuntimeFolder folder;
    TempRuntimeFolder output;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    const ToolRun run = RunSpeaker(folder.path(), output / "unsafe", {"layout"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find(folder.path()), std::string::npos) << run.err;
}

}  // namespace
}  // namespace zelk::tools
