#include "image/AtomicFileWriter.h"

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

// POSIX: open, write, fsync, close, rename, unlink, lstat, readlink
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stavenwick {

namespace {

constexpr int MAX_LINK_HOPS = 40;                  // as the kernel allows when resolving a path
constexpr int MAX_NAME_ATTEMPTS = 100;             // names already taken before giving up
constexpr std::size_t MAX_BASE_IN_TEMPORARY = 200; // keeps the temporary's name within NAME_MAX

// Everything up to and including the last '/', or "" for a bare name.
std::string directoryPart(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string namePart(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readLink(const std::string& path, std::string& target)
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), &buffer[0], buffer.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            target = std::move(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2); // may have been cut short
    }
}

} // namespace

AtomicFileWriter::AtomicFileWriter(std::string path) : m_path(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter()
{
    discard();
}

bool AtomicFileWriter::open()
{
    return resolveTarget() && createTemporary();
}

bool AtomicFileWriter::resolveTarget()
{
    if (m_path.empty()) {
        errno = ENOENT;
        return false;
    }
    std::string current = m_path;
    for (int hops = 0;; ++hops) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            m_target = std::move(current); // a new file; its directory is checked on create
            return true;
        }
        if (S_ISDIR(status.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if (!S_ISLNK(status.st_mode)) {
            m_target = std::move(current);
            return true;
        }
        if (hops == MAX_LINK_HOPS) {
            errno = ELOOP;
            return false;
        }
        std::string link;
        if (!readLink(current, link)) {
            return false;
        }
        // a relative link is relative to the directory that holds it
        if (link.empty() || link[0] != '/') {
            link.insert(0, directoryPart(current));
        }
        current = std::move(link);
    }
}

bool AtomicFileWriter::createTemporary()
{
    static std::atomic<unsigned long> sequence{0};
    const std::string stem = directoryPart(m_target) + "." +
                             namePart(m_target).substr(0, MAX_BASE_IN_TEMPORARY) + "." +
                             std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
        std::string name = stem + std::to_string(sequence++) + ".tmp";
        // O_EXCL never opens an existing file or follows a link; 0666 gets the umask applied,
        // so the finished file has the permissions a plain create gives.
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_temporary = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false; // errno is still EEXIST
}

bool AtomicFileWriter::write(const void* data, std::size_t size)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(m_fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return discard();
        }
        if (written == 0) {
            errno = EIO; // no progress and no reason given
            return discard();
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool AtomicFileWriter::commit()
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    // the data must be on disk before the rename can make it the file's only content;
    // EINVAL means the file system has nothing to flush
    if (::fsync(m_fd) != 0 && errno != EINVAL) {
        return discard();
    }
    const int fd = m_fd;
    m_fd = -1; // closed even when close reports an error
    if (::close(fd) != 0) {
        return discard();
    }
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        return discard();
    }
    m_temporary.clear();
    return true;
}

bool AtomicFileWriter::discard()
{
    const int savedErrno = errno;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
    errno = savedErrno;
    return false;
}

} // namespace stavenwick
