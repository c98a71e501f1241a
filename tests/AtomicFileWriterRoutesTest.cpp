// Which way a save goes, and that every way ends with the new file complete or the old one
// as it was, and nothing of the save's left behind.
#include "support/TempDir.h"
#include "writer/WriterTesting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// POSIX: fork, setrlimit, mkfifo, mknod, statvfs, leases
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace testing; // NOLINT(google-build-using-namespace): the writer's test kit

TEST(AtomicFileWriterRoutesTest, PathsThatCannotBeWrittenFailAndStayAsTheyWere)
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

TEST(AtomicFileWriterRoutesTest, NewFilesAndReplacedFilesHoldExactlyTheContent)
{
    struct Case {
        const char* name;
        std::function<void(const TempDir&)> setup;
        const char* path;
        const char* written;     // where the content must be found
        mode_t mask = 022;       // the saver's umask
        bool inPlace = false;    // written in place: the inode stays
        int* injected = nullptr; // a failure injected into the writer's calls
        int reason = 0;
        const char* alsoWritten = nullptr; // another name that must hold the content
    };
    const std::string longName(250, 'n'); // the temporary's name must still fit
    const auto earlier = [](const TempDir& d) {
        writeFile(d / "test.bmp", EARLIER);
    };
    const Case cases[] = {
        {"new file", [](const TempDir&) {}, "test.bmp", "test.bmp"},
        {"new file, nothing masked", [](const TempDir&) {}, "test.bmp", "test.bmp", 0},
        {"new file, all but the owner masked", [](const TempDir&) {}, "test.bmp", "test.bmp", 077},
        {"mode cannot be kept: in place",
         [](const TempDir& d) {
             writeFile(d / "test.bmp", EARLIER);
             ::chmod((d / "test.bmp").c_str(), 0640);
         },
         "test.bmp", "test.bmp", 022, true, &g_chmodFails, EPERM},
        {"file of two names: in place, as a plain write changes both",
         [](const TempDir& d) {
             writeFile(d / "test.bmp", EARLIER);
             fs::create_hard_link(d / "test.bmp", d / "other.bmp");
         },
         "test.bmp", "test.bmp", 022, true, nullptr, 0, "other.bmp"},
        {"file system that flushes no file (EINVAL): replaced", earlier, "test.bmp", "test.bmp",
         022, false, &g_fileFlushFails, EINVAL},
        {"quota reached at the temporary's flush: in place", earlier, "test.bmp", "test.bmp", 022,
         true, &g_fileFlushFails, EDQUOT},
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
        const mode_t mask = ::umask(c.mask);
        g_flushedDirectories.clear();
        g_flushedFiles.clear();
        const ino_t inode = fs::exists(dir / c.written) ? inodeOf(dir / c.written) : 0;
        if (c.injected != nullptr) {
            *c.injected = c.reason;
        }

        EXPECT_EQ(save(dir / c.path), 0);
        if (c.injected != nullptr) {
            *c.injected = 0;
        }
        ::umask(mask);

        EXPECT_TRUE(readFile(dir / c.written) == CONTENT);
        if (c.alsoWritten != nullptr) {
            EXPECT_TRUE(readFile(dir / c.alsoWritten) == CONTENT);
        }
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
            EXPECT_EQ(modeOf(dir / c.written), 0666 & ~c.mask);
        }
        EXPECT_EQ(after, before); // links kept, no temporary left
        // the content reached the disk, and a rename the directory too
        EXPECT_THAT(g_flushedFiles, ::testing::Contains(inodeOf(dir / c.written)));
        EXPECT_EQ(inodeOf(dir / c.written) == inode, c.inPlace); // a replaced file is new
        if (c.inPlace) {
            continue;
        }
        struct stat directory {};
        ASSERT_EQ(::stat(fs::path(dir / c.written).parent_path().c_str(), &directory), 0);
        EXPECT_THAT(g_flushedDirectories, ::testing::Contains(directory.st_ino));
    }
}

