// Writes a file through a temporary beside it, so that the file is replaced whole or not at all.
#pragma once

#include <cstddef>
#include <string>

namespace stavenwick {

// Each operation returns false on failure, with errno telling why; after any failure the
// temporary is gone and the file named by the path holds what it held before.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(std::string path);
    // Removes a temporary that was not committed; leaves errno as it was.
    ~AtomicFileWriter();

    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary, exclusively, beside the file the path names. A symbolic link is
    // followed, so the file it points to is the one replaced and the link stays.
    bool open();
    // Appends size bytes to the temporary.
    bool write(const void* data, std::size_t size);
    // Flushes and closes the temporary, then renames it over the file.
    bool commit();

private:
    bool resolveTarget();
    bool createTemporary();
    // Closes and removes the temporary, keeping errno; always false.
    bool discard();

    std::string m_path;   // as the caller gave it
    std::string m_target; // the file to replace, symbolic links followed
    std::string m_temporary;
    int m_fd = -1;
};

} // namespace stavenwick
