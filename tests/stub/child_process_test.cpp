#include "tests/support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace pixolune::test {
namespace {

using namespace std::chrono_literals;

TEST(TempDirTest, MakesAFreshFolderAndRemovesItWithItsContent) {
    std::string path;
    {
        TempDir first;
        TempDir second;
        path = first.Path();
        EXPECT_NE(first.Path(), second.Path());
        ASSERT_TRUE(std::filesystem::is_directory(path));
        std::filesystem::create_directories(path + "/a/b");
        std::ofstream(path + "/a/b/file.txt") << "content";
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RunProcessTest, CapturesBothStreamsAndTheExitCode) {
    ProcessResult result = RunProcess({"sh", "-c", "echo out; echo err >&2; exit 3"}, 10s);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_FALSE(result.timedOut);
}

TEST(RunProcessTest, KillsAProcessThatOverrunsItsTime) {
    ProcessResult result = RunProcess({"sleep", "30"}, 200ms);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.termSignal, SIGKILL);
}

TEST(RunProcessTest, AMissingProgramEndsWith127) {
    EXPECT_EQ(RunProcess({"/nonexistent/program"}, 10s).exitCode, 127);
}

TEST(ChildProcessTest, ReadsLinesAndStopsWithSigterm) {
    ChildProcess child({"sh", "-c", "echo first; echo second; exec sleep 30"});
    EXPECT_EQ(child.ReadLine(5s).value_or(""), "first");
    EXPECT_EQ(child.ReadLine(5s).value_or(""), "second");
    EXPECT_FALSE(child.ReadLine(100ms));
    int status = child.Stop(5s);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ChildProcessTest, FallsBackToSigkillWhenSigtermIsIgnored) {
    ChildProcess child({"sh", "-c", "trap '' TERM; echo ready; while :; do sleep 1; done"});
    ASSERT_EQ(child.ReadLine(5s).value_or(""), "ready");
    int status = child.Stop(300ms);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

}  // namespace
}  // namespace pixolune::test
