// Saves at once, and a name that changes under a save: every save succeeds, the last one's file
// stays, and nothing but a file is ever replaced.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace testing; // NOLINT(google-build-using-namespace): the writer's test kit

TEST(AtomicFileWriterConcurrencyTest, SavesAtOnceFromManyProcessesAndThreadsAllSucceed)
{
    for (const bool processes : {true, false}) {
        for (const bool existing : {true, false}) {
            SCOPED_TRACE(std::string(processes ? "processes" : "threads") +
                         (existing ? ", existing file" : ", new name"));
            TempDir dir;
            if (existing) {
                writeFile(dir / "test.bmp", EARLIER);
            }
            const auto saves = [&] { // five saves, all at once with the others'
                int failed = 0;
                for (int round = 0; round < 5; ++round) {
                    failed += save(dir / "test.bmp") != 0 ? 1 : 0;
                }
                return failed;
            };
            std::vector<int> failed(8, 0);
            std::vector<pid_t> children;
            std::vector<std::thread> threads;
            for (std::size_t i = 0; i < failed.size(); ++i) {
                std::fflush(nullptr);
                if (!processes) {
                    threads.emplace_back([&, i] { failed[i] = saves(); });
                } else if ((children.emplace_back(::fork())) == 0) {
                    ::_exit(saves());
                }
            }
            for (std::size_t i = 0; i < children.size(); ++i) {
                int status = 0;
                ::waitpid(children[i], &status, 0);
                failed[i] = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            EXPECT_THAT(failed, ::testing::Each(0));
            EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
            EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
        }
    }
}

TEST(AtomicFileWriterConcurrencyTest, NameSwappedDuringTheSaveIsReplacedOnlyWhenItHoldsAFile)
{
    // another program puts something new at the name while the temporary is being written:
    // a file (another save's, say) is replaced, anything else is left alone
    static std::string s_path;
    static fs::file_type s_swapIn;
    for (const fs::file_type type :
         {fs::file_type::regular, fs::file_type::symlink, fs::file_type::fifo}) {
        TempDir dir;
        s_path = dir / "test.bmp";
        s_swapIn = type;
        writeFile(s_path, EARLIER);
        g_beforeChange = [] {
            fs::remove(s_path);
            if (s_swapIn == fs::file_type::regular) {
                writeFile(s_path, {'o', 't', 'h', 'e', 'r'});
            } else if (s_swapIn == fs::file_type::symlink) {
                fs::create_symlink("elsewhere.bmp", s_path);
            } else {
                ::mkfifo(s_path.c_str(), 0600);
            }
        };
        FileError error;
        const int reason = save(s_path, &error);
        g_beforeChange = nullptr;
        EXPECT_EQ(fs::symlink_status(s_path).type(), type);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
        if (type == fs::file_type::regular) {
            EXPECT_EQ(reason, 0);
            EXPECT_TRUE(readFile(s_path) == CONTENT);
        } else {
            EXPECT_EQ(error.message(), "the file changed during the save");
        }
    }
}

} // namespace
} // namespace stavenwick
