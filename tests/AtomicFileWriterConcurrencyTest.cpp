// Saves at once, and a name that changes under a save: every save succeeds, the last one's file
// stays, and nothing but a file is ever replaced.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

TEST(AtomicFileWriterConcurrencyTest, SavesAtOnceFromManyProcessesAllSucceed)
{
    constexpr int SAVERS = 8;
    for (const bool existing : {true, false}) {
        TempDir dir;
        if (existing) {
            writeFile(dir / "test.bmp", EARLIER);
        }
        int start[2];
        ASSERT_EQ(::pipe(start), 0);
        std::vector<pid_t> savers;
        for (int i = 0; i < SAVERS; ++i) {
            std::fflush(nullptr);
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(start[1]);
                char go = 0;
                static_cast<void>(::read(start[0], &go, 1)); // all at once, when it closes
                int failed = 0;
                for (int round = 0; round < 5; ++round) {
                    failed += save(dir / "test.bmp") != 0 ? 1 : 0;
                }
                ::_exit(failed);
            }
            savers.push_back(child);
        }
        ::close(start[0]);
        ::close(start[1]);
        for (const pid_t saver : savers) {
            int status = 0;
            ::waitpid(saver, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "saves failed: " << status;
        }
        EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

TEST(AtomicFileWriterConcurrencyTest, SavesAtOnceFromManyThreadsAllSucceed)
{
    constexpr int SAVERS = 4;
    for (const bool existing : {true, false}) {
        TempDir dir;
        if (existing) {
            writeFile(dir / "test.bmp", EARLIER);
        }
        std::vector<std::thread> savers;
        savers.reserve(SAVERS);
        std::vector<int> failed(SAVERS, 0);
        for (int i = 0; i < SAVERS; ++i) {
            savers.emplace_back([&, i] {
                for (int round = 0; round < 5; ++round) {
                    failed[i] += save(dir / "test.bmp") != 0 ? 1 : 0;
                }
            });
        }
        for (std::thread& saver : savers) {
            saver.join();
        }
        EXPECT_THAT(failed, ::testing::Each(0));
        EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
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
        setBeforeChangeHook([] {
            fs::remove(s_path);
            if (s_swapIn == fs::file_type::regular) {
                writeFile(s_path, {'o', 't', 'h', 'e', 'r'});
            } else if (s_swapIn == fs::file_type::symlink) {
                fs::create_symlink("elsewhere.bmp", s_path);
            } else {
                ::mkfifo(s_path.c_str(), 0600);
            }
        });
        FileError error;
        const int reason = save(s_path, &error);
        setBeforeChangeHook(nullptr);
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
