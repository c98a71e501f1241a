// Symbolic links are followed as the kernel follows them for a plain open, and stay links.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using namespace testing; // NOLINT(google-build-using-namespace): the writer's test kit

TEST(AtomicFileWriterLinksTest, LinksAreFollowedOnlyWhereTheKernelWouldFollowThem)
{
    // the kernel refuses to follow links that others planted in sticky shared directories
    const SystemSetting protection("/proc/sys/fs/protected_symlinks", "1");
    if (::geteuid() != 0 || !protection.set()) {
        GTEST_SKIP() << "needs root, and fs.protected_symlinks on";
    }
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(::mkdir((dir / "shared").c_str(), 0), 0);
    ::chmod((dir / "shared").c_str(), 01777); // like /tmp
    ASSERT_EQ(::mkdir((dir / "home").c_str(), 0755), 0);
    ASSERT_EQ(::chown((dir / "home").c_str(), OWNER, OWNER), 0);
    // the victim's own file, and links to it planted by the victim and by another user
    for (const uid_t planter : {OWNER, OTHER}) {
        SCOPED_TRACE(planter == OWNER ? "own link" : "another user's link");
        writeFile(dir / "home/notes.txt", EARLIER);
        ::chown((dir / "home/notes.txt").c_str(), OWNER, OWNER);
        ::chmod((dir / "home/notes.txt").c_str(), 0600);
        const std::string link = dir / "shared/test.bmp";
        fs::remove(link);
        fs::create_symlink(dir / "home/notes.txt", link);
        ASSERT_EQ(::lchown(link.c_str(), planter, planter), 0);

        const int plain = inChild([&] {
            const int fd = ::open(link.c_str(), O_WRONLY | O_NONBLOCK);
            return fd >= 0 ? 0 : errno;
        });
        const int ours = inChild([&] { return save(link); });
        EXPECT_EQ(ours, plain);
        EXPECT_EQ(plain, planter == OWNER ? 0 : EACCES);
        EXPECT_TRUE(readFile(dir / "home/notes.txt") == (plain == 0 ? CONTENT : EARLIER));
        EXPECT_EQ(modeOf(dir / "home/notes.txt"), 0600);
        EXPECT_TRUE(fs::is_symlink(link));
    }
}

} // namespace
} // namespace stavenwick
