// The file writer on Linux. The name is opened as a plain write opens it, and the kernel's
// answers decide: what it refuses is refused, a FIFO or a device is written as a stream, and a
// regular file is replaced by a complete, flushed temporary beside it where its directory and
// protections can be had, or else written in place once the room for it is reserved or seen free.
#include "image/AtomicFileWriter.h"

#include "image/TemporaryName.h"
#include "image/linux/Descriptor.h"
#include "image/linux/Protections.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace stavenwick {

namespace {

const std::initializer_list<int> ENDING = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

using Content = std::initializer_list<Bytes>;

// Signals the calling thread holds back while a save must not be cut short: those that end a
// program (SIGINT, SIGTERM, SIGHUP, SIGQUIT) while a regular file is written, which land when the
// hold ends; SIGPIPE for the whole save, so that its own write cannot kill the caller.
class SignalHold {
public:
    explicit SignalHold(std::initializer_list<int> signals)
    {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : signals) {
            sigaddset(&held, signal);
        }
        pthread_sigmask(SIG_BLOCK, &held, &m_before);
    }
    ~SignalHold()
    {
        const int saved = errno;
        pthread_sigmask(SIG_SETMASK, &m_before, nullptr); // a held signal lands now
        errno = saved;
    }
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // Takes back the one SIGPIPE that a write which just failed with EPIPE raised: this
    // thread's own, which the kernel hands out before one sent to the whole process, so that
    // any other stays for the caller.
    static void consumeOwnBrokenPipe()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now{0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t m_before{};
};

// Where a step leads: the content in place, the old file kept and the reason reported, the file
// to be written in place, or the name to be opened again (another save swapped it meanwhile).
struct Outcome {
    enum class Next { done, failed, inPlace, again } next = Next::failed;
    std::error_code code;
    std::string step; // what failed, where it was not the file itself
    bool saved = false;

