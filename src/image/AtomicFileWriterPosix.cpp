// The file writer on POSIX systems (Linux first: unnamed temporaries through O_TMPFILE).
#include "image/AtomicFileWriter.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// POSIX: open, fstat, write, fsync, linkat, renameat, unlinkat, sigaction, realpath
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/random.h> // getrandom
#endif

namespace stavenwick {

namespace {

constexpr int MAX_NAME_ATTEMPTS = 100;             // random names already taken before giving up
constexpr std::size_t MAX_BASE_IN_TEMPORARY = 200; // keeps the temporary's name within NAME_MAX
constexpr std::array<int, 4> CLEANUP_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void (*g_beforeReplace)() = nullptr;

// The temporary while it has a name, for the signal handler: its directory and name.
volatile std::sig_atomic_t g_pendingDirectory = -1;
char g_pendingName[256];

extern "C" void removeTemporaryAndDie(int signal)
{
    // async-signal-safe calls only
    const int directory = g_pendingDirectory;
    if (directory >= 0) {
        ::unlinkat(directory, g_pendingName, 0);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal); // delivered once the handler returns, as the signal would have been
}

sigset_t cleanupSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : CLEANUP_SIGNALS) {
        sigaddset(&set, signal);
    }
    return set;
}

// While it lives, the cleanup signals that would end the program remove the temporary first.
// Signals the program ignores or handles itself are left alone.
class CleanupOnSignals {
public:
    CleanupOnSignals()
    {
        struct sigaction cleanup {};
        cleanup.sa_handler = removeTemporaryAndDie;
        cleanup.sa_mask = cleanupSignals();
        for (std::size_t i = 0; i < CLEANUP_SIGNALS.size(); ++i) {
            struct sigaction current {};
            m_installed[i] = ::sigaction(CLEANUP_SIGNALS[i], nullptr, &current) == 0 &&
                             current.sa_handler == SIG_DFL &&
                             ::sigaction(CLEANUP_SIGNALS[i], &cleanup, &m_previous[i]) == 0;
        }
    }
    ~CleanupOnSignals()
    {
        for (std::size_t i = 0; i < CLEANUP_SIGNALS.size(); ++i) {
            if (m_installed[i]) {
                ::sigaction(CLEANUP_SIGNALS[i], &m_previous[i], nullptr);
            }
        }
    }
    CleanupOnSignals(const CleanupOnSignals&) = delete;
    CleanupOnSignals& operator=(const CleanupOnSignals&) = delete;

private:
    std::array<struct sigaction, CLEANUP_SIGNALS.size()> m_previous{};
    std::array<bool, CLEANUP_SIGNALS.size()> m_installed{};
};