TEST(AtomicFileWriterRoutesTest, SavesWhereAPlainWriteSavesAndLeavesNothing)
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
        gid_t fileGroup = fileOwner;
        bool throughLink = false; // the path is a link to the file
        bool appendOnly = false;  // dir/work is append-only
    };
    const Case cases[] = {
        {"directory that may not be written", 0555, "0666", nullptr, nullptr, 0, IN_PLACE},
        {"drop-box directory: write, no read", 0333, "0666", "work", nullptr, 0, REPLACED},
        {"new name in a drop-box", 0333, nullptr, "work", nullptr, 0, CREATED},
        {"working directory below an unsearchable one", 0777, "0666", "work/deep"},
        {"new name below an unsearchable one", 0777, nullptr, "work/deep", nullptr, 0, CREATED},
        {"file of another user's: owner cannot be kept", 0777, "0666", nullptr, nullptr, 0,
         IN_PLACE, OTHER},
        {"another group's file, of the saver's: its group cannot be kept", 0777, "0664", nullptr,
         nullptr, 0, IN_PLACE, OWNER, OTHER},
        {"link to the file", 0777, "0640", nullptr, nullptr, 0, REPLACED, OWNER, OWNER, true},
        {"no /proc to say where a link leads", 0777, "0640", nullptr, &g_procFails, ENOENT,
         IN_PLACE, OWNER, OWNER, true},
        {"no /proc, the name itself", 0777, "0640", nullptr, &g_procFails, ENOENT},
        {"chmod refused, mode differs", 0777, "0640", nullptr, &g_chmodFails, EPERM, IN_PLACE},
        {"chmod refused, mode the same", 0777, "0600", nullptr, &g_chmodFails, EPERM},
        {"bind-mounted file: rename refused", 0777, "0644", nullptr, &g_renameFails, EBUSY,
         IN_PLACE},
        {"new name, rename refused", 0777, nullptr, nullptr, &g_renameFails, EBUSY, CREATED},
        {"append-only directory", 0777, "0644", nullptr, nullptr, 0, IN_PLACE, OWNER, OWNER, false,
         true},
        {"append-only directory, its flags asked of the file system: statx reports none", 0777,
         "0644", nullptr, &g_statxLacksAttributes, 1, IN_PLACE, OWNER, OWNER, false, true},
        {"new name in an append-only directory", 0777, nullptr, nullptr, nullptr, 0, CREATED, OWNER,
         OWNER, false, true},
        {"append-only drop-box: its flags read without reading it", 0333, "0666", "work", nullptr,
         0, IN_PLACE, OWNER, OWNER, false, true},
        {"no inode for a temporary", 0777, "0644", nullptr, &g_temporaryFails, ENOSPC, IN_PLACE},
        {"new name, no inode for a temporary", 0777, nullptr, nullptr, &g_temporaryFails, ENOSPC,
         CREATED},
        {"directory full at the rename", 0777, "0644", nullptr, &g_renameFails, ENOSPC, IN_PLACE},
        {"attributes cannot be listed", 0777, "0644", nullptr, &g_listAttributesFails, EPERM,
         IN_PLACE},
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
            ASSERT_EQ(::chown(file.c_str(), c.fileOwner, c.fileGroup), 0);
            ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        }
        if (c.throughLink) {
            fs::create_symlink("test.bmp", work + "/link.bmp");
        }
        const ino_t before = c.existing != nullptr ? inodeOf(file) : 0;
        ::chmod(work.c_str(), c.directoryMode);
        if (c.appendOnly && !setAppendOnly(work, true)) {
            continue; // this file system has no such flag
        }
        const std::string path = c.workingDir != nullptr ? "test.bmp"
                                 : c.throughLink         ? work + "/link.bmp"
                                                         : file;
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
        if (c.appendOnly) {
            setAppendOnly(work, false);
        }
        ::chmod(work.c_str(), 0755);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(readFile(file) == CONTENT);
        EXPECT_THAT(listDirectory(fs::path(file).parent_path()), ::testing::Contains("test.bmp"));
        EXPECT_EQ(listDirectory(fs::path(file).parent_path()).size(),
                  deep            ? 1u
                  : c.throughLink ? 3u
                                  : 2u); // the file (deep/, the link), no temporary
        if (c.outcome == CREATED) {
            EXPECT_EQ(modeOf(file), 0666 & ~0022u);
        } else {
            EXPECT_EQ(modeOf(file), mode);
            EXPECT_EQ(inodeOf(file) == before, c.outcome == IN_PLACE);
            struct stat owner {};
            ASSERT_EQ(::stat(file.c_str(), &owner), 0);
            EXPECT_EQ(owner.st_uid, c.fileOwner);
            EXPECT_EQ(owner.st_gid, c.fileGroup);
        }
    }
}