    static Outcome done() { return {Next::done, {}, {}}; }
    static Outcome inPlace() { return {Next::inPlace, {}, {}}; }
    static Outcome again() { return {Next::again, {}, {}}; }
    static Outcome failed(std::error_code code, std::string step = {})
    {
        return {Next::failed, code, std::move(step)};
    }
    static Outcome failed(int reason, std::string step = {})
    {
        return failed(std::error_code(reason, std::generic_category()), std::move(step));
    }
    // A step other than writing the content failed: on to writing in place, which does not
    // take that step, unless the device failed or memory ran out: then the old file stays.
    static Outcome inPlaceUnlessBroken(int reason, std::string step)
    {
        return reason == EIO || reason == ENOMEM ? failed(reason, std::move(step)) : inPlace();
    }
};

// Writes the content at the file's offset: 0, or why not.
int writeAll(int fd, Content content)
{
    for (const Bytes& piece : content) {
        const auto* bytes = static_cast<const unsigned char*>(piece.data);
        for (std::size_t left = piece.size; left > 0;) {
            const ssize_t written = ::write(fd, bytes, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return written == 0 ? EIO : errno; // no progress and no reason given
            }
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    return 0;
}

// 0, or why not; EINVAL: the file system has nothing to flush, or cannot flush this kind of file.
int flush(int fd)
{
    return ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

// Whether size bytes from the file's start will find room: 0, or why not. Reserved where the
// file system can reserve them; elsewhere (ext2, FUSE) the blocks they add, with a margin for
// the file system's own, must be free for anyone. Of the blocks the file holds, those that may
// lie past the new end are not counted: only the cut after the write frees them, and a hole
// before it takes new ones.
int room(int fd, std::size_t size)
{
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
        return errno;
    }
    struct stat file {};
    struct statvfs space {};
    if (::fstat(fd, &file) != 0 || ::fstatvfs(fd, &space) != 0) {
        return errno;
    }
    const std::uint64_t block = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
    const auto blocks = [&](std::uint64_t bytes) {
        return (bytes + block - 1) / block;
    };
    const std::uint64_t needed = blocks(size);
    const std::uint64_t end = blocks(static_cast<std::uint64_t>(file.st_size));
    const std::uint64_t pastTheEnd = end > needed ? end - needed : 0;
    const std::uint64_t all = static_cast<std::uint64_t>(file.st_blocks) * 512 / block;
    const std::uint64_t held = all > pastTheEnd ? all - pastTheEnd : 0;
    const std::uint64_t margin = needed / 128 + 4; // indirect blocks and the like
    return needed <= held || needed - held + margin <= space.f_bavail ? 0 : ENOSPC;
}

// Where the file open at fd lives: its directory (a handle needing no read permission), the
// directory as messages name it, and the file's name there.
struct Location {
    Descriptor directory;
    std::string directoryName;
    std::string name;

    bool holds(const struct stat& file) const
    {
        struct stat now {};
        return ::fstatat(directory.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               now.st_dev == file.st_dev && now.st_ino == file.st_ino;
    }
    // Finds the directory of path and its last part, as given: 0 where the file of status is
    // there, NOT_THERE where the name holds something else, or why the directory cannot be had.
    static constexpr int NOT_THERE = -1;
    int locate(const std::string& path, const struct stat& status)
    {
        const std::size_t slash = path.rfind('/');
        directoryName = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        directory.reset(::open(directoryName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) {
            return errno;
        }
        return holds(status) ? 0 : NOT_THERE;
    }
};

// The name path leads to through its links, each read as the kernel reads it; empty where that
// takes more links than the kernel follows. For the one place where /proc cannot name a file.
std::string throughLinks(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), &target[0], target.size());
        if (length < 0) {
            return errno == EINVAL ? path : std::string(); // EINVAL: not a link
        }
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        if (target[0] != '/' && slash != std::string::npos) { // relative to the link's directory
            target.insert(0, path, 0, slash + 1);
        }
        path = std::move(target);
    }
    return {};
}

// The name the kernel gives the file open at fd (links resolved); empty where /proc cannot say.
std::string kernelName(int fd)
{
    // snprintf, not std::to_string: that one's digit table is a unique symbol, which would pin
    // a consumer's shared library holding this archive in its process after dlclose
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    std::string name(PATH_MAX, '\0');
    const ssize_t length = ::readlink(self, &name[0], name.size());
    name.resize(length > 0 && static_cast<std::size_t>(length) < name.size() ? length : 0);
    return !name.empty() && name[0] == '/' ? name : std::string();
}

std::string randomSuffix()
{
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        static thread_local std::uint64_t counter = 0;
        value = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                (++counter + static_cast<std::uint64_t>(::gettid())) * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The file a save writes beside the one it replaces, under a hidden name of its own from the
// moment it exists. It is removed on every way out of the save: the signals that end a program
// are held meanwhile, so only SIGKILL or a crash can leave it behind. A named file works on every
// file system; an unnamed one (O_TMPFILE) would not, and would need this kind as well.
class Temporary {
public:
    explicit Temporary(const Location& where) : m_where(where) {}
    ~Temporary()
    {
        if (!m_name.empty()) {
            ::unlinkat(m_where.directory.get(), m_name.c_str(), 0);
        }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // False, errno set, where it cannot be made.
    bool create()
    {
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            std::string name = temporaryName(m_where.name, randomSuffix());
            file.reset(::openat(m_where.directory.get(), name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file.valid()) {
                m_name = std::move(name);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        return false; // errno is still EEXIST
    }
    // Renames it over whatever the name holds. False, errno set, where refused.
    bool moveIntoPlace()
    {
        const int directory = m_where.directory.get();
        if (::renameat(directory, m_name.c_str(), directory, m_where.name.c_str()) != 0) {
            return false;
        }
        m_name.clear();
        return true;
    }

    Descriptor file;

private:
    const Location& m_where;
    std::string m_name; // empty once it took the place
};

class Save {
public:
    Save(const std::string& path, Content content) : m_path(path), m_content(content)
    {
        for (const Bytes& piece : content) {
            m_size += piece.size;
        }
    }
    // A file this save created goes again if the save failed, while a name the save knows for
    // it still holds it; then the signals held for it land.
    ~Save()
    {
        if (m_created) {
            removeCreated();
        }
    }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    Outcome run()
    {
        if (m_path.empty() || m_path.find('\0') != std::string::npos) {
            // a NUL: the system would see a shorter name than the caller gave
            return Outcome::failed(m_path.empty() ? ENOENT : EINVAL);
        }
        for (int attempt = 0; attempt < MAX_OPEN_ATTEMPTS; ++attempt) {
            Outcome outcome = this->attempt();
            if (outcome.next != Outcome::Next::again) {
                m_created = m_created && outcome.next != Outcome::Next::done && !outcome.saved;
                return outcome;
            }
        }
        return Outcome::failed(SaveProblem::changedDuringSave);
    }

private:
    Outcome attempt()
    {
        bool created = false;
        Descriptor file(open(created));
        if (!file.valid() || ::fstat(file.get(), &m_file) != 0) {
            return Outcome::failed(errno);
        }
        if (created) { // decided once: a later attempt finds the file there
            m_created = true;
            m_createdFile = m_file;
        }
        if (!S_ISREG(m_file.st_mode)) {
            return stream(file);
        }
        if (!m_hold) {
            m_hold.emplace(ENDING);
        }
        // a link, or a name swapped meanwhile: where the kernel says the file lives; no
        // directory to be had (no descriptor left, say), or no /proc to say: in place
        int found = m_where.locate(m_path, m_file);
        if (found == Location::NOT_THERE) {
            const std::string real = kernelName(file.get());
            found = real.empty() ? ENOENT : m_where.locate(real, m_file);
            if (found == Location::NOT_THERE) {
                return Outcome::again(); // the file lost that name meanwhile
            }
        }
        const bool located = found == 0;
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            m_size > limit.rlim_cur) {
            return Outcome::failed(EFBIG); // before a byte is written: no SIGXFSZ
        }
        // a file of several names is written in place, as a plain write writes it: every name
        // then holds the new content
        const Outcome outcome =
            located && m_file.st_nlink == 1 ? throughTemporary(file) : Outcome::inPlace();
        return outcome.next == Outcome::Next::inPlace ? inPlace(file) : outcome;
    }

    // Opens the name as `cat picture > name` opens it, and says whether that created the file:
    // where the name is not a link, an exclusive create, which the kernel answers, then the
    // plain open where the name was there; through a dangling link, which an exclusive create
    // does not follow, whether the link led nowhere just before. A file created is created under
    // the hold, so that it goes again with a failed save whatever signal comes.
    int open(bool& created)
    {
        const int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC;
        const bool held = m_hold.has_value();
        if (!held) {
            m_hold.emplace(ENDING);
        }
        const int exclusive = ::open(m_path.c_str(), flags | O_EXCL, 0666);
        created = exclusive >= 0;
        if (created || errno != EEXIST) {
            return exclusive;
        }
        struct stat name {};
        struct stat target {};
        created = ::lstat(m_path.c_str(), &name) == 0 && S_ISLNK(name.st_mode) &&
                  ::stat(m_path.c_str(), &target) != 0 && errno == ENOENT;
        if (!created && !held) {
            m_hold.reset(); // what is there may be a FIFO, whose reader may be long in coming
        }
        const int plain = ::open(m_path.c_str(), flags, 0666);
        created = created && plain >= 0;
        return plain;
    }

    // Removes the file this save created, where the save found it, or where the name's links
    // lead when /proc could not say; never another file that took a name meanwhile.
    void removeCreated()
    {
        if (m_where.directory.valid() && m_where.holds(m_createdFile)) {
            ::unlinkat(m_where.directory.get(), m_where.name.c_str(), 0);
            return;
        }
        Location target;
        const std::string path = throughLinks(m_path);
        if (!path.empty() && target.locate(path, m_createdFile) == 0) {
            ::unlinkat(target.directory.get(), target.name.c_str(), 0);
        }
    }

    // A FIFO or a device: written as a shell's redirection writes it, with nothing to keep.
    Outcome stream(Descriptor& file)
    {
        // a SIGPIPE already pending is the caller's, and the write's own merges with it
        sigset_t pending;
        const bool callersPipe = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        int reason = writeAll(file.get(), m_content);
        if (reason == EPIPE && !callersPipe) {
            SignalHold::consumeOwnBrokenPipe(); // the reader left: reported, not fatal
        }
        if (reason == 0 && !file.close()) {
            reason = errno;
        }
        return reason != 0 ? Outcome::failed(reason) : Outcome::done();
    }

    // The content beside the file, then in its place, with its protections.
    Outcome throughTemporary(const Descriptor& file)
    {
        if (isAppendOnly(m_where.directory.get())) {
            return Outcome::inPlace(); // nothing there can be renamed over
        }
        Temporary temporary(m_where);
        if (!temporary.create()) {
            return Outcome::inPlaceUnlessBroken(errno, "cannot create a temporary file in " +
                                                           quotedName(m_where.directoryName));
        }
        if (!copyProtections(file.get(), temporary.file.get())) {
            return Outcome::inPlace();
        }
        int reason = writeAll(temporary.file.get(), m_content);
        reason = reason != 0 ? reason : flush(temporary.file.get());
        if (reason == ENOSPC || reason == EDQUOT) {
            return Outcome::inPlace(); // no room for a second copy
        }
        if (reason != 0 || !temporary.file.close()) {
            return Outcome::failed(reason != 0 ? reason : errno);
        }
        // the name may hold another save's file by now; anything else is not replaced
        struct stat now {};
        if (::fstatat(m_where.directory.get(), m_where.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) ==
                0 &&
            !S_ISREG(now.st_mode)) {
            return Outcome::failed(SaveProblem::changedDuringSave);
        }
        if (!temporary.moveIntoPlace()) {
            return Outcome::inPlaceUnlessBroken(errno,
                                                "cannot replace " + quotedName(m_where.name));
        }
        return flushDirectory(); // a file the open created is gone with its name
    }

    // The new name outlives a crash once its directory is flushed, where that can be opened.
    Outcome flushDirectory()
    {
        const Descriptor directory(
            ::openat(m_where.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const int reason = directory.valid() ? flush(directory.get()) : 0;
        if (reason == 0) {
            return Outcome::done();
        }
        Outcome outcome = Outcome::failed(reason, "cannot flush its directory " +
                                                      quotedName(m_where.directoryName));
        outcome.saved = true;
        return outcome;
    }

    // Rewrites the regular file as a plain write would, but keeps the old content where the
    // room cannot be had: only then written from the start, cut to size and flushed.
    Outcome inPlace(Descriptor& file)
    {
        int reason = room(file.get(), m_size);
        reason = reason != 0 ? reason : writeAll(file.get(), m_content); // from the open's start
        if (reason == 0 && ::ftruncate(file.get(), static_cast<off_t>(m_size)) != 0) {
            reason = errno;
        }
        reason = reason != 0 ? reason : flush(file.get());
        if (reason == 0 && !file.close()) {
            reason = errno;
        }
        return reason != 0 ? Outcome::failed(reason) : Outcome::done();
    }

    const std::string& m_path;
    Content m_content;
    std::size_t m_size = 0;
    std::optional<SignalHold> m_hold; // while a regular file is written, or created
    bool m_created = false;           // whether this save's open created the file
    struct stat m_createdFile {};     // the file it created
    struct stat m_file {};            // the file opened
    Location m_where;                 // where it lives, once known
};

} // namespace

bool writeFileAtomically(const std::string& path, Content content, FileError& error)
{
    // the SIGPIPE of a FIFO whose reader left is the save's to report, not the caller's to die of
    const SignalHold pipe({SIGPIPE});
    Outcome outcome;
    {
        Save save(path, content);
        outcome = save.run();
    }
    error = FileError{outcome.code, std::move(outcome.step), outcome.saved};
    return outcome.next == Outcome::Next::done;
}

} // namespace stavenwick
