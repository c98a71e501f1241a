// What guards a file beyond its content: its owner, group, mode, ACL and extended attributes,
// its directory's append-only flag, and the kernel's rule on files planted in shared directories.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace stavenwick {

// Gives the file open at to the owner, group, extended attributes (the ACL among them) and mode
// of the file open at from, whose status is given, and no attribute from has not. False where
// any of them cannot be kept (or the attributes cannot be listed).
bool copyProtections(int from, const struct stat& fromStatus, int to);

// Whether the directory (any handle, O_PATH too) lets entries be added but neither removed nor
// renamed: append-only or immutable.
bool isAppendOnly(int directory);

// Whether a plain write by opener may open the existing file in that directory. It opens with
// O_CREAT, and then the kernel refuses a regular file or FIFO in a sticky directory that others
// may write to, where the file belongs to neither the directory's owner nor the opener:
// fs.protected_regular and fs.protected_fifos at level 1 for world-writable directories, 2 for
// group-writable ones too. protection is that setting for the file's type.
bool plainCreateMayOpen(const struct stat& directory, const struct stat& file, uid_t opener,
                        int protection);

// The system's setting of that protection for a file of the given mode: 0, 1 or 2; the
// strictest where it cannot be read.
int plantedFileProtection(mode_t mode);

} // namespace stavenwick
