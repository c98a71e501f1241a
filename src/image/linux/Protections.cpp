#include "image/linux/Protections.h"

#include "image/linux/Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS, FS_IOC_SETFLAGS
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// Makes to's extended attributes exactly from's: each of from's is set on to, and any other to
// has (inherited from a directory's default ACL, say) is removed.
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

// The file flags (nodump, noatime, ...) of fd; true with none where its file system has none.
bool flagsOf(int fd, int& flags)
{
    flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 || errno == ENOTTY || errno == ENOTSUP ||
           errno == ENOSYS;
}

bool copyFlags(int from, int to)
{
    int wanted = 0;
    int now = 0;
    if (!flagsOf(from, wanted) || !flagsOf(to, now)) {
        return false;
    }
    return now == wanted ||
           (::ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0 && flagsOf(to, now) && now == wanted);
}

} // namespace

bool copyProtections(int from, int to)
{
    // the owner first (chown clears set-id bits), the ACL before the mode (the group bits of a
    // file with an ACL are its mask), each checked rather than trusted
    struct stat old {};
    struct stat now {};
    if (::fstat(from, &old) != 0) {
        return false;
    }
    static_cast<void>(::fchown(to, old.st_uid, old.st_gid));
    if (::fstat(to, &now) != 0 || now.st_uid != old.st_uid || now.st_gid != old.st_gid ||
        !copyAttributes(from, to) || !copyFlags(from, to)) {
        return false;
    }
    const mode_t mode = old.st_mode & 07777;
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

} // namespace stavenwick
