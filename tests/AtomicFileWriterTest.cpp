// What a save does to whatever the path names: a regular file is replaced whole or not at all,
// anything else is written in place or left alone, and nothing of a failed or interrupted save
// stays behind.
#include "image/AtomicFileWriter.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// POSIX: fork, setresuid, setrlimit, mkfifo, mknod, socket, chmod, lchown
#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS, FS_APPEND_FL
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Flushes seen, by inode: the writer's fsync calls land here first.
std::vector<ino_t> g_flushedDirectories;
std::vector<ino_t> g_flushedFiles;

// Failures injected into the writer's calls, 0 for none: what the system refuses somewhere.
int g_linkFromProcFails = 0; // linkat of /proc/self/fd/N: a system without /proc
int g_unnamedFails = 0;      // openat with O_TMPFILE: a file system without unnamed files
int g_renameFails = 0;       // renameat: a bind-mounted file (EBUSY)
int g_chmodFails = 0;        // fchmod: a file system that refuses it (EPERM)

int failWith(int reason)
{
    errno = reason;
    return -1;
}

} // namespace

extern "C" int fsync(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        (S_ISDIR(status.st_mode) ? g_flushedDirectories : g_flushedFiles).push_back(status.st_ino);
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): our names, not libc's
extern "C" int linkat(int fromDirectory, const char* from, int toDirectory, const char* to,
                      int flags)
{
    if (g_linkFromProcFails != 0 && std::strncmp(from, "/proc/", 6) == 0) {
        return failWith(g_linkFromProcFails);
    }
    return static_cast<int>(::syscall(SYS_linkat, fromDirectory, from, toDirectory, to, flags));
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int openat(int directory, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        std::va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    if (g_unnamedFails != 0 && (flags & O_TMPFILE) == O_TMPFILE) {
        return failWith(g_unnamedFails);
    }
    return static_cast<int>(::syscall(SYS_openat, directory, path, flags, mode));
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int renameat(int fromDirectory, const char* from, int toDirectory, const char* to)
{
    if (g_renameFails != 0) {
        return failWith(g_renameFails);
    }
#ifdef SYS_renameat
    return static_cast<int>(::syscall(SYS_renameat, fromDirectory, from, toDirectory, to));
#else
    return static_cast<int>(::syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, 0));
#endif
}

extern "C" int fchmod(int fd, mode_t mode)
{
    return g_chmodFails != 0 ? failWith(g_chmodFails)
                             : static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::vector<unsigned char> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
const std::vector<unsigned char> CONTENT(200000, 0x5C); // more than a pipe holds

constexpr uid_t OWNER = 65534; // nobody: the unprivileged user of the tests run as root
constexpr uid_t OTHER = 65533;

// Saves CONTENT to path; the error's value, 0 on success.
int save(const std::string& path, FileError* error = nullptr)
{
    FileError reason;
    const bool saved = writeFileAtomically(path, CONTENT.data(), CONTENT.size(), reason);
    if (error != nullptr) {
        *error = reason;
    }
    EXPECT_EQ(saved, !reason.code) << path << ": " << reason.message();
    return reason.code.value();
}

mode_t modeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

ino_t inodeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

// Runs body in a child process and returns how it ended: its exit status, or 1000 + the
// signal that ended it. As root the child first becomes user uid, so that permissions count.
int inChild(const std::function<int()>& body, uid_t uid = OWNER,
            const std::function<void()>& asRoot = {})
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (asRoot) {
            asRoot();
        }
        if (::geteuid() == 0 &&
            (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)) {
            ::_exit(120);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// A directory every test user may work in.
void openToAll(const TempDir& dir)
{
    ::chmod(dir.path().c_str(), 0777);
}

TEST(AtomicFileWriterTest, PathsThatCannotBeWrittenFailAndStayAsTheyWere)
{
    struct Case {
        const char* name;
        std::function<void(const TempDir&)> setup;
        std::string path;
        int error;
    };
    const Case cases[] = {
        {"missing directory", [](const TempDir&) {}, "missing/test.bmp", ENOENT},
        {"directory", [](const TempDir& d) { fs::create_directory(d / "test.bmp"); }, "test.bmp",
         EISDIR},
        {"dangling link into a missing directory",
         [](const TempDir& d) { fs::create_symlink("nowhere/test.bmp", d / "test.bmp"); },
         "test.bmp", ENOENT},
        {"link cycle",
         [](const TempDir& d) {
             fs::create_symlink("b.bmp", d / "test.bmp");
             fs::create_symlink("test.bmp", d / "b.bmp");
         },
         "test.bmp", ELOOP},
        {"socket",
         [](const TempDir& d) {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             const std::string path = d / "test.bmp";
             ASSERT_LT(path.size(), sizeof address.sun_path);
             path.copy(address.sun_path, path.size());
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
         },
         "test.bmp", ENXIO},
        {"name with a NUL inside: the system would see test.bmp", [](const TempDir&) {},
         std::string("test.bmp\0.txt", 13), EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.setup(dir);
        const std::vector<std::string> before = dir.entries();
        std::vector<fs::file_type> types;
        types.reserve(before.size());
        for (const std::string& name : before) {
            types.push_back(fs::symlink_status(dir / name).type());
        }
        EXPECT_EQ(save(dir.path().string() + "/" + c.path), c.error);
        EXPECT_EQ(dir.entries(), before);
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(fs::symlink_status(dir / before[i]).type(), types[i]) << before[i];
        }
    }
}

TEST(AtomicFileWriterTest, NewFilesAndReplacedFilesHoldExactlyTheContent)
{
    struct Case {
        const char* name;
        std::function<void(const TempDir&)> setup;
        const char* path;
        const char* written; // where the content must be found
    };
    const std::string longName(250, 'n'); // the temporary's name must still fit
    const Case cases[] = {
        {"new file", [](const TempDir&) {}, "test.bmp", "test.bmp"},
        {"larger file",
         [](const TempDir& d) { writeFile(d / "test.bmp", std::vector<unsigned char>(300000, 1)); },
         "test.bmp", "test.bmp"},
        {"long name", [&](const TempDir& d) { writeFile(d / longName, EARLIER); }, longName.c_str(),
         longName.c_str()},
        {"dangling link into a directory",
         [](const TempDir& d) {
             fs::create_directory(d / "pictures");
             fs::create_symlink("pictures/real.bmp", d / "test.bmp");
         },
         "test.bmp", "pictures/real.bmp"},
        {"chain of links into another directory",
         [](const TempDir& d) {
             fs::create_directory(d / "pictures");
             fs::create_directory(d / "work");
             writeFile(d / "pictures/real.bmp", EARLIER);
             fs::create_symlink("../pictures/real.bmp", d / "work/hop.bmp");
             fs::create_symlink("hop.bmp", d / "work/test.bmp");
         },
         "work/test.bmp", "pictures/real.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.setup(dir);
        std::vector<std::string> before;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            before.push_back(entry.path().string());
        }
        const mode_t mask = ::umask(022);
        ::umask(mask);
        g_flushedDirectories.clear();
        g_flushedFiles.clear();

        EXPECT_EQ(save(dir / c.path), 0);

        EXPECT_TRUE(readFile(dir / c.written) == CONTENT);
        std::vector<std::string> after;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            after.push_back(entry.path().string());
            if (fs::is_symlink(entry.path())) {
                EXPECT_TRUE(std::find(before.begin(), before.end(), after.back()) != before.end());
            }
        }
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        if (std::find(before.begin(), before.end(), dir / c.written) == before.end()) {
            before.push_back(dir / c.written); // created
            std::sort(before.begin(), before.end());
            EXPECT_EQ(modeOf(dir / c.written), 0666 & ~mask);
        }
        EXPECT_EQ(after, before); // links kept, no temporary left
        // the rename reached the disk: the file's directory was flushed after it
        struct stat directory {};
        ASSERT_EQ(::stat(fs::path(dir / c.written).parent_path().c_str(), &directory), 0);
        EXPECT_THAT(g_flushedDirectories, ::testing::Contains(directory.st_ino));
        // and so did the file's own content, before it
        EXPECT_THAT(g_flushedFiles, ::testing::Contains(inodeOf(dir / c.written)));
    }
}

TEST(AtomicFileWriterTest, ReplacedFileKeepsItsPermissionsAndOwner)
{
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0755}, mode_t{0444}}) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        ASSERT_EQ(::chmod((dir / "test.bmp").c_str(), mode), 0);
        const bool root = ::geteuid() == 0;
        if (root) {
            ASSERT_EQ(::chown((dir / "test.bmp").c_str(), OWNER, OWNER), 0);
        }
        // a file we may not write is refused as a plain open refuses it
        const int expected = (mode & 0200) != 0 || root ? 0 : EACCES;
        EXPECT_EQ(save(dir / "test.bmp"), expected) << std::oct << mode;
        EXPECT_EQ(modeOf(dir / "test.bmp"), mode);
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

