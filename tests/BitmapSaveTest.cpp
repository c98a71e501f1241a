// Save failures and the successes that must stay so: the target is replaced whole or not at all.
#include "image/Bitmap.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

// POSIX: fork, waitpid, setrlimit, umask, chmod, stat
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// A bitmap whose every pixel differs from black.
class Patterned : public Bitmap {
public:
    Patterned(std::int32_t width, std::int32_t height) : Bitmap(width, height)
    {
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                putPixel(x, y, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7);
            }
        }
    }
};

std::vector<unsigned char> bytesOf(const Bitmap& bitmap)
{
    TempDir dir;
    EXPECT_TRUE(bitmap.save(dir / "reference.bmp"));
    return readFile(dir / "reference.bmp");
}

const std::vector<unsigned char> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};

// Saves in a child process whose files may not grow past limit bytes, as on a full disk.
// Returns the child's errno when save returned false, 0 when it returned true.
int saveWithFileSizeLimit(const Bitmap& bitmap, const std::string& path, rlim_t limit)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit cap{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &cap) != 0) {
            ::_exit(100);
        }
        const bool saved = bitmap.save(path);
        ::_exit(saved ? 0 : (errno > 0 && errno < 100 ? errno : 101));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST(BitmapSaveTest, MissingDirectoryFailsAndCreatesNothing)
{
    TempDir dir;
    errno = 0;
    EXPECT_FALSE(Bitmap(4, 4).save(dir / "missing/test.bmp"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(BitmapSaveTest, PathThatIsADirectoryFailsAndLeavesIt)
{
    TempDir dir;
    fs::create_directory(dir / "test.bmp");
    errno = 0;
    EXPECT_FALSE(Bitmap(4, 4).save(dir / "test.bmp"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    EXPECT_TRUE(fs::is_directory(dir / "test.bmp"));
    EXPECT_TRUE(fs::is_empty(dir / "test.bmp"));
}

TEST(BitmapSaveTest, DanglingLinkIntoMissingDirectoryFailsAndKeepsTheLink)
{
    TempDir dir;
    fs::create_symlink("nowhere/test.bmp", dir / "test.bmp");
    errno = 0;
    EXPECT_FALSE(Bitmap(4, 4).save(dir / "test.bmp"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    EXPECT_EQ(fs::read_symlink(dir / "test.bmp"), "nowhere/test.bmp");
}

TEST(BitmapSaveTest, DiskFullAtAnyPointKeepsTheEarlierFileAndLeavesNoTemporary)
{
    const Patterned bitmap(7, 5); // odd width: padded rows
    const std::size_t size = bitmap.fileSize();
    for (const rlim_t cut : {rlim_t{0}, rlim_t{10}, rlim_t{53}, rlim_t{54}, rlim_t{80},
                             static_cast<rlim_t>(size - 1)}) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        EXPECT_EQ(saveWithFileSizeLimit(bitmap, dir / "test.bmp", cut), EFBIG) << "cut " << cut;
        EXPECT_EQ(readFile(dir / "test.bmp"), EARLIER) << "cut " << cut;
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp")) << "cut " << cut;
    }
    TempDir dir;
    writeFile(dir / "test.bmp", EARLIER);
    EXPECT_EQ(saveWithFileSizeLimit(bitmap, dir / "test.bmp", size), 0);
    EXPECT_EQ(readFile(dir / "test.bmp"), bytesOf(bitmap));
}

TEST(BitmapSaveTest, LinkIntoAnotherDirectoryReplacesItsTargetAndStays)
{
    TempDir dir;
    fs::create_directory(dir / "pictures");
    fs::create_directory(dir / "work");
    writeFile(dir / "pictures/real.bmp", EARLIER);
    // two hops, both relative to the directory that holds the link
    fs::create_symlink("../pictures/real.bmp", dir / "work/hop.bmp");
    fs::create_symlink("hop.bmp", dir / "work/test.bmp");

    const Patterned bitmap(5, 3);
    ASSERT_TRUE(bitmap.save(dir / "work/test.bmp"));

    EXPECT_EQ(fs::read_symlink(dir / "work/test.bmp"), "hop.bmp");
    EXPECT_EQ(fs::read_symlink(dir / "work/hop.bmp"), "../pictures/real.bmp");
    EXPECT_EQ(readFile(dir / "pictures/real.bmp"), bytesOf(bitmap));
    EXPECT_THAT(dir.entries(), ElementsAre("pictures", "work"));
    EXPECT_THAT(listDirectory(dir / "pictures"), ElementsAre("real.bmp"));
}

TEST(BitmapSaveTest, ReplacedFileGetsThePermissionsOfAPlainCreate)
{
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        ::chmod((dir / "test.bmp").c_str(), 0444);

        const mode_t previous = ::umask(mask);
        const bool saved = Bitmap(3, 3).save(dir / "test.bmp");
        ::umask(previous);

        ASSERT_TRUE(saved);
        struct stat status {};
        ASSERT_EQ(::stat((dir / "test.bmp").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0666 & ~mask) << "umask " << mask;
        EXPECT_EQ(readFile(dir / "test.bmp").size(), Bitmap(3, 3).fileSize());
    }
}

TEST(BitmapSaveTest, SavingOverALargerFileLeavesExactlyTheNewBytes)
{
    TempDir dir;
    writeFile(dir / "test.bmp", std::vector<unsigned char>(100000, 0xEE));
    const Patterned bitmap(2, 2);
    ASSERT_TRUE(bitmap.save(dir / "test.bmp"));
    EXPECT_EQ(readFile(dir / "test.bmp"), bytesOf(bitmap));
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

} // namespace
} // namespace stavenwick
