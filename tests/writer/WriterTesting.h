// What the writer's tests share: failures injected into the system calls the writer makes, the
// flushes it made, and helpers to save, look at files and run a save as another user.
#pragma once

#include "image/AtomicFileWriter.h"
#include "support/TempDir.h"

#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace stavenwick::testing {

// Flushes seen, by inode: the writer's fsync calls land here first.
extern std::vector<ino_t> g_flushedDirectories;
extern std::vector<ino_t> g_flushedFiles;

// Failures injected into the writer's calls, 0 for none: what the system refuses somewhere.
extern int g_procFails;           // readlink of /proc/self/fd/N: a system without /proc
extern int g_reserveFails;        // fallocate: a file system that cannot reserve (ext2, FUSE)
extern int g_temporaryFails;      // openat of a new hidden name: no inode left, say
extern int g_renameFails;         // renameat: a bind-mounted file (EBUSY), a full directory
extern int g_chmodFails;          // fchmod: a file system that refuses it (EPERM)
extern int g_listAttributesFails; // flistxattr
extern int g_directoryFlushFails; // fsync of a directory
extern int g_fileFlushFails;      // the next fsync of a file, once: EINVAL, EDQUOT
extern int
    g_statxLacksAttributes; // statx, where not 0: a file system that reports no attribute flags

// Called once, where set, right before a save changes a file: once its temporary is complete
// and flushed, or as the in-place route reserves the room (the flush and fallocate interposers
// call it).
extern void (*g_beforeChange)();

const std::vector<unsigned char> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
const std::vector<unsigned char> CONTENT(200000, 0x5C); // more than a pipe holds

constexpr uid_t OWNER = 65534; // nobody: the unprivileged user of the tests run as root
constexpr uid_t OTHER = 65533;

// Saves CONTENT to path; the error's value, 0 on success.
int save(const std::string& path, FileError* error = nullptr);

mode_t modeOf(const std::string& path);
ino_t inodeOf(const std::string& path);

// Runs body in a child process and returns how it ended: its exit status, or 1000 + the
// signal that ended it. As root the child first becomes user uid, so that permissions count.
int inChild(const std::function<int()>& body, uid_t uid = OWNER,
            const std::function<void()>& asRoot = {});

// Sets or clears a directory's append-only flag; false where the file system has none.
bool setAppendOnly(const std::string& path, bool on);

// A small tmpfs mounted on a fresh directory, where the space and the inodes can run out for
// real; mounted() is false where this process may not mount (not root).
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& options);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    std::string operator/(const std::string& name) const { return m_dir / name; }
    std::string path() const { return m_dir.path().string(); }

private:
    TempDir m_dir;
    bool m_mounted;
};

// Writes a system setting under /proc/sys for as long as it lives, then puts it back; set() is
// false where it cannot be written.
class SystemSetting {
public:
    SystemSetting(std::string path, const std::string& value);
    ~SystemSetting();
    SystemSetting(const SystemSetting&) = delete;
    SystemSetting& operator=(const SystemSetting&) = delete;

    bool set() const { return m_set; }

private:
    std::string m_path;
    std::string m_before;
    bool m_set = false;
};

} // namespace stavenwick::testing
