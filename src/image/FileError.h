// Why a file was not written: the system's reason and, when the trouble was not the file
// itself, the step that failed.
#pragma once

#include <string>
#include <system_error>

namespace stavenwick {

struct FileError {
    std::error_code code;
    std::string step; // e.g. "cannot create a temporary file in /srv/pictures"; empty for the file

    // "<step>: <reason>", or the reason alone.
    std::string message() const
    {
        return step.empty() ? code.message() : step + ": " + code.message();
    }
};

} // namespace stavenwick