// Sets or clears a directory's append-only flag; false where the file system has none.
bool setAppendOnly(const std::string& path, bool on)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    const bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL,
                      ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    ::close(fd);
    return set;
}

TEST(AtomicFileWriterTest, SavesWhereAPlainWriteSavesAndLeavesNothing)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to save as another user";
    }
    enum Outcome { REPLACED, IN_PLACE, CREATED };
    struct Case {
        const char* name;
        mode_t directoryMode;    // of dir/work, owned by root
        const char* existing;    // the file's mode, owned by OWNER; nullptr: a new name
        const char* workingDir;  // the saver's, below dir; nullptr: none, the path is absolute
        int* injected = nullptr; // a failure injected into the writer's calls
        int reason = 0;
        Outcome outcome = REPLACED;
        uid_t fileOwner = OWNER; // the saver is OWNER
    };
    const Case cases[] = {
        {"directory that may not be written", 0555, "0666", nullptr, nullptr, 0, IN_PLACE},
        {"drop-box directory: write, no read", 0333, "0666", "work", nullptr, 0, REPLACED},
        {"new name in a drop-box", 0333, nullptr, "work", nullptr, 0, CREATED},
        {"working directory below an unsearchable one", 0777, "0666", "work/deep"},
        {"new name below an unsearchable one", 0777, nullptr, "work/deep", nullptr, 0, CREATED},
        {"file of another user's: owner cannot be kept", 0777, "0666", nullptr, nullptr, 0,
         IN_PLACE, OTHER},
        {"no unnamed temporaries", 0777, "0640", nullptr, &g_unnamedFails, EOPNOTSUPP},
        {"no /proc", 0777, "0640", nullptr, &g_linkFromProcFails, ENOENT},
        {"no /proc, new name", 0777, nullptr, nullptr, &g_linkFromProcFails, ENOENT, CREATED},
        {"chmod refused, mode differs", 0777, "0640", nullptr, &g_chmodFails, EPERM, IN_PLACE},
        {"chmod refused, mode the same", 0777, "0600", nullptr, &g_chmodFails, EPERM},
        {"bind-mounted file: rename refused", 0777, "0644", nullptr, &g_renameFails, EBUSY,
         IN_PLACE},
        {"new name, rename refused", 0777, nullptr, nullptr, &g_renameFails, EBUSY, CREATED},
        {"append-only directory", 0777, "0644", nullptr, nullptr, 0, IN_PLACE},
        {"new name in an append-only directory", 0777, nullptr, nullptr, nullptr, 0, CREATED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ::chmod(dir.path().c_str(), 0755);
        const std::string work = dir / "work";
        ASSERT_EQ(::mkdir(work.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((work + "/deep").c_str(), 0777), 0);
        ::chmod((work + "/deep").c_str(), 0777);
        const bool deep = c.workingDir != nullptr && std::strcmp(c.workingDir, "work/deep") == 0;
        const std::string file = deep ? work + "/deep/test.bmp" : work + "/test.bmp";
        const mode_t mode = c.existing != nullptr ? std::stoi(c.existing, nullptr, 8) : 0;
        if (c.existing != nullptr) {
            writeFile(file, EARLIER);
            ASSERT_EQ(::chown(file.c_str(), c.fileOwner, c.fileOwner), 0);
            ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        }
        const ino_t before = c.existing != nullptr ? inodeOf(file) : 0;
        ::chmod(work.c_str(), c.directoryMode);
        const bool appendOnly = std::strstr(c.name, "append-only") != nullptr;
        if (appendOnly && !setAppendOnly(work, true)) {
            continue; // this file system has no such flag
        }
        const std::string path = c.workingDir != nullptr ? "test.bmp" : file;
        const std::string into = c.workingDir != nullptr ? dir / c.workingDir : "";
        const int status = inChild(
            [&] {
                if (c.injected != nullptr) {
                    *c.injected = c.reason;
                }
                return save(path);
            },
            OWNER,
            [&] {
                if (!into.empty() && ::chdir(into.c_str()) != 0) {
                    ::_exit(121);
                }
                ::chmod(work.c_str(), c.workingDir != nullptr && c.directoryMode == 0777
                                          ? 0700 // unsearchable once the saver stands below
                                          : c.directoryMode);
            });
        if (appendOnly) {
            setAppendOnly(work, false);
        }
        ::chmod(work.c_str(), 0755);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(readFile(file) == CONTENT);
        EXPECT_THAT(listDirectory(fs::path(file).parent_path()), ::testing::Contains("test.bmp"));
        EXPECT_EQ(listDirectory(fs::path(file).parent_path()).size(),
                  deep ? 1u : 2u); // the file (and deep/), no temporary
        if (c.outcome == CREATED) {
            EXPECT_EQ(modeOf(file), 0666 & ~0022u);
        } else {
            EXPECT_EQ(modeOf(file), mode);
            EXPECT_EQ(inodeOf(file) == before, c.outcome == IN_PLACE);
            struct stat owner {};
            ASSERT_EQ(::stat(file.c_str(), &owner), 0);
            EXPECT_EQ(owner.st_uid, c.fileOwner);
            EXPECT_EQ(owner.st_gid, c.fileOwner);
        }
    }
}

TEST(AtomicFileWriterTest, AclAndExtendedAttributesAreKeptAndNoneAdded)
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
    for (const bool withAcl : {true, false}) {
        SCOPED_TRACE(withAcl ? "ACL" : "user attribute");
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        ::chmod((dir / "test.bmp").c_str(), 0640);
        const char* name = withAcl ? "system.posix_acl_access" : "user.comment";
        const std::vector<unsigned char> value =
            withAcl ? acl : std::vector<unsigned char>(comment.begin(), comment.end());
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

TEST(AtomicFileWriterTest, UnwritableFileIsRefusedAsAPlainOpenRefusesIt)
{
    TempDir dir;
    openToAll(dir);
    writeFile(dir / "readonly.bmp", EARLIER);
    ::chmod((dir / "readonly.bmp").c_str(), 0444);
    EXPECT_EQ(inChild([&] { return save(dir / "readonly.bmp"); }), EACCES);
    EXPECT_TRUE(readFile(dir / "readonly.bmp") == EARLIER);
    EXPECT_THAT(dir.entries(), ElementsAre("readonly.bmp"));
}

TEST(AtomicFileWriterTest, SavesAtOnceFromManyProcessesAllSucceed)
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

TEST(AtomicFileWriterTest, FifoAndDeviceAreWrittenInPlace)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "test.bmp").c_str(), 0600), 0);
    for (const bool readerFirst : {true, false}) {
        SCOPED_TRACE(readerFirst ? "reader first" : "writer first");
        // a reader already there lets the writer's non-blocking open through: the writes
        // must block all the same, as the content is more than the pipe holds
        const int early =
            readerFirst ? ::open((dir / "test.bmp").c_str(), O_RDONLY | O_NONBLOCK) : -1;
        std::vector<unsigned char> received;
        std::thread reader([&] {
            if (early < 0) {
                received = readFile(dir / "test.bmp");
                return;
            }
            // poll, not a blocking read: a FIFO no writer has opened yet reads as at its end
            unsigned char buffer[65536];
            pollfd ready{early, POLLIN, 0};
            while (::poll(&ready, 1, -1) == 1) {
                const ssize_t got = ::read(early, buffer, sizeof buffer);
                if (got <= 0 && (got == 0 || errno != EAGAIN)) {
                    break; // the writer has come and gone
                }
                received.insert(received.end(), buffer, buffer + std::max<ssize_t>(got, 0));
            }
            ::close(early);
        });
        EXPECT_EQ(save(dir / "test.bmp"), 0);
        reader.join();
        EXPECT_TRUE(received == CONTENT);
        EXPECT_TRUE(fs::is_fifo(dir / "test.bmp"));
    }

    // a character device, made where we may: the null device under another name
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "cannot make a device here (needs root)";
    }
    EXPECT_EQ(save(dir / "null"), 0);
    EXPECT_TRUE(fs::is_character_file(dir / "null"));
    EXPECT_THAT(dir.entries(), ElementsAre("null", "test.bmp"));
}

