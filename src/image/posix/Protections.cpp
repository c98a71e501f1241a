#include "image/posix/Protections.h"

#include "image/posix/Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace stavenwick {

namespace {

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

// Gives to what it has of from's extended attributes, and nothing else.
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

} // namespace

bool copyProtections(int from, const struct stat& fromStatus, int to)
{
    // the owner first (chown clears set-id bits), the ACL before the mode (the group bits of a
    // file with an ACL are its mask), each checked rather than trusted
    struct stat now {};
    static_cast<void>(::fchown(to, fromStatus.st_uid, fromStatus.st_gid));
    if (::fstat(to, &now) != 0 || now.st_uid != fromStatus.st_uid ||
        now.st_gid != fromStatus.st_gid || !copyAttributes(from, to)) {
        return false;
    }
    const mode_t mode = fromStatus.st_mode & 07777;
    return ::fchmod(to, mode) == 0 || (::fstat(to, &now) == 0 && (now.st_mode & 07777) == mode);
}

bool isAppendOnly(int directory)
{
    struct statx status {};
    const unsigned int flags = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    if (::statx(directory, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, 0, &status) == 0 &&
        (status.stx_attributes_mask & STATX_ATTR_APPEND) != 0) {
        return (status.stx_attributes & status.stx_attributes_mask & flags) != 0;
    }
    // a file system that does not report them through statx: ask it through a readable handle
    Descriptor listing(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int inode = 0;
    return listing.valid() && ::ioctl(listing.get(), FS_IOC_GETFLAGS, &inode) == 0 &&
           (inode & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

bool plainCreateMayOpen(const struct stat& directory, const struct stat& file, uid_t opener,
                        int protection)
{
    if (protection == 0 || (!S_ISREG(file.st_mode) && !S_ISFIFO(file.st_mode)) ||
        (directory.st_mode & S_ISVTX) == 0 || file.st_uid == directory.st_uid ||
        file.st_uid == opener) {
        return true;
    }
    const bool othersWrite = (directory.st_mode & S_IWOTH) != 0;
    const bool groupWrites = (directory.st_mode & S_IWGRP) != 0;
    return !othersWrite && !(groupWrites && protection >= 2);
}

int plantedFileProtection(mode_t mode)
{
    std::ifstream setting(S_ISFIFO(mode) ? "/proc/sys/fs/protected_fifos"
                                         : "/proc/sys/fs/protected_regular");
    int level = 2;
    return setting >> level ? level : 2;
}

} // namespace stavenwick
