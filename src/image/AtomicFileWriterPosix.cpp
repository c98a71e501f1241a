// The file writer on Linux (unnamed temporaries, O_PATH handles, extended attributes).
#include "image/AtomicFileWriter.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// POSIX: open, fstat, write, fsync, linkat, renameat, unlinkat, readlinkat, pthread_sigmask
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
// Linux: FS_IOC_GETFLAGS, getrandom, flistxattr, fgetxattr, fsetxattr, fremovexattr
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/xattr.h>

namespace stavenwick {

namespace {

constexpr int MAX_NAME_ATTEMPTS = 100; // random names already taken before giving up
constexpr int MAX_OPEN_ATTEMPTS = 8;   // the name swapped between opening and locating it
constexpr int MAX_LINK_HOPS = 40;      // as the kernel's own limit on links in a path
constexpr std::size_t MAX_BASE_IN_TEMPORARY = 200; // keeps the temporary's name within NAME_MAX
constexpr int DIRECTORY_HANDLE = O_PATH | O_DIRECTORY | O_CLOEXEC; // needs no read permission

void (*g_beforeReplace)() = nullptr;

// Failures that writing in place would meet as well: the old file is kept instead.
bool inPlaceFailsToo(int reason)
{
    return reason == ENOSPC || reason == EDQUOT || reason == EIO || reason == EFBIG ||
           reason == ENOMEM;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }
    // Closes it, reporting what close reports.
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd;
};

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO; // no progress and no reason given
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// EINVAL: the file system has nothing to flush, or cannot flush this kind of file.
bool flush(int fd)
{
    return ::fsync(fd) == 0 || errno == EINVAL;
}

std::string randomSuffix()
{
    static std::uint64_t counter = 0;
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        value = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The names of fd's extended attributes; false where they cannot be listed (a file system with
// none has none).
bool attributeNames(int fd, std::vector<std::string>& names)
{
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    std::vector<char> list(size > 0 ? static_cast<std::size_t>(size) : 0);
    const ssize_t got = size > 0 ? ::flistxattr(fd, list.data(), list.size()) : size;
    for (ssize_t at = 0; at < got; at += static_cast<ssize_t>(names.back().size()) + 1) {
        names.emplace_back(&list[static_cast<std::size_t>(at)]);
    }
    return got >= 0 || errno == ENOTSUP;
}

// Gives to what it has of from's extended attributes, the ACL among them, and nothing else.
bool copyAttributes(int from, int to)
{
    std::vector<std::string> names;
    std::vector<std::string> present;
    if (!attributeNames(from, names) || !attributeNames(to, present)) {
        return false;
    }
    for (const std::string& name : present) { // inherited from a default ACL, say
        if (std::find(names.begin(), names.end(), name) == names.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    std::vector<char> value;
    for (const std::string& name : names) {
        const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
        value.resize(size > 0 ? static_cast<std::size_t>(size) : 1);
        if (size < 0 || ::fgetxattr(from, name.c_str(), value.data(), value.size()) != size ||
            ::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(size), 0) != 0) {
            return false;
        }
    }
    return true;
}

// Whether the directory lets entries be added but neither removed nor renamed.
bool appendOnly(int directory)
{
    int flags = 0;
    return ::ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Gives the temporary the old file's owner, group, extended attributes and mode (the ACL
// before the mode: the group bits of a file with an ACL are its mask). False where any of them
// cannot be kept.
bool keepProtections(int temporary, int old, const struct stat& oldStatus)
{
    struct stat now {};
    static_cast<void>(::fchown(temporary, oldStatus.st_uid, oldStatus.st_gid));
    if (::fstat(temporary, &now) != 0 || now.st_uid != oldStatus.st_uid ||
        now.st_gid != oldStatus.st_gid || !copyAttributes(old, temporary)) {
        return false;
    }
    const mode_t mode = oldStatus.st_mode & 07777; // chown clears set-id bits: mode after
    return ::fchmod(temporary, mode) == 0 ||
           (::fstat(temporary, &now) == 0 && (now.st_mode & 07777) == mode);
}

// One save. It leaves nothing behind with one mechanism: the signals that end a program are
// held while a name of this save's exists (a named temporary, a file created for a dangling
// link), until that name is final or gone. Unnamed temporaries would need nothing, but a named
// one is still needed where /proc is missing, and the holding covers every file system.
class Save {
public:
    Save(const std::string& path, const void* data, std::size_t size, FileError& error)
        : m_path(path), m_data(data), m_size(size), m_error(error)
    {
    }
    ~Save()
    {
        // after a failure: the temporary, and the file this save created for a dangling link
        removeTemporary();
        if (m_created && holds(m_createdFile)) {
            ::unlinkat(m_directory.get(), m_name.c_str(), 0);
        }
        if (m_heldFrom) {
            pthread_sigmask(SIG_SETMASK, &*m_heldFrom, nullptr); // a held signal lands now
        }
    }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    bool run()
    {
        if (m_path.empty()) {
            return fail(ENOENT);
        }
        if (m_path.find('\0') != std::string::npos) {
            return fail(EINVAL); // the system would see a shorter name than the caller gave
        }
        for (int attempt = 0; attempt < MAX_OPEN_ATTEMPTS; ++attempt) {
            // no O_CREAT: the kernel alone says what the path names; no O_TRUNC: nothing
            // changes yet. O_NONBLOCK keeps a FIFO without a reader from holding the open.
            Descriptor target(::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (!target.valid()) {
                const int reason = errno;
                return reason == ENOENT ? create() : reason == ENXIO ? writeToFifo() : fail(reason);
            }
            struct stat status {};
            if (::fstat(target.get(), &status) != 0) {
                return fail(errno);
            }
            if (!S_ISREG(status.st_mode)) {
                // a FIFO with a reader or a device: written in place, as a redirection would
                const int flags = ::fcntl(target.get(), F_GETFL);
                if (flags < 0 || ::fcntl(target.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                    return fail(errno);
                }
                return writeInPlace(target, false);
            }
            if (!locate(m_path)) {
                return fail(errno);
            }
            if (holds(status)) {
                return replace(&target, &status);
            }
            // another save put its file at the name meanwhile: start again with that one
        }
        return fail(SaveProblem::changedDuringSave);
    }

private:
    bool fail(std::error_code code, std::string step = std::string())
    {
        m_error.code = code;
        m_error.step = std::move(step);
        return false;
    }
    bool fail(int reason, std::string step = std::string())
    {
        return fail(std::error_code(reason, std::generic_category()), std::move(step));
    }

    // Holds back, in the calling thread, the signals that would end the program, until the
    // save is over: a name of this save's is about to exist.
    void hold()
    {
        if (m_heldFrom) {
            return;
        }
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            sigaddset(&held, signal);
        }
        pthread_sigmask(SIG_BLOCK, &held, &m_heldFrom.emplace());
    }

    // Whether the name holds the file of the given status.
    bool holds(const struct stat& file) const
    {
        struct stat now {};
        return ::fstatat(m_directory.get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               now.st_dev == file.st_dev && now.st_ino == file.st_ino;
    }

    // A regular file is truncated first, as a plain open with O_TRUNC truncates it, and flushed.
    bool writeInPlace(Descriptor& target, bool regular)
    {
        if ((regular && ::ftruncate(target.get(), 0) != 0) ||
            !writeAll(target.get(), m_data, m_size) || (regular && !flush(target.get())) ||
            !target.close()) {
            return fail(errno);
        }
        m_created = false;
        return true;
    }

    // A FIFO without a reader, opened again to wait for one; a socket stays ENXIO.
    bool writeToFifo()
    {
        Descriptor fifo(::open(m_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        struct stat status {};
        if (!fifo.valid() || ::fstat(fifo.get(), &status) != 0) {
            return fail(errno);
        }
        return S_ISFIFO(status.st_mode) ? writeInPlace(fifo, false)
                                        : fail(SaveProblem::changedDuringSave);
    }

    // Finds the directory and name of the file that path leads to, following links in its
    // last part as the kernel does; the kernel resolves every directory on the way, relative
    // to the working directory or to the link's own.
    bool locate(std::string path)
    {
        Descriptor linkDirectory;
        for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
            const std::size_t slash = path.rfind('/');
            const std::string directory =
                slash == std::string::npos ? "." : path.substr(0, slash + 1);
            const bool relative = path[0] != '/';
            m_directoryName =
                directory.size() > 1 ? directory.substr(0, directory.size() - 1) : directory;
            m_name = path.substr(slash == std::string::npos ? 0 : slash + 1);
            m_directory.reset(
                ::openat(relative && linkDirectory.valid() ? linkDirectory.get() : AT_FDCWD,
                         directory.c_str(), DIRECTORY_HANDLE));
            if (!m_directory.valid()) {
                return false;
            }
            struct stat status {};
            if (m_name.empty()) {
                errno = EISDIR;
                return false;
            }
            if (::fstatat(m_directory.get(), m_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISLNK(status.st_mode)) {
                return true; // the file itself, or a new name
            }
            std::vector<char> target(static_cast<std::size_t>(status.st_size) + 2);
            const ssize_t length =
                ::readlinkat(m_directory.get(), m_name.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                errno = length < 0 ? errno : ENOENT; // an empty or a growing link
                return false;
            }
            path.assign(target.data(), static_cast<std::size_t>(length));
            linkDirectory = std::move(m_directory);
        }
        errno = ELOOP;
        return false;
    }

    // The path names nothing. A dangling link is followed as a plain create follows it: the
    // kernel creates its target (where it allows that), which then is replaced like any file.
    bool create()
    {
        struct stat link {};
        if (::lstat(m_path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            hold();
            Descriptor created(
                ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
            if (!created.valid() || ::fstat(created.get(), &m_createdFile) != 0) {
                return fail(errno);
            }
            if (!locate(m_path) || !holds(m_createdFile)) {
                return writeInPlace(created, true); // a file of ours, found by no other name
            }
            m_created = true;
            return replace(&created, &m_createdFile);
        }
        return locate(m_path) ? replace(nullptr, nullptr) : fail(errno);
    }

    // Puts the content at the name through a temporary: over old, the regular file open there,
    // or as a new file. Where that would not keep old's protections, or the system refuses one
    // of its steps for a reason a plain write does not meet, it writes in place instead.
    bool replace(Descriptor* old, const struct stat* status)
    {
        Descriptor listing(::openat(m_directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const bool appendOnlyDirectory = listing.valid() && appendOnly(listing.get());
        if (appendOnlyDirectory && old != nullptr) {
            return writeInPlace(*old, true); // nothing there can be renamed or removed
        }
        if (viaTemporary(old, status, true, !appendOnlyDirectory)) {
            return true;
        }
        const std::error_code reason = m_error.code;
        if (m_error.step.empty() ||
            (reason.category() == std::generic_category() && inPlaceFailsToo(reason.value()))) {
            return false; // the content's own failure, or one that writing in place meets too
        }
        m_error = FileError(); // a named temporary goes with the save, as after any failure
        if (old != nullptr) {
            return writeInPlace(*old, true);
        }
        Descriptor created(::openat(m_directory.get(), m_name.c_str(),
                                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
        return created.valid() ? writeInPlace(created, true) : fail(errno);
    }

    // A failed step other than writing the content sets m_error.step.
    bool viaTemporary(Descriptor* old, const struct stat* status, bool unnamed, bool named)
    {
        const std::string where =
            "cannot create a temporary file in " + quotedName(m_directoryName);
        const mode_t mode = old != nullptr ? 0600 : 0666; // a new file: a plain create's mode
        Descriptor temporary;
        if (unnamed) {
            temporary.reset(
                ::openat(m_directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        }
        unnamed = temporary.valid();
        if (!unnamed) {
            hold();
            const auto create = [&](const char* name) {
                temporary.reset(::openat(m_directory.get(), name,
                                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                         mode));
                return temporary.valid();
            };
            if (!named || !nameTemporary(create)) {
                return fail(errno, where);
            }
        }
        if (old != nullptr && !keepProtections(temporary.get(), old->get(), *status)) {
            return fail(EPERM,
                        "cannot keep the owner, mode and attributes of " + quotedName(m_name));
        }
        if (!writeAll(temporary.get(), m_data, m_size) || !flush(temporary.get())) {
            return fail(errno);
        }
        if (g_beforeReplace != nullptr) {
            g_beforeReplace();
        }
        hold();
        bool published = false;
        if (unnamed) {
            const std::string self = "/proc/self/fd/" + std::to_string(temporary.get());
            // a new name takes the finished file at once; a taken one needs a temporary name
            published = old == nullptr && ::linkat(AT_FDCWD, self.c_str(), m_directory.get(),
                                                   m_name.c_str(), AT_SYMLINK_FOLLOW) == 0;
            const auto link = [&](const char* name) {
                return ::linkat(AT_FDCWD, self.c_str(), m_directory.get(), name,
                                AT_SYMLINK_FOLLOW) == 0;
            };
            if (!published && !nameTemporary(link)) {
                // no /proc, say: the same through a named temporary
                return named ? viaTemporary(old, status, false, true) : fail(errno, where);
            }
        }
        if (!temporary.close()) {
            return fail(errno);
        }
        if (!published) {
            // the name may hold another save's file by now; anything else is not to be replaced
            struct stat now {};
            if (::fstatat(m_directory.get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(now.st_mode)) {
                return fail(SaveProblem::changedDuringSave);
            }
            if (::renameat(m_directory.get(), m_temporaryName.c_str(), m_directory.get(),
                           m_name.c_str()) != 0) {
                return fail(errno, "cannot replace " + quotedName(m_name));
            }
            m_temporaryName.clear();
        }
        m_created = false;
        // the new name outlives a crash once the directory is flushed, where it can be opened
        Descriptor directory(::openat(m_directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return !directory.valid() || flush(directory.get()) || fail(errno);
    }

    // Gives the temporary a fresh name through make, which says whether the name was taken.
    template <typename Make>
    bool nameTemporary(const Make& make)
    {
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            const std::string name =
                "." + m_name.substr(0, MAX_BASE_IN_TEMPORARY) + "." + randomSuffix() + ".tmp";
            if (make(name.c_str())) {
                m_temporaryName = name;
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false; // errno is still EEXIST
    }

    void removeTemporary()
    {
        if (!m_temporaryName.empty() &&
            ::unlinkat(m_directory.get(), m_temporaryName.c_str(), 0) == 0) {
            m_temporaryName.clear();
        }
    }

    const std::string& m_path;
    const void* m_data;
    std::size_t m_size;
    FileError& m_error;

    Descriptor m_directory;      // the file's own directory, links resolved
    std::string m_directoryName; // that directory, as a message names it
    std::string m_name;          // the file's name there
    std::string m_temporaryName; // empty while no temporary has a name
    bool m_created = false;      // whether this save created the file at m_name, until final
    struct stat m_createdFile {};
    std::optional<sigset_t> m_heldFrom; // the signal mask before the signals were held
};

} // namespace

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error)
{
    error = FileError();
    Save save(path, data, size, error);
    return save.run();
}

void setBeforeReplaceHook(void (*hook)())
{
    g_beforeReplace = hook;
}

} // namespace stavenwick
