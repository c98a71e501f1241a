// Runs the lumivar executable as a user would, in a directory of its own.
#include "support/ReferenceRenderer.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

// POSIX: fork, exec, dup2, chdir, waitpid, setrlimit
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick {
namespace {

using ::testing::ElementsAre;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::string OUTPUT_LINES = "Range: 0\nCompiling Please Wait......\n";

struct ProgramRun {
    int exitStatus = -1; // -1 when it did not exit normally
    std::string out;
    std::string err;
};

std::string textOf(const std::string& path)
{
    const std::vector<unsigned char> bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

// Runs the program in dir; stdoutPath replaces the captured standard output when given.
ProgramRun runProgram(const TempDir& dir, rlim_t fileSizeLimit = RLIM_INFINITY,
                      const std::string& stdoutPath = "")
{
    const TempDir streams;
    const std::string outPath = stdoutPath.empty() ? streams / "out" : stdoutPath;
    const std::string errPath = streams / "err";
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const rlimit cap{fileSizeLimit, fileSizeLimit};
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(dir.path().c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &cap) != 0) {
            ::_exit(127);
        }
        ::execl(LUMIVAR_EXECUTABLE, "lumivar", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ProgramRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = stdoutPath.empty() ? textOf(outPath) : "";
    run.err = textOf(errPath);
    return run;
}

TEST(ProgramTest, WritesTheSceneAndPrintsThreeLines)
{
    TempDir dir;
    const ProgramRun run = runProgram(dir);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, OUTPUT_LINES + "Finished\n");
    EXPECT_EQ(run.err, "");
    ASSERT_THAT(dir.entries(), ElementsAre("test.bmp"));
    const std::vector<unsigned char> file = readFile(dir / "test.bmp");
    EXPECT_EQ(file.size(), 1440054u);
    EXPECT_TRUE(file == testing::referenceBmp(testing::fixedScene()));
}

TEST(ProgramTest, UnwritableFileIsReportedAndFailsTheRun)
{
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "test.bmp").c_str(), 0755), 0);
    const ProgramRun run = runProgram(dir);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, OUTPUT_LINES);
    EXPECT_EQ(run.err, "lumivar: cannot write test.bmp: Is a directory\n");
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(ProgramTest, FullDiskIsReportedAndKeepsTheEarlierFile)
{
    TempDir dir;
    const std::vector<unsigned char> earlier(5000, 0x5A);
    writeFile(dir / "test.bmp", earlier);
    const ProgramRun run = runProgram(dir, 100000);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, OUTPUT_LINES);
    EXPECT_EQ(run.err, "lumivar: cannot write test.bmp: File too large\n");
    EXPECT_TRUE(readFile(dir / "test.bmp") == earlier);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(ProgramTest, LostStandardOutputFailsTheRun)
{
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    TempDir dir;
    const ProgramRun run = runProgram(dir, RLIM_INFINITY, "/dev/full");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "lumivar: cannot write to standard output\n");
}

} // namespace
} // namespace stavenwick
