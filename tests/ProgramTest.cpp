// Runs the lumivar executable as a user would, in a directory of its own.
#include "support/ReferenceRenderer.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
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

// Everything a pipe holds once its writer has gone.
std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

// Runs the program in dir, its output through pipes (which a file size limit does not reach);
// stdoutPath, when given, takes standard output instead.
ProgramRun runProgram(const TempDir& dir, rlim_t fileSizeLimit = RLIM_INFINITY,
                      const std::string& stdoutPath = "")
{
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        ADD_FAILURE() << "no pipes";
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int target =
            stdoutPath.empty() ? out[1] : ::open(stdoutPath.c_str(), O_WRONLY | O_TRUNC);
        const rlimit cap{fileSizeLimit, fileSizeLimit};
        if (target < 0 || ::dup2(target, 1) < 0 || ::dup2(err[1], 2) < 0 ||
            ::chdir(dir.path().c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &cap) != 0) {
            ::_exit(127);
        }
        ::execl(LUMIVAR_EXECUTABLE, "lumivar", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    int status = 0;
    ::waitpid(child, &status, 0); // the output is far smaller than a pipe's buffer
    ProgramRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = drain(out[0]);
    run.err = drain(err[0]);
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
    // inside the headers, inside the pixels, and one byte short of the whole file
    for (const rlim_t cut : {rlim_t{10}, rlim_t{100000}, rlim_t{1440053}}) {
        TempDir dir;
        const std::vector<unsigned char> earlier(5000, 0x5A);
        writeFile(dir / "test.bmp", earlier);
        const ProgramRun run = runProgram(dir, cut);
        EXPECT_EQ(run.exitStatus, 1) << "cut " << cut;
        EXPECT_EQ(run.out, OUTPUT_LINES);
        EXPECT_EQ(run.err, "lumivar: cannot write test.bmp: File too large\n");
        EXPECT_TRUE(readFile(dir / "test.bmp") == earlier) << "cut " << cut;
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp")) << "cut " << cut;
    }
}

TEST(ProgramTest, DanglingLinkIntoAMissingDirectoryIsReported)
{
    TempDir dir;
    std::filesystem::create_symlink("missing/test.bmp", dir / "test.bmp");
    const ProgramRun run = runProgram(dir);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, OUTPUT_LINES);
    EXPECT_EQ(run.err, "lumivar: cannot write test.bmp: No such file or directory\n");
    EXPECT_EQ(std::filesystem::read_symlink(dir / "test.bmp"), "missing/test.bmp");
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(ProgramTest, LinkIntoAnotherDirectoryIsFollowedAndKept)
{
    TempDir dir;
    TempDir elsewhere;
    writeFile(elsewhere / "picture.bmp", std::vector<unsigned char>(10, 1));
    std::filesystem::create_symlink(elsewhere / "picture.bmp", dir / "test.bmp");
    const ProgramRun run = runProgram(dir);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, OUTPUT_LINES + "Finished\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "test.bmp"));
    EXPECT_EQ(readFile(elsewhere / "picture.bmp").size(), 1440054u);
    EXPECT_THAT(elsewhere.entries(), ElementsAre("picture.bmp"));
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
