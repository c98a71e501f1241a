// Runs the lumivar executable as a user would, in a directory of its own.
#include "support/ReferenceRenderer.h"
#include "support/Sha256.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

// POSIX: fork, exec, dup2, chdir, waitpid, chmod, setresuid
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick {
namespace {

using ::testing::ElementsAre;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::string OUTPUT_LINES = "Range: 0\nCompiling Please Wait......\n";
// pinned on its own as well: the reference shares the view and the scene with the program
const std::string PICTURE_SHA256 =
    "6a3434dbf0793982602a9b753d7d350fa72e4505620f34366c383fd44764c2b5";

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

// How standard output is given to the program.
enum class Output { PIPE, CLOSED_PIPE, DEV_FULL, FILE }; // FILE: console.txt beside test.bmp

// Resource limits set on the program, 0 for none: its file size (with SIGXFSZ as it comes) and
// its address space.
struct Limits {
    rlim_t fileSize = 0;
    rlim_t addressSpace = 0;
};

// Runs the program in dir, its output through pipes (standard output as asked). Run by root,
// asUser runs it as an unprivileged user, so that permissions count.
ProgramRun runProgram(const TempDir& dir, Output output = Output::PIPE, bool asUser = false,
                      Limits limits = {})
{
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        ADD_FAILURE() << "no pipes";
        return {};
    }
    if (output == Output::CLOSED_PIPE) {
        ::close(out[0]); // a reader that has gone: writes fail with EPIPE, or SIGPIPE kills
        out[0] = ::open("/dev/null", O_RDONLY);
    }
    const std::string stdoutPath = output == Output::DEV_FULL ? "/dev/full"
                                   : output == Output::FILE   ? dir / "console.txt"
                                                              : "";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit fileSize{limits.fileSize, limits.fileSize};
        const rlimit addressSpace{limits.addressSpace, limits.addressSpace};
        std::signal(SIGXFSZ, SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        if ((limits.fileSize != 0 && ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) ||
            (limits.addressSpace != 0 && ::setrlimit(RLIMIT_AS, &addressSpace) != 0)) {
            ::_exit(126);
        }
        const int target = stdoutPath.empty()
                               ? out[1]
                               : ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const uid_t nobody = 65534;
        if (target < 0 || ::dup2(target, 1) < 0 || ::dup2(err[1], 2) < 0 ||
            ::chdir(dir.path().c_str()) != 0 ||
            (asUser && ::geteuid() == 0 &&
             (::setresgid(nobody, nobody, nobody) != 0 ||
              ::setresuid(nobody, nobody, nobody) != 0))) {
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
    EXPECT_EQ(testing::sha256(file), PICTURE_SHA256);
    EXPECT_TRUE(file == testing::referenceBmp(Scene::fixed()));
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

TEST(ProgramTest, WritableFileInAnUnwritableDirectoryIsWrittenInPlace)
{
    TempDir dir;
    writeFile(dir / "test.bmp", std::vector<unsigned char>(10, 1));
    ::chmod((dir / "test.bmp").c_str(), 0666);
    ::chmod(dir.path().c_str(), 0555);
    const ProgramRun run = runProgram(dir, Output::PIPE, true);
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, OUTPUT_LINES + "Finished\n");
    EXPECT_EQ(testing::sha256(readFile(dir / "test.bmp")), PICTURE_SHA256);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(ProgramTest, FileSizeLimitIsReportedAndKeepsTheEarlierFile)
{
    // the program itself must not die of SIGXFSZ: the limit is set with the signal's default;
    // console lines into a file meet the limit too (past its first 20 bytes)
    for (const Output output : {Output::PIPE, Output::FILE}) {
        SCOPED_TRACE(output == Output::PIPE ? "console through a pipe" : "console into a file");
        TempDir dir;
        const std::vector<unsigned char> earlier(10, 1);
        writeFile(dir / "test.bmp", earlier);
        const rlim_t limit = output == Output::PIPE ? 100000 : 20;
        const ProgramRun run = runProgram(dir, output, false, {limit, 0});
        EXPECT_EQ(run.exitStatus, 1);
        if (output == Output::PIPE) {
            EXPECT_EQ(run.out, OUTPUT_LINES);
            EXPECT_EQ(run.err, "lumivar: cannot write test.bmp: File too large\n");
            EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
        } else {
            EXPECT_THAT(run.err, ::testing::HasSubstr("lumivar: cannot write test.bmp"));
            EXPECT_THAT(dir.entries(), ElementsAre("console.txt", "test.bmp"));
        }
        EXPECT_TRUE(readFile(dir / "test.bmp") == earlier);
    }
}

TEST(ProgramTest, OutOfMemoryIsReportedAndKeepsTheEarlierFile)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit";
#endif
    TempDir dir;
    const std::vector<unsigned char> earlier(10, 1);
    writeFile(dir / "test.bmp", earlier);
    const ProgramRun run = runProgram(dir, Output::PIPE, false, {0, rlim_t{9000} * 1024});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "lumivar: out of memory\n");
    EXPECT_TRUE(readFile(dir / "test.bmp") == earlier);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(ProgramTest, LostStandardOutputFailsTheRunButSavesThePicture)
{
    for (const Output output : {Output::DEV_FULL, Output::CLOSED_PIPE}) {
        if (output == Output::DEV_FULL && ::access("/dev/full", W_OK) != 0) {
            continue; // no /dev/full here
        }
        SCOPED_TRACE(output == Output::DEV_FULL ? "/dev/full" : "a pipe nobody reads");
        TempDir dir;
        const ProgramRun run = runProgram(dir, output);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.err, "lumivar: cannot write to standard output\n");
        EXPECT_EQ(testing::sha256(readFile(dir / "test.bmp")), PICTURE_SHA256);
    }
}

} // namespace
} // namespace stavenwick
