// Where a path leads: the directory that holds the file and the file's name there.
#pragma once

#include "image/posix/Descriptor.h"

#include <string>

#include <sys/stat.h>

namespace stavenwick {

class FileLocation {
public:
    // Finds the directory and name of the file that path leads to, following symbolic links in
    // its last part as the kernel does (40 at most); the kernel resolves every directory on the
    // way, relative to the working directory or to the link's own. The directory is a handle
    // that needs no read permission. False, with errno set, where the kernel would not get there.
    bool locate(const std::string& path);

    int directory() const { return m_directory.get(); }
    const std::string& name() const { return m_name; }
    // The directory as a message names it: as the path gave it, "." where it gave none.
    const std::string& directoryName() const { return m_directoryName; }

    // Whether the name holds the file of the given status (a link there is not followed).
    bool holds(const struct stat& file) const;
    // The status of what the name holds, a link itself where it holds one.
    bool status(struct stat& now) const;

private:
    Descriptor m_directory;
    std::string m_directoryName;
    std::string m_name;
};

} // namespace stavenwick