TEST(AtomicFileWriterRoutesTest, FifoPipeAndDeviceAreWrittenAsStreams)
{
    // the open waits for the FIFO's reader, as a plain write's does
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "test.bmp").c_str(), 0600), 0);
    std::vector<unsigned char> received;
    std::thread fifoReader([&] { received = readFile(dir / "test.bmp"); });
    EXPECT_EQ(save(dir / "test.bmp"), 0);
    fifoReader.join();
    EXPECT_TRUE(received == CONTENT);
    EXPECT_TRUE(fs::is_fifo(dir / "test.bmp"));

    // a pipe behind a link to /proc/self/fd (ln -s /dev/stdout test.bmp; lumivar | cat)
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    fs::create_symlink("/proc/self/fd/" + std::to_string(pipe[1]), dir / "stdout.bmp");
    std::thread pipeReader(
        [&] { received = readFile("/proc/self/fd/" + std::to_string(pipe[0])); });
    EXPECT_EQ(save(dir / "stdout.bmp"), 0);
    ::close(pipe[1]); // the end: the reader sees it
    pipeReader.join();
    ::close(pipe[0]);
    EXPECT_TRUE(received == CONTENT);

    // a character device, made where we may: the null device under another name
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "cannot make a device here (needs root)";
    }
    EXPECT_EQ(save(dir / "null"), 0);
    EXPECT_TRUE(fs::is_character_file(dir / "null"));
    EXPECT_THAT(dir.entries(), ElementsAre("null", "stdout.bmp", "test.bmp"));
}

TEST(AtomicFileWriterRoutesTest, FileSizeLimitKeepsTheEarlierFileAndLeavesNoTemporary)
{
    // through a temporary, and in place (chmod refused: the file's mode cannot be kept); the
    // limit is checked before a byte is written, so that SIGXFSZ never comes, for a library
    // caller who does not ignore it; a content exactly at the limit fits
    // no /proc to name the file: in place, and the link's target the open created goes too
    const std::pair<int, int> routes[] = {{0, 0}, {EPERM, 0}, {0, ENOENT}};
    for (const auto& [chmodFails, procFails] : routes) {
        for (const rlim_t cut : {rlim_t{0}, rlim_t{10}, rlim_t{54}, rlim_t{CONTENT.size() - 1},
                                 rlim_t{CONTENT.size()}}) {
            SCOPED_TRACE(chmodFails != 0  ? "in place"
                         : procFails != 0 ? "in place, no /proc"
                                          : "through a temporary");
            TempDir dir;
            writeFile(dir / "test.bmp", EARLIER);
            // a dangling link: the file created for it goes again
            fs::create_directory(dir / "pictures");
            fs::create_symlink("pictures/new.bmp", dir / "link.bmp");
            const int status = inChild(
                [&, chmodFails = chmodFails, procFails = procFails] {
                    g_chmodFails = chmodFails;
                    g_procFails = procFails;
                    const rlimit cap{cut, cut};
                    return ::setrlimit(RLIMIT_FSIZE, &cap) == 0
                               ? save(dir / "test.bmp") + 2 * save(dir / "link.bmp")
                               : 1;
                },
                ::geteuid());
            const bool fits = cut == CONTENT.size();
            EXPECT_EQ(status, fits ? 0 : EFBIG + 2 * EFBIG) << "cut " << cut;
            EXPECT_TRUE(readFile(dir / "test.bmp") == (fits ? CONTENT : EARLIER)) << "cut " << cut;
            EXPECT_THAT(dir.entries(), ElementsAre("link.bmp", "pictures", "test.bmp"))
                << "cut " << cut;
            EXPECT_EQ(fs::is_empty(dir / "pictures"), !fits) << "cut " << cut;
        }
    }
}