// Whether the kernel refuses to follow links that others planted in sticky shared directories.
bool linksAreProtected()
{
    std::ifstream setting("/proc/sys/fs/protected_symlinks");
    int value = 0;
    return setting >> value && value != 0;
}

TEST(AtomicFileWriterTest, LinksAreFollowedOnlyWhereTheKernelWouldFollowThem)
{
    if (::geteuid() != 0 || !linksAreProtected()) {
        GTEST_SKIP() << "needs root and fs.protected_symlinks";
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

TEST(AtomicFileWriterTest, DiskFullAtAnyPointKeepsTheEarlierFileAndLeavesNoTemporary)
{
    for (const rlim_t cut : {rlim_t{0}, rlim_t{10}, rlim_t{54}, rlim_t{CONTENT.size() - 1}}) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        // a dangling link: the file created for it goes again
        fs::create_directory(dir / "pictures");
        fs::create_symlink("pictures/new.bmp", dir / "link.bmp");
        const int status = inChild(
            [&] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit cap{cut, cut};
                return ::setrlimit(RLIMIT_FSIZE, &cap) == 0
                           ? save(dir / "test.bmp") + 2 * save(dir / "link.bmp")
                           : 1;
            },
            ::geteuid());
        EXPECT_EQ(status, EFBIG + 2 * EFBIG) << "cut " << cut;
        EXPECT_TRUE(readFile(dir / "test.bmp") == EARLIER) << "cut " << cut;
        EXPECT_THAT(dir.entries(), ElementsAre("link.bmp", "pictures", "test.bmp"))
            << "cut " << cut;
        EXPECT_TRUE(fs::is_empty(dir / "pictures")) << "cut " << cut;
    }
}

