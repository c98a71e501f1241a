// A signal during a save: the ending ones are held back while a name of the save's exists or a
// file is rewritten, and a broken pipe is reported, not fatal.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using namespace testing; // NOLINT(google-build-using-namespace): the writer's test kit

TEST(AtomicFileWriterSignalsTest, SignalDuringTheSaveLeavesNoTemporaryAndStillEndsTheProgram)
{
    // the signal arrives once the new content is complete (in place: right before the file
    // changes): the save ends with the earlier file or the new one in place, never a temporary
    // or an empty or torn file, and the signal ends the program
    enum Start { EXISTING, NEW_NAME, DANGLING_LINK, IN_PLACE };
    static int s_signal = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (const Start start : {EXISTING, NEW_NAME, DANGLING_LINK, IN_PLACE}) {
            SCOPED_TRACE("signal " + std::to_string(signal) + ", start " + std::to_string(start));
            TempDir dir;
            std::string file = dir / "test.bmp";
            if (start == EXISTING || start == IN_PLACE) {
                writeFile(file, EARLIER);
            } else if (start == DANGLING_LINK) {
                fs::create_symlink("target.bmp", file);
                file = dir / "target.bmp";
            }
            s_signal = signal;
            const int status = inChild(
                [&] {
                    const rlimit noCore{0, 0}; // SIGQUIT would dump one
                    ::setrlimit(RLIMIT_CORE, &noCore);
                    g_chmodFails = start == IN_PLACE ? EPERM : 0; // its mode differs
                    g_beforeChange = [] {
                        ::raise(s_signal);
                    };
                    save(dir / "test.bmp");
                    return 0;
                },
                ::geteuid());
            EXPECT_EQ(status, 1000 + signal);
            std::vector<std::string> left = dir.entries();
            const auto at = std::find(left.begin(), left.end(), fs::path(file).filename());
            if (at != left.end()) {
                const std::vector<unsigned char> content = readFile(file);
                // in place, the hook runs right before the first byte changes
                EXPECT_TRUE(content == CONTENT || (content == EARLIER && start != IN_PLACE));
                left.erase(at);
            }
            EXPECT_EQ(left, start == DANGLING_LINK ? std::vector<std::string>{"test.bmp"}
                                                   : std::vector<std::string>{});
        }
    }
}

TEST(AtomicFileWriterSignalsTest, CallersOwnBrokenPipeDuringTheSaveStillReachesIt)
{
    // a SIGPIPE sent to the process while it saves is the caller's, not the save's to take
    static int s_received = 0;
    TempDir dir;
    const int status = inChild(
        [&] {
            std::signal(SIGPIPE, [](int) { ++s_received; });
            g_beforeChange = [] {
                ::kill(::getpid(), SIGPIPE);
            };
            const int reason = save(dir / "test.bmp");
            return reason == 0 && s_received == 1 ? 0 : 1;
        },
        ::geteuid());
    EXPECT_EQ(status, 0);
}

TEST(AtomicFileWriterSignalsTest, ReaderThatLeavesEarlyIsReportedAndTheCallerLivesOn)
{
    // the SIGPIPE that the save's own write raises is not the caller's to die of; one the
    // caller held back before the save, which the write's merges with, stays the caller's
    for (const bool callersPending : {false, true}) {
        SCOPED_TRACE(callersPending ? "the caller's SIGPIPE pending" : "none pending");
        TempDir dir;
        const std::string fifo = dir / "test.bmp";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const int status = inChild(
            [&] {
                std::signal(SIGPIPE, SIG_DFL);
                if (callersPending) {
                    sigset_t pipe;
                    sigemptyset(&pipe);
                    sigaddset(&pipe, SIGPIPE);
                    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                    ::raise(SIGPIPE);
                }
                const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                std::thread leaver([reader] {
                    pollfd ready{reader, POLLIN, 0};
                    char some[16];
                    ::poll(&ready, 1, -1);
                    static_cast<void>(::read(reader, some, sizeof some));
                    ::close(reader); // while the writer waits for room
                });
                const int reason = save(fifo);
                leaver.join();
                sigset_t pending;
                sigset_t mask;
                sigpending(&pending);
                pthread_sigmask(SIG_SETMASK, nullptr, &mask);
                const int held = callersPending ? 1 : 0;
                return reason == EPIPE && sigismember(&pending, SIGPIPE) == held &&
                               sigismember(&mask, SIGPIPE) == held
                           ? 0
                           : 1;
            },
            ::geteuid());
        EXPECT_EQ(status, 0);
    }
}

} // namespace
} // namespace stavenwick
