// The file a save writes beside the one it replaces, until it takes that one's place.
#pragma once

#include "image/posix/Descriptor.h"
#include "image/posix/FileLocation.h"
#include "image/posix/SignalHold.h"

#include <optional>
#include <string>

#include <sys/types.h>

namespace stavenwick {

class Temporary {
public:
    enum class Kind {
        unnamed, // O_TMPFILE: no name until it is complete, nothing to leave behind
        named,   // where the file system or /proc offers no unnamed file
    };

    Temporary(const FileLocation& where, Kind kind) : m_where(where), m_kind(kind) {}
    // Removes the name it still has, then lets the signals held meanwhile land.
    ~Temporary();
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // Creates it in the location's directory with the given mode. False, errno set, where it
    // cannot be made.
    bool create(mode_t mode);
    int fd() const { return m_file.get(); }

    // Gives an unnamed temporary a name: the location's own where that is new (then it is in
    // place), a temporary one otherwise. False, errno set, where it cannot be linked (no /proc).
    bool link(bool newName);
    bool isInPlace() const { return m_inPlace; }
    // Closes it, reporting what close reports.
    bool close() { return m_file.close(); }
    // Renames it over whatever the location's name holds. False, errno set, where refused.
    bool moveIntoPlace();

private:
    // Gives it a fresh temporary name through make, which says whether the name was free.
    template <typename Make>
    bool takeName(const Make& make);

    const FileLocation& m_where;
    Kind m_kind;
    Descriptor m_file;
    std::optional<SignalHold> m_hold; // from before it has a name until it is destroyed
    std::string m_name;               // empty while it has no name of its own
    bool m_inPlace = false;
};

} // namespace stavenwick
