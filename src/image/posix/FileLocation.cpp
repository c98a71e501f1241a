#include "image/posix/FileLocation.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace stavenwick {

namespace {

constexpr int MAX_LINKS = 40;                                      // as the kernel's own limit
constexpr int DIRECTORY_HANDLE = O_PATH | O_DIRECTORY | O_CLOEXEC; // needs no read permission

} // namespace

bool FileLocation::locate(const std::string& path)
{
    std::string next = path;
    Descriptor linkDirectory;
    for (int links = 0;; ++links) {
        const std::size_t slash = next.rfind('/');
        const std::string directory = slash == std::string::npos ? "." : next.substr(0, slash + 1);
        const bool relative = next[0] != '/';
        m_directoryName =
            directory.size() > 1 ? directory.substr(0, directory.size() - 1) : directory;
        m_name = next.substr(slash == std::string::npos ? 0 : slash + 1);
        m_directory.reset(
            ::openat(relative && linkDirectory.valid() ? linkDirectory.get() : AT_FDCWD,
                     directory.c_str(), DIRECTORY_HANDLE));
        if (!m_directory.valid()) {
            return false;
        }
        if (m_name.empty()) {
            errno = EISDIR;
            return false;
        }
        struct stat link {};
        if (!status(link) || !S_ISLNK(link.st_mode)) {
            return true; // the file itself, or a new name
        }
        if (links == MAX_LINKS) {
            errno = ELOOP;
            return false;
        }
        std::vector<char> target(static_cast<std::size_t>(link.st_size) + 2);
        const ssize_t length =
            ::readlinkat(m_directory.get(), m_name.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            errno = length < 0 ? errno : ENOENT; // an empty or a growing link
            return false;
        }
        next.assign(target.data(), static_cast<std::size_t>(length));
        linkDirectory = std::move(m_directory);
    }
}

bool FileLocation::holds(const struct stat& file) const
{
    struct stat now {};
    return status(now) && now.st_dev == file.st_dev && now.st_ino == file.st_ino;
}

bool FileLocation::status(struct stat& now) const
{
    return ::fstatat(m_directory.get(), m_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace stavenwick
