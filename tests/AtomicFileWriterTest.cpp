// What a save does to whatever the path names: a regular file is replaced whole or not at all,
// anything else is written in place or left alone, and nothing of a failed or interrupted save
// stays behind.
#include "image/AtomicFileWriter.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// POSIX: fork, setresuid, setrlimit, mkfifo, mknod, socket, chmod, lchown
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Directory flushes seen, by inode: the writer's fsync calls land here first.
std::vector<ino_t> g_flushedDirectories;

} // namespace

extern "C" int fsync(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        g_flushedDirectories.push_back(status.st_ino);
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
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
    EXPECT_EQ(saved, !reason.code) << path;
    return reason.code.value();
}

mode_t modeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Runs body in a child process and returns how it ended: its exit status, or 1000 + the
// signal that ended it. As root the child first becomes user uid, so that permissions count.
int inChild(const std::function<int()>& body, uid_t uid = OWNER)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
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
        const char* path;
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
        EXPECT_EQ(save(dir / c.path), c.error);
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

TEST(AtomicFileWriterTest, UnwritableFileAndUnwritableDirectoryAreRefusedAsSuch)
{
    TempDir dir;
    openToAll(dir);
    ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0777), 0);
    writeFile(dir / "locked/test.bmp", EARLIER);
    writeFile(dir / "readonly.bmp", EARLIER);
    ::chmod((dir / "locked/test.bmp").c_str(), 0666);
    ::chmod((dir / "readonly.bmp").c_str(), 0444);
    ::chmod((dir / "locked").c_str(), 0555); // the file is writable, its directory is not
    const int status = inChild([&] {
        FileError error;
        const bool refused = save(dir / "readonly.bmp") == EACCES;
        const bool named = save(dir / "locked/test.bmp", &error) == EACCES &&
                           error.message() == "cannot create a temporary file in " +
                                                  (dir / "locked") + ": Permission denied";
        return (refused ? 0 : 1) + (named ? 0 : 2);
    });
    ::chmod((dir / "locked").c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(readFile(dir / "locked/test.bmp") == EARLIER);
    EXPECT_TRUE(readFile(dir / "readonly.bmp") == EARLIER);
    EXPECT_THAT(listDirectory(dir / "locked"), ElementsAre("test.bmp"));
}

TEST(AtomicFileWriterTest, FifoAndDeviceAreWrittenInPlace)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "test.bmp").c_str(), 0600), 0);
    std::vector<unsigned char> received;
    std::thread reader([&] { received = readFile(dir / "test.bmp"); });
    EXPECT_EQ(save(dir / "test.bmp"), 0);
    reader.join();
    EXPECT_TRUE(received == CONTENT);
    EXPECT_TRUE(fs::is_fifo(dir / "test.bmp"));

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

TEST(AtomicFileWriterTest, FileSwappedDuringTheSaveIsLeftAloneAndNothingStays)
{
    // another program puts a new file at the name while the temporary is being written
    static std::string s_path;
    TempDir dir;
    s_path = dir / "test.bmp";
    writeFile(s_path, EARLIER);
    setBeforeReplaceHook([] {
        std::filesystem::remove(s_path);
        writeFile(s_path, {'o', 't', 'h', 'e', 'r'});
    });
    EXPECT_EQ(save(s_path), EAGAIN);
    setBeforeReplaceHook(nullptr);
    EXPECT_TRUE(readFile(s_path) == std::vector<unsigned char>({'o', 't', 'h', 'e', 'r'}));
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(AtomicFileWriterTest, SignalDuringTheSaveLeavesNoTemporaryAndStillEndsTheProgram)
{
    static int s_signal = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (const bool existing : {true, false}) {
            TempDir dir;
            if (existing) {
                writeFile(dir / "test.bmp", EARLIER);
            }
            s_signal = signal;
            const int status = inChild(
                [&] {
                    const rlimit noCore{0, 0}; // SIGQUIT would dump one
                    ::setrlimit(RLIMIT_CORE, &noCore);
                    setBeforeReplaceHook([] { ::raise(s_signal); });
                    save(dir / "test.bmp");
                    return 0;
                },
                ::geteuid());
            EXPECT_EQ(status, 1000 + signal) << "signal " << signal;
            if (existing) {
                EXPECT_THAT(dir.entries(), ElementsAre("test.bmp")) << "signal " << signal;
                EXPECT_TRUE(readFile(dir / "test.bmp") == EARLIER);
            } else {
                EXPECT_THAT(dir.entries(), ElementsAre()) << "signal " << signal;
            }
        }
    }
}

} // namespace
} // namespace stavenwick