// Holds the cleanup signals back while it lives, so that a name and its record change together.
class SignalsHeld {
public:
    SignalsHeld()
    {
        const sigset_t held = cleanupSignals();
        ::sigprocmask(SIG_BLOCK, &held, &m_previous);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t m_previous{};
};

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

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
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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
#ifdef __linux__
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
#endif
    {
        value = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                reinterpret_cast<std::uintptr_t>(&value) ^ ++counter * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// One save: the file the path names, and the temporary that replaces it.
class Save {
public:
    Save(const std::string& path, const void* data, std::size_t size, FileError& error)
        : m_path(path), m_data(data), m_size(size), m_error(error)
    {
    }
    ~Save() { discardTemporary(); }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    bool run()
    {
        if (m_path.empty()) {
            return fail(ENOENT);
        }
        // no O_CREAT: the kernel alone says what the path names; no O_TRUNC: nothing changes yet.
        // O_NONBLOCK keeps a FIFO without a reader from holding the open.
        Descriptor target(::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!target.valid()) {
            const int reason = errno;
            if (reason == ENOENT) {
                return create();
            }
            if (reason == ENXIO) {
                return writeToFifo(); // or a socket, which stays an error
            }
            return fail(reason);
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
            return writeInPlace(target);
        }
        return replace(status);
    }

private:
    bool fail(int reason, std::string step = std::string())
    {
        m_error.code = std::error_code(reason, std::generic_category());
        m_error.step = std::move(step);
        return false;
    }

    bool writeInPlace(Descriptor& target)
    {
        if (!writeAll(target.get(), m_data, m_size) || !target.close()) {
            return fail(errno);
        }
        return true;
    }

    bool writeToFifo()
    {
        struct stat status {};
        if (::stat(m_path.c_str(), &status) != 0) {
            return fail(errno);
        }
        if (!S_ISFIFO(status.st_mode)) {
            return fail(ENXIO); // a socket cannot be opened for writing
        }
        Descriptor fifo(
            ::open(m_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC)); // waits for a reader
        if (!fifo.valid()) {
            return fail(errno);
        }
        return writeInPlace(fifo);
    }

    // The path names nothing. A dangling link is followed as a plain create follows it: the
    // kernel creates its target (where it allows that), which is then replaced like any file.
    bool create()
    {
        struct stat link {};
        if (::lstat(m_path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            Descriptor created(
                ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
            struct stat status {};
            if (!created.valid() || ::fstat(created.get(), &status) != 0) {
                return fail(errno);
            }
            m_created = true;
            m_createdFile = status;
            return replace(status);
        }
        // a new name: the temporary is renamed to it, with a plain create's permissions
        const std::size_t slash = m_path.rfind('/');
        m_directoryName = slash == std::string::npos ? "." : m_path.substr(0, slash + 1);
        m_name = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
        m_directory.reset(::open(m_directoryName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_directory.valid()) {
            return fail(errno);
        }
        if (!createTemporary(0666)) {
            return fail(errno);
        }
        return completeTemporary() && rename(nullptr);
    }

    // Replaces the regular file the kernel opened, whose status is given, through a temporary
    // in its own directory.
    bool replace(const struct stat& target)
    {
        // the file's own directory and name, links resolved; checked against target below
        char* resolved = ::realpath(m_path.c_str(), nullptr);
        if (resolved == nullptr) {
            return fail(errno);
        }
        const std::string realPath = resolved;
        std::free(resolved);
        const std::size_t slash = realPath.rfind('/');
        m_directoryName = slash == 0 ? "/" : realPath.substr(0, slash);
        m_name = realPath.substr(slash + 1);
        m_directory.reset(::open(m_directoryName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_directory.valid()) {
            return fail(errno);
        }
        if (!stillTarget(target)) {
            return fail(EAGAIN);
        }
        if (!createTemporary(0600)) {
            return fail(errno, "cannot create a temporary file in " + m_directoryName);
        }
        // the old file's owner where we may set it (chown clears set-id bits: mode after)
        if (::fchown(m_temporary.get(), target.st_uid, target.st_gid) != 0) {
            static_cast<void>(::fchown(m_temporary.get(), static_cast<uid_t>(-1), target.st_gid));
        }
        if (::fchmod(m_temporary.get(), target.st_mode & 07777) != 0) {
            return fail(errno);
        }
        return completeTemporary() && rename(&target);
    }

    // Whether m_name in m_directory is still the file the kernel opened.
    bool stillTarget(const struct stat& target) const
    {
        struct stat now {};
        return ::fstatat(m_directory.get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(now.st_mode) && sameFile(now, target);
    }

    // An unnamed temporary where the file system offers one, else a named one.
    bool createTemporary(mode_t mode)
    {
#ifdef O_TMPFILE
        m_temporary.reset(::openat(m_directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (m_temporary.valid()) {
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false; // the directory refuses any new file
        }
#endif
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            const std::string name = temporaryName();
            const SignalsHeld held;
            const int fd = ::openat(m_directory.get(), name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) {
                m_temporary.reset(fd);
                recordName(name);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false; // errno is still EEXIST
    }

    std::string temporaryName() const
    {
        return "." + m_name.substr(0, MAX_BASE_IN_TEMPORARY) + "." + randomSuffix() + ".tmp";
    }

    void recordName(const std::string& name)
    {
        m_temporaryName = name;
        std::memcpy(g_pendingName, name.c_str(), name.size() + 1);
        g_pendingDirectory = m_directory.get();
    }

    // Writes the content, flushes it to disk and gives an unnamed temporary its name.
    bool completeTemporary()
    {
        if (!writeAll(m_temporary.get(), m_data, m_size) || !flush(m_temporary.get())) {
            return fail(errno);
        }
        if (m_temporaryName.empty() && !nameTemporary()) {
            return fail(errno);
        }
        if (!m_temporary.close()) {
            return fail(errno);
        }
        return true;
    }

    bool nameTemporary()
    {
        const std::string self = "/proc/self/fd/" + std::to_string(m_temporary.get());
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            const std::string name = temporaryName();
            const SignalsHeld held;
            if (::linkat(AT_FDCWD, self.c_str(), m_directory.get(), name.c_str(),
                         AT_SYMLINK_FOLLOW) == 0) {
                recordName(name);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false;
    }

    // Renames the temporary over the file, when target is given only while the name still
    // holds it, and flushes the directory so that the rename outlives a crash.
    bool rename(const struct stat* target)
    {
        if (g_beforeReplace != nullptr) {
            g_beforeReplace();
        }
        if (target != nullptr && !stillTarget(*target)) {
            return fail(EAGAIN);
        }
        {
            const SignalsHeld held;
            if (::renameat(m_directory.get(), m_temporaryName.c_str(), m_directory.get(),
                           m_name.c_str()) != 0) {
                return fail(errno);
            }
            forgetName();
        }
        m_created = false;
        if (!flush(m_directory.get())) {
            return fail(errno);
        }
        return true;
    }

    void forgetName()
    {
        g_pendingDirectory = -1;
        m_temporaryName.clear();
    }

    // After a failure: removes the temporary, and the file that this save created.
    void discardTemporary()
    {
        m_temporary.reset();
        if (!m_temporaryName.empty()) {
            const SignalsHeld held;
            ::unlinkat(m_directory.get(), m_temporaryName.c_str(), 0);
            forgetName();
        }
        if (m_created && m_directory.valid() && stillTarget(m_createdFile)) {
            ::unlinkat(m_directory.get(), m_name.c_str(), 0);
        }
    }

    const std::string& m_path;
    const void* m_data;
    std::size_t m_size;
    FileError& m_error;

    std::string m_directoryName; // the directory of the file replaced, links resolved
    std::string m_name;          // its name there
    Descriptor m_directory;
    Descriptor m_temporary;
    std::string m_temporaryName; // empty while the temporary has none
    bool m_created = false;      // whether this save created the file it replaces, until then
    struct stat m_createdFile {};
};

} // namespace

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error)
{
    error = FileError();
    const CleanupOnSignals cleanup;
    Save save(path, data, size, error);
    return save.run();
}

void setBeforeReplaceHook(void (*hook)())
{
    g_beforeReplace = hook;
}

} // namespace stavenwick