TEST(AtomicFileWriterRoutesTest, OneDescriptorLeftSavesInPlaceAsAPlainWriteDoes)
{
    // the file can be opened, its directory not (ulimit -n): no temporary, written in place
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "existing file" : "new name");
        TempDir dir;
        if (existing) {
            writeFile(dir / "test.bmp", EARLIER);
        }
        const int status = inChild(
            [&] {
                const int lowest = ::dup(0);
                ::close(lowest);
                const rlimit one{static_cast<rlim_t>(lowest) + 1, static_cast<rlim_t>(lowest) + 1};
                return ::setrlimit(RLIMIT_NOFILE, &one) == 0 ? save(dir / "test.bmp") : 1;
            },
            ::geteuid());
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

TEST(AtomicFileWriterRoutesTest, NoRoomOnAnyRouteKeepsTheEarlierFileWhole)
{
    // A file system that really fills up. Where the new content does not fit, every route keeps
    // the old file as it was; where it fits only over the old one, it is written in place.
    enum Route {
        REPLACE,
        UNWRITABLE_DIRECTORY,
        CHMOD_REFUSED,
        OTHERS_FILE,
        APPEND_ONLY,
        NO_RESERVATION, // in place where the file system reserves nothing (ext2, FUSE)
        NEW_NAME,       // the file the open created goes again
    };
    struct Case {
        const char* name;
        Route route;
        std::size_t old;  // the earlier file's size
        std::size_t room; // bytes left free beside it
        int error;
        std::size_t hole = 0; // the earlier file holds nothing from 4096 to here
    };
    const Case cases[] = {
        {"through a temporary", REPLACE, 7, 100000, ENOSPC},
        {"in place: directory not writable", UNWRITABLE_DIRECTORY, 7, 100000, ENOSPC},
        {"in place: chmod refused", CHMOD_REFUSED, 7, 100000, ENOSPC},
        {"in place: another user's file", OTHERS_FILE, 7, 100000, ENOSPC},
        {"in place: append-only directory", APPEND_ONLY, 7, 100000, ENOSPC},
        {"room for one copy: in place", REPLACE, 150000, 100000, 0},
        {"in place over a larger file", CHMOD_REFUSED, 300000, 1000, 0},
        {"in place, no reservation: the free space is looked at", NO_RESERVATION, 7, 100000,
         ENOSPC},
        {"in place, no reservation, room enough", NO_RESERVATION, 150000, 100000, 0},
        {"in place, no reservation, over a larger file", NO_RESERVATION, 300000, 1000, 0},
        // its blocks past the new end are not room: a write into the hole would tear the file
        {"in place, no reservation, a hole before data past the new end", NO_RESERVATION, 400000,
         80000, ENOSPC, 260000},
        {"new name", NEW_NAME, 0, 100000, ENOSPC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmallFileSystem small("size=1m,mode=0755");
        if (!small.mounted()) {
            GTEST_SKIP() << "needs root, to mount a small file system";
        }
        const std::string work = small / "work";
        const std::string file = work + "/test.bmp";
        ASSERT_EQ(::mkdir(work.c_str(), 0777), 0);
        std::vector<unsigned char> earlier(c.old, 'e');
        if (c.route != NEW_NAME) {
            writeFile(file, earlier);
            if (c.hole != 0) { // punched out, the file keeps its size
                std::fill(earlier.begin() + 4096,
                          earlier.begin() + static_cast<std::ptrdiff_t>(c.hole), 0);
                const int fd = ::open(file.c_str(), O_WRONLY);
                ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096,
                                      static_cast<off_t>(c.hole - 4096)),
                          0);
                ::close(fd);
            }
            ::chmod(file.c_str(), 0666);
            ::chown(file.c_str(), c.route == OTHERS_FILE ? OTHER : OWNER, OWNER);
        }
        struct statvfs space {};
        ASSERT_EQ(::statvfs(work.c_str(), &space), 0);
        const auto free = static_cast<std::size_t>(space.f_bavail * space.f_bsize);
        writeFile(small / "filler", std::vector<unsigned char>(free - c.room, 0));
        ::chmod(work.c_str(), c.route == UNWRITABLE_DIRECTORY ? 0555 : 0777);
        if (c.route == APPEND_ONLY && !setAppendOnly(work, true)) {
            continue; // this kernel's tmpfs has no such flag
        }
        const int status = inChild([&] {
            g_chmodFails = c.route == CHMOD_REFUSED || c.route == NO_RESERVATION ? EPERM : 0;
            g_reserveFails = c.route == NO_RESERVATION ? EOPNOTSUPP : 0;
            return save(file);
        });
        setAppendOnly(work, false);
        EXPECT_EQ(status, c.error);
        if (c.route == NEW_NAME) {
            EXPECT_TRUE(listDirectory(work).empty());
            continue;
        }
        EXPECT_TRUE(readFile(file) == (c.error == 0 ? CONTENT : earlier));
        EXPECT_THAT(listDirectory(work), ElementsAre("test.bmp"));
    }
}