TEST(AtomicFileWriterTest, NameSwappedDuringTheSaveIsReplacedOnlyWhenItHoldsAFile)
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
        setBeforeReplaceHook([] {
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
        setBeforeReplaceHook(nullptr);
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

TEST(AtomicFileWriterTest, SignalDuringTheSaveLeavesNoTemporaryAndStillEndsTheProgram)
{
    // the signal arrives once the temporary is complete: the save ends with the earlier file or
    // the new one in place, never a temporary or an empty file, and the signal ends the program
    enum Start { EXISTING, NEW_NAME, DANGLING_LINK };
    static int s_signal = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (const Start start : {EXISTING, NEW_NAME, DANGLING_LINK}) {
            for (const int noUnnamed : {0, EOPNOTSUPP}) { // an unnamed temporary, a named one
                SCOPED_TRACE("signal " + std::to_string(signal) + ", start " +
                             std::to_string(start) + (noUnnamed != 0 ? ", named" : ""));
                TempDir dir;
                std::string file = dir / "test.bmp";
                if (start == EXISTING) {
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
                        g_unnamedFails = noUnnamed;
                        setBeforeReplaceHook([] { ::raise(s_signal); });
                        save(dir / "test.bmp");
                        return 0;
                    },
                    ::geteuid());
                EXPECT_EQ(status, 1000 + signal);
                std::vector<std::string> left = dir.entries();
                const auto at = std::find(left.begin(), left.end(), fs::path(file).filename());
                if (at != left.end()) {
                    const std::vector<unsigned char> content = readFile(file);
                    EXPECT_TRUE(content == CONTENT || content == EARLIER);
                    left.erase(at);
                }
                EXPECT_EQ(left, start == DANGLING_LINK ? std::vector<std::string>{"test.bmp"}
                                                       : std::vector<std::string>{});
            }
        }
    }
}

} // namespace
} // namespace stavenwick
