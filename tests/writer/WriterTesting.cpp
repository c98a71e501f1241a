#include "writer/WriterTesting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS, FS_APPEND_FL
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stavenwick::testing {

std::vector<ino_t> g_flushedDirectories;
std::vector<ino_t> g_flushedFiles;
int g_procFails = 0;
int g_reserveFails = 0;
int g_temporaryFails = 0;
int g_renameFails = 0;
int g_chmodFails = 0;
int g_listAttributesFails = 0;
int g_directoryFlushFails = 0;
int g_fileFlushFails = 0;
int g_statxLacksAttributes = 0;
void (*g_beforeChange)() = nullptr;

namespace {

int failWith(int reason)
{
    errno = reason;
    return -1;
}

void beforeChange()
{
    if (void (*hook)() = std::exchange(g_beforeChange, nullptr)) {
        hook();
    }
}

} // namespace

} // namespace stavenwick::testing

using namespace stavenwick::testing; // NOLINT(google-build-using-namespace): the interposers

extern "C" int fsync(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        static std::mutex recording; // saves from several threads at once
        const bool directory = S_ISDIR(status.st_mode);
        const std::lock_guard<std::mutex> held(recording);
        (directory ? g_flushedDirectories : g_flushedFiles).push_back(status.st_ino);
        if (directory && g_directoryFlushFails != 0) {
            return failWith(g_directoryFlushFails);
        }
        if (!directory && g_fileFlushFails != 0) {
            return failWith(std::exchange(g_fileFlushFails, 0));
        }
    }
    const int flushed = static_cast<int>(::syscall(SYS_fsync, fd));
    if (flushed == 0 && S_ISREG(status.st_mode)) {
        beforeChange(); // a temporary's, complete
    }
    return flushed;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): our names, not libc's
extern "C" ssize_t readlink(const char* path, char* to, std::size_t size)
{
    if (g_procFails != 0 && std::strncmp(path, "/proc/", 6) == 0) {
        return failWith(g_procFails);
    }
    return ::syscall(SYS_readlinkat, AT_FDCWD, path, to, size);
}

extern "C" int fallocate(int fd, int mode, off_t offset, off_t len)
{
    beforeChange(); // the in-place route: before its first byte
    return g_reserveFails != 0 ? failWith(g_reserveFails)
                               : static_cast<int>(::syscall(SYS_fallocate, fd, mode, offset, len));
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int openat(int directory, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        std::va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    if (g_temporaryFails != 0 && (flags & O_EXCL) != 0 && path[0] == '.') {
        return failWith(g_temporaryFails);
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

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int statx(int directory, const char* path, int flags, unsigned int mask,
                     struct statx* status)
{
    const auto got = static_cast<int>(::syscall(SYS_statx, directory, path, flags, mask, status));
    if (got == 0 && g_statxLacksAttributes != 0) {
        status->stx_attributes = 0;
        status->stx_attributes_mask = 0;
    }
    return got;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t flistxattr(int fd, char* list, std::size_t size)
{
    return g_listAttributesFails != 0 ? failWith(g_listAttributesFails)
                                      : ::syscall(SYS_flistxattr, fd, list, size);
}

namespace stavenwick::testing {

int save(const std::string& path, FileError* error)
{
    FileError reason;
    const bool saved = writeFileAtomically(path, {{CONTENT.data(), CONTENT.size()}}, reason);
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

int inChild(const std::function<int()>& body, uid_t uid, const std::function<void()>& asRoot)
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

SmallFileSystem::SmallFileSystem(const std::string& options)
    : m_mounted(::mount("lumivar-test", m_dir.path().c_str(), "tmpfs", 0, options.c_str()) == 0)
{
}

SmallFileSystem::~SmallFileSystem()
{
    if (m_mounted) {
        ::umount2(m_dir.path().c_str(), MNT_DETACH);
    }
}

SystemSetting::SystemSetting(std::string path, const std::string& value) : m_path(std::move(path))
{
    std::ifstream before(m_path);
    std::ofstream setting;
    if (before >> m_before) {
        setting.open(m_path);
        m_set = static_cast<bool>(setting << value << std::flush);
    }
}

SystemSetting::~SystemSetting()
{
    if (m_set) {
        std::ofstream(m_path) << m_before << std::flush;
    }
}

} // namespace stavenwick::testing
