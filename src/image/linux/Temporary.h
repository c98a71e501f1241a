// The file a save writes beside the one it replaces, until it takes that one's place.
#pragma once

#include "image/linux/Descriptor.h"

#include <string>

namespace stavenwick {

// Named from its creation: the save holds the signals that end a program meanwhile, so that
// the name goes again with the save (only SIGKILL or a crash can leave it). One kind for every
// file system, where an unnamed one (O_TMPFILE) would need this one beside it where it has none.
class Temporary {
public:
    // Beside name, in the directory (a handle), which it is to replace.
    Temporary(int directory, std::string name) : m_directory(directory), m_name(std::move(name))
    {
    }
    ~Temporary(); // removes its name unless it took the place
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // False, errno set, where it cannot be made.
    bool create();
    int fd() const { return m_file.get(); }
    // Closes it, reporting what close reports.
    bool close() { return m_file.close(); }
    // Renames it over whatever the name holds. False, errno set, where refused.
    bool moveIntoPlace();

private:
    int m_directory;
    std::string m_name;
    Descriptor m_file;
    std::string m_own; // its name, empty once it took the place
};

} // namespace stavenwick
