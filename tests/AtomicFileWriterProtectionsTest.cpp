// What guards a file beyond its content: owner, group, mode, ACL and attributes are kept, and
// a file the kernel would not let a plain write open is not written.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS, FS_NODUMP_FL
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace testing; // NOLINT(google-build-using-namespace): the writer's test kit

// The file flags (chattr's) of path, with set added first; -1 where it has none.
int flagsOf(const std::string& path, int set = 0)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    int now = 0;
    const bool got = ::ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
                     (set == 0 || (now |= set, ::ioctl(fd, FS_IOC_SETFLAGS, &now) == 0));
    ::close(fd);
    return got ? now : -1;
}

TEST(AtomicFileWriterProtectionsTest, ReplacedFileKeepsItsPermissionsOwnerAndFlags)
{
    // a set-user-id file stays one where a plain write by the saver would keep the bit: as root
    for (const mode_t mode :
         {mode_t{0600}, mode_t{0640}, mode_t{0755}, mode_t{0444}, mode_t{04755}}) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        const bool root = ::geteuid() == 0;
        if (root) { // before the mode: a change of owner clears set-user-id
            ASSERT_EQ(::chown((dir / "test.bmp").c_str(), OWNER, OWNER), 0);
        }
        ASSERT_EQ(::chmod((dir / "test.bmp").c_str(), mode), 0);
        const int flags = flagsOf(dir / "test.bmp", FS_NODUMP_FL | FS_NOATIME_FL); // chattr +dA
        const ino_t before = inodeOf(dir / "test.bmp");
        // a file we may not write is refused as a plain open refuses it: the kernel says
        const int plain = ::open((dir / "test.bmp").c_str(), O_WRONLY);
        const int expected = plain >= 0 ? 0 : errno;
        ::close(plain);
        EXPECT_EQ(save(dir / "test.bmp"), expected) << std::oct << mode;
        // replaced, all kept, not written in place: root gives the temporary the owner
        EXPECT_EQ(inodeOf(dir / "test.bmp") != before, expected == 0) << std::oct << mode;
        EXPECT_EQ(modeOf(dir / "test.bmp"), root ? mode : mode & ~S_ISUID);
        EXPECT_EQ(flagsOf(dir / "test.bmp"), flags);
        EXPECT_TRUE(readFile(dir / "test.bmp") == (expected == 0 ? CONTENT : EARLIER));
        if (root) {
            EXPECT_EQ(fs::status(dir / "test.bmp").permissions(), fs::perms(mode));
            struct stat status {};
            ASSERT_EQ(::stat((dir / "test.bmp").c_str(), &status), 0);
            EXPECT_EQ(status.st_uid, OWNER);
            EXPECT_EQ(status.st_gid, OWNER);
        }
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

TEST(AtomicFileWriterProtectionsTest, AclAndExtendedAttributesAreKeptAndNoneAdded)
{
    // A 0640 file whose ACL gives another user read and write: its group bits are the ACL's
    // mask (rw), its owning group may only read.
    const auto entry = [](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        std::vector<unsigned char> bytes(8);
        std::memcpy(&bytes[0], &tag, 2);
        std::memcpy(&bytes[2], &permissions, 2);
        std::memcpy(&bytes[4], &id, 4);
        return bytes;
    };
    std::vector<unsigned char> acl = {2, 0, 0, 0}; // version 2, entries in order of tag
    for (const auto& e : {entry(0x01, 6, ~0u), entry(0x02, 6, OTHER), entry(0x04, 4, ~0u),
                          entry(0x10, 6, ~0u), entry(0x20, 0, ~0u)}) {
        acl.insert(acl.end(), e.begin(), e.end());
    }
    const std::string comment = "kept";
    const struct {
        const char* name;
        std::vector<unsigned char> value;
    } attributes[] = {
        {"system.posix_acl_access", acl},
        {"user.comment", {comment.begin(), comment.end()}},
        {"user.empty", {}}, // kept empty, not one byte long
    };
    for (const auto& [name, value] : attributes) {
        SCOPED_TRACE(name);
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        ::chmod((dir / "test.bmp").c_str(), 0640);
        if (::setxattr((dir / "test.bmp").c_str(), name, value.data(), value.size(), 0) != 0) {
            GTEST_SKIP() << "this file system keeps no " << name;
        }
        const mode_t mode = modeOf(dir / "test.bmp");
        EXPECT_EQ(save(dir / "test.bmp"), 0);
        EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
        EXPECT_EQ(modeOf(dir / "test.bmp"), mode); // the group gains nothing
        std::vector<unsigned char> now(value.size() + 1);
        EXPECT_EQ(::getxattr((dir / "test.bmp").c_str(), name, now.data(), now.size()),
                  static_cast<ssize_t>(value.size()));
        now.pop_back();
        EXPECT_TRUE(now == value);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
    // a directory whose default ACL a new file inherits, and a file that has none (any more):
    // the temporary's inherited ACL must not outlive the save
    TempDir dir;
    if (::setxattr(dir.path().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) !=
        0) {
        GTEST_SKIP() << "this file system keeps no default ACL";
    }
    writeFile(dir / "test.bmp", EARLIER);
    ASSERT_EQ(::removexattr((dir / "test.bmp").c_str(), "system.posix_acl_access"), 0);
    ::chmod((dir / "test.bmp").c_str(), 0640);
    EXPECT_EQ(save(dir / "test.bmp"), 0);
    EXPECT_EQ(::getxattr((dir / "test.bmp").c_str(), "system.posix_acl_access", nullptr, 0), -1);
    EXPECT_EQ(modeOf(dir / "test.bmp"), 0640);
}

TEST(AtomicFileWriterProtectionsTest, UnwritableFileIsRefusedAsAPlainOpenRefusesIt)
{
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    writeFile(dir / "readonly.bmp", EARLIER);
    ::chmod((dir / "readonly.bmp").c_str(), 0444);
    EXPECT_EQ(inChild([&] { return save(dir / "readonly.bmp"); }), EACCES);
    EXPECT_TRUE(readFile(dir / "readonly.bmp") == EARLIER);
    EXPECT_THAT(dir.entries(), ElementsAre("readonly.bmp"));
}

TEST(AtomicFileWriterProtectionsTest,
     FilesPlantedInSharedDirectoriesAreRefusedAsAPlainCreateRefusesThem)
{
    // fs.protected_regular and fs.protected_fifos: in a sticky directory that others may write
    // to, a plain write (O_CREAT) of a file that neither the directory's owner nor the writer
    // owns is refused. The save must say what the kernel says to that plain open.
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to plant files as other users";
    }
    for (const char* level : {"0", "1", "2"}) {
        const SystemSetting regular("/proc/sys/fs/protected_regular", level);
        const SystemSetting fifos("/proc/sys/fs/protected_fifos", level);
        if (!regular.set() || !fifos.set()) {
            GTEST_SKIP() << "cannot change fs.protected_regular here";
        }
        for (const mode_t directoryMode : {mode_t{01777}, mode_t{01770}, mode_t{0777}}) {
            for (const bool fifo : {false, true}) {
                for (const uid_t planter : {OTHER, OWNER}) {
                    SCOPED_TRACE(std::string("level ") + level + ", directory " +
                                 std::to_string(directoryMode) + (fifo ? ", FIFO" : ", file") +
                                 (planter == OWNER ? ", own" : ", planted"));
                    TempDir dir;
                    ::chmod(dir.path().c_str(), 0755);
                    const std::string shared = dir / "shared";
                    ASSERT_EQ(::mkdir(shared.c_str(), 0), 0);
                    ASSERT_EQ(::chown(shared.c_str(), 0, OWNER), 0); // the saver's group
                    ::chmod(shared.c_str(), directoryMode);
                    const std::string file = shared + "/test.bmp";
                    if (fifo) {
                        ASSERT_EQ(::mkfifo(file.c_str(), 0666), 0);
                    } else {
                        writeFile(file, EARLIER);
                    }
                    ::chown(file.c_str(), planter, planter);
                    ::chmod(file.c_str(), 0666);
                    // a FIFO gets a reader, and a small content that its pipe holds
                    const auto opened = [&](const std::function<int()>& open) {
                        const int reader = fifo ? ::open(file.c_str(), O_RDONLY | O_NONBLOCK) : -1;
                        const int result = open();
                        ::close(reader);
                        return result;
                    };
                    const int plain = inChild([&] {
                        return opened([&] {
                            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0666);
                            return fd >= 0 ? 0 : errno;
                        });
                    });
                    const int ours = inChild([&] {
                        return opened([&] {
                            FileError error;
                            writeFileAtomically(file, {{EARLIER.data(), EARLIER.size()}}, error);
                            return error.code.value();
                        });
                    });
                    EXPECT_EQ(ours, plain);
                    const bool refused = planter == OTHER && level[0] != '0' &&
                                         directoryMode != 0777 &&
                                         (directoryMode == 01777 || level[0] == '2');
                    EXPECT_EQ(plain, refused ? EACCES : 0);
                }
            }
        }
    }
}

} // namespace
} // namespace stavenwick
