// The file writer on Linux: the decisions of one save. What it stands on is in posix/: the
// descriptor, where a path leads, the protections, the temporary and the signal holds.
#include "image/AtomicFileWriter.h"

#include "image/TemporaryName.h"
#include "image/posix/Descriptor.h"
#include "image/posix/FileLocation.h"
#include "image/posix/Protections.h"
#include "image/posix/SignalHold.h"
#include "image/posix/Temporary.h"

#include <cerrno>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stavenwick {

namespace {

void (*g_beforeChange)() = nullptr;

// How a save through a temporary ended, and so what is left to do.
enum class Outcome {
    done,        // the content is at the name
    failed,      // the old file is kept and the failure reported
    noRoom,      // no space or quota for a second copy: in place, where the room can be reserved
    refused,     // the system refused a step that a plain write does not take: in place
    unsupported, // this kind of temporary cannot be had here: the next kind, or in place
};

enum class Room { reserveWherePossible, mustReserve };

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

bool fitsSizeLimit(std::size_t size)
{
    rlimit limit{};
    return ::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           size <= limit.rlim_cur;
}

// Reserves the blocks for size bytes from the start of the file without changing its size or
// content: 0, or why not.
int reserve(int fd, std::size_t size)
{
    return size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0
               ? 0
               : errno;
}

bool reservingUnsupported(int reason)
{
    return reason == EOPNOTSUPP || reason == ENOSYS || reason == EINVAL;
}

class Save {
public:
    Save(const std::string& path, const void* data, std::size_t size, FileError& error)
        : m_path(path), m_data(data), m_size(size), m_error(error)
    {
    }
    // After a failure, the file this save created goes again, while its name still holds it;
    // then the signals held for it land.
    ~Save()
    {
        if (m_created && m_location.holds(m_createdFile)) {
            ::unlinkat(m_location.directory(), m_location.name().c_str(), 0);
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
            if (const std::optional<bool> saved = this->attempt()) {
                return *saved;
            }
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
    // A failed step other than writing the content: a device that fails or no memory keep the
    // old file, anything else is a refusal that writing in place does not meet.
    Outcome stepFailed(int reason, std::string step)
    {
        fail(reason, std::move(step));
        return reason == EIO || reason == ENOMEM ? Outcome::failed : Outcome::refused;
    }

    // One try at what the path names; nothing when another save swapped the name meanwhile.
    std::optional<bool> attempt()
    {
        // no O_CREAT: the kernel alone says what the path names; no O_TRUNC: nothing changes
        // yet. O_NONBLOCK: a FIFO without a reader (ENXIO) and a file under a lease
        // (EWOULDBLOCK) answer at once; they are opened again to wait, as a plain write waits.
        const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
        Descriptor target(::open(m_path.c_str(), flags | O_NONBLOCK));
        if (!target.valid() && (errno == ENXIO || errno == EWOULDBLOCK)) {
            struct stat waiting {};
            if (!m_location.locate(m_path) || !m_location.status(waiting)) {
                return fail(errno);
            }
            if (!plainWriteMayOpen(waiting)) {
                return fail(EACCES);
            }
            target.reset(::open(m_path.c_str(), flags));
        }
        if (!target.valid()) {
            return errno == ENOENT ? create() : fail(errno);
        }
        struct stat status {};
        if (::fstat(target.get(), &status) != 0 || !m_location.locate(m_path)) {
            return fail(errno);
        }
        if (!m_location.holds(status)) {
            return std::nullopt;
        }
        if (!plainWriteMayOpen(status)) {
            return fail(EACCES);
        }
        return S_ISREG(status.st_mode) ? replace(&target, &status) : writeStream(target);
    }

    // What the kernel would say to a plain write's open, which has O_CREAT, of this file.
    bool plainWriteMayOpen(const struct stat& file) const
    {
        struct stat directory {};
        return ::fstat(m_location.directory(), &directory) == 0 &&
               plainCreateMayOpen(directory, file, ::geteuid(),
                                  plantedFileProtection(file.st_mode));
    }

    // A FIFO with a reader, or a device: written as a shell redirection writes it, with nothing
    // to keep; the signals that end a program may end a wait for a slow reader.
    bool writeStream(Descriptor& target)
    {
        const int flags = ::fcntl(target.get(), F_GETFL);
        if (flags < 0 || ::fcntl(target.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
            !writeAll(target.get(), m_data, m_size) || !target.close()) {
            return fail(errno);
        }
        return true;
    }

    // The path names nothing. A dangling link is followed as a plain create follows it: the
    // kernel creates its target (where it allows that), which then is replaced like any file.
    std::optional<bool> create()
    {
        struct stat link {};
        if (::lstat(m_path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            return m_location.locate(m_path) ? replace(nullptr, nullptr) : fail(errno);
        }
        m_createdHold.emplace(SignalHold::Signals::ending);
        Descriptor created(::open(m_path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
        if (!created.valid() || ::fstat(created.get(), &m_createdFile) != 0) {
            return fail(errno);
        }
        m_created = true;
        if (!m_location.locate(m_path) || !m_location.holds(m_createdFile)) {
            return inPlace(created, Room::reserveWherePossible); // ours, found by no other name
        }
        return replace(&created, &m_createdFile);
    }

    // Puts the content at the located name through a temporary, over old (the regular file
    // open there, of the given status) or as a new file; in place where that cannot be done.
    std::optional<bool> replace(Descriptor* old, const struct stat* status)
    {
        // in an append-only directory nothing can be renamed over, and no name removed again
        const bool appendOnly = isAppendOnly(m_location.directory());
        Outcome outcome = Outcome::unsupported;
        if (!appendOnly || old == nullptr) {
            outcome = throughTemporary(Temporary::Kind::unnamed, old, status);
        }
        if (outcome == Outcome::unsupported && !appendOnly) {
            outcome = throughTemporary(Temporary::Kind::named, old, status);
        }
        switch (outcome) {
        case Outcome::done:
            return true;
        case Outcome::failed:
            return false;
        case Outcome::noRoom:
            return old != nullptr && inPlace(*old, Room::mustReserve);
        case Outcome::refused:
        case Outcome::unsupported:
            break;
        }
        m_error = FileError();
        return old != nullptr ? inPlace(*old, Room::reserveWherePossible) : createInPlace();
    }

    Outcome throughTemporary(Temporary::Kind kind, Descriptor* old, const struct stat* status)
    {
        Temporary temporary(m_location, kind);
        if (!temporary.create(old != nullptr ? 0600 : 0666)) { // new: a plain create's mode
            return kind == Temporary::Kind::unnamed
                       ? Outcome::unsupported
                       : stepFailed(errno, "cannot create a temporary file in " +
                                               quotedName(m_location.directoryName()));
        }
        if (old != nullptr && !copyProtections(old->get(), *status, temporary.fd())) {
            return stepFailed(EPERM, "cannot keep the owner, mode and attributes of " +
                                         quotedName(m_location.name()));
        }
        if (!writeAll(temporary.fd(), m_data, m_size) || !flush(temporary.fd())) {
            const int reason = errno;
            fail(reason);
            return reason == ENOSPC || reason == EDQUOT ? Outcome::noRoom : Outcome::failed;
        }
        if (!temporary.link(old == nullptr)) {
            return Outcome::unsupported; // no /proc, say: a named temporary instead
        }
        if (g_beforeChange != nullptr) {
            g_beforeChange();
        }
        if (!temporary.close()) {
            fail(errno);
            return Outcome::failed;
        }
        if (!temporary.isInPlace()) {
            // the name may hold another save's file by now; anything else is not replaced
            struct stat now {};
            if (m_location.status(now) && !S_ISREG(now.st_mode)) {
                fail(SaveProblem::changedDuringSave);
                return Outcome::failed;
            }
            if (!temporary.moveIntoPlace()) {
                return stepFailed(errno, "cannot replace " + quotedName(m_location.name()));
            }
        }
        m_created = false;
        return flushDirectory();
    }

    // The new name outlives a crash once its directory is flushed, where that can be opened.
    Outcome flushDirectory()
    {
        Descriptor directory(
            ::openat(m_location.directory(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid() || flush(directory.get())) {
            return Outcome::done;
        }
        fail(errno, "cannot flush its directory " + quotedName(m_location.directoryName()));
        m_error.saved = true;
        return Outcome::failed;
    }

    // Rewrites the regular file open at file as a plain write would, but keeps the old content
    // wherever it can: the ending signals held throughout, the size limit checked and the room
    // reserved before the first byte changes; then written from the start, cut to size, flushed.
    bool inPlace(Descriptor& file, Room room)
    {
        const SignalHold hold(SignalHold::Signals::ending);
        if (!fitsSizeLimit(m_size)) {
            return fail(EFBIG);
        }
        const int reserved = reserve(file.get(), m_size);
        if (reserved != 0 && room == Room::mustReserve) {
            return reservingUnsupported(reserved) ? false : fail(reserved); // the earlier reason
        }
        if (reserved != 0 && !reservingUnsupported(reserved)) {
            return fail(reserved);
        }
        if (g_beforeChange != nullptr) {
            g_beforeChange();
        }
        if (::lseek(file.get(), 0, SEEK_SET) != 0 || !writeAll(file.get(), m_data, m_size) ||
            ::ftruncate(file.get(), static_cast<off_t>(m_size)) != 0 || !flush(file.get()) ||
            !file.close()) {
            return fail(errno);
        }
        m_created = false;
        m_error = FileError(); // whatever the way here met
        return true;
    }

    // A new name where no temporary can be had: created and written at once, and removed again
    // if the write fails.
    std::optional<bool> createInPlace()
    {
        if (!m_createdHold) {
            m_createdHold.emplace(SignalHold::Signals::ending);
        }
        Descriptor created(::openat(m_location.directory(), m_location.name().c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                    0666));
        if (!created.valid()) {
            return errno == EEXIST ? std::nullopt : std::optional<bool>(fail(errno));
        }
        m_created = ::fstat(created.get(), &m_createdFile) == 0;
        return inPlace(created, Room::reserveWherePossible);
    }

    const std::string& m_path;
    const void* m_data;
    std::size_t m_size;
    FileError& m_error;

    FileLocation m_location;                 // the file's directory and name, links resolved
    std::optional<SignalHold> m_createdHold; // while a file this save created may go again
    bool m_created = false;                  // whether it did create the file at the name
    struct stat m_createdFile {};
};

} // namespace

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error)
{
    error = FileError();
    // the SIGPIPE of a FIFO whose reader left is the save's to report, not the caller's to die of
    const SignalHold pipe(SignalHold::Signals::brokenPipe);
    Save save(path, data, size, error);
    return save.run();
}

void setBeforeChangeHook(void (*hook)())
{
    g_beforeChange = hook;
}

} // namespace stavenwick