TEST(AtomicFileWriterRoutesTest, FileUnderAReadLeaseIsWrittenOnceTheHolderLetsGo)
{
    // a file server's read lease: a plain write waits for it to be broken, and so does the save
    TempDir dir;
    const std::string file = dir / "test.bmp";
    writeFile(file, EARLIER);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t holder = ::fork();
    if (holder == 0) {
        sigset_t io;
        sigemptyset(&io);
        sigaddset(&io, SIGIO);
        sigprocmask(SIG_BLOCK, &io, nullptr);
        const int fd = ::open(file.c_str(), O_RDONLY);
        const char leased = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 1 : 0;
        static_cast<void>(::write(ready[1], &leased, 1));
        int signal = 0;
        const bool asked = leased != 0 && sigwait(&io, &signal) == 0; // the kernel asks: let go
        ::_exit(asked && ::fcntl(fd, F_SETLEASE, F_UNLCK) == 0 ? 0 : 1);
    }
    char leased = 0;
    ASSERT_EQ(::read(ready[0], &leased, 1), 1);
    int status = 0;
    if (leased == 0) {
        ::waitpid(holder, &status, 0);
        GTEST_SKIP() << "no leases here";
    }
    EXPECT_EQ(save(file), 0);
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(readFile(file) == CONTENT);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(AtomicFileWriterRoutesTest, FileDatedPast2038IsReplacedLikeAnyOther)
{
    // a 32-bit build whose stat cannot hold the date fails with EOVERFLOW, where a plain open
    // and write succeed
    TempDir dir;
    writeFile(dir / "test.bmp", EARLIER);
    const timespec in2040[2] = {{2208988800, 0}, {2208988800, 0}}; // 2040-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "test.bmp").c_str(), in2040, 0), 0);
    EXPECT_EQ(save(dir / "test.bmp"), 0);
    EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
    EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
}

TEST(AtomicFileWriterRoutesTest, DeviceThatFailsAStepIsReported)
{
    // the rename: writing in place would meet the same device, so the old file stays; the
    // directory's flush, after the rename: the new file is saved, but may not outlive a crash
    const std::pair<int*, int> steps[] = {
        {&g_renameFails, EIO}, {&g_renameFails, ENOMEM}, {&g_directoryFlushFails, EIO}};
    for (const auto& [injected, reason] : steps) {
        TempDir dir;
        writeFile(dir / "test.bmp", EARLIER);
        *injected = reason;
        FileError error;
        EXPECT_EQ(save(dir / "test.bmp", &error), reason);
        const bool saved = injected == &g_directoryFlushFails;
        *injected = 0;
        EXPECT_EQ(error.saved, saved);
        EXPECT_EQ(error.step, saved ? "cannot flush its directory " + dir.path().string()
                                    : "cannot replace test.bmp");
        EXPECT_TRUE(readFile(dir / "test.bmp") == (saved ? CONTENT : EARLIER));
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

} // namespace
} // namespace stavenwick
