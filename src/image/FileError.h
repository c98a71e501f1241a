// Why a file was not written: the system's reason and, when the trouble was not the file
// itself, the step that failed.
#pragma once

#include <lumivar/LumivarExport.h>

#include <string>
#include <system_error>
#include <type_traits>

namespace stavenwick {

// Reasons of the writer's own, beside the system's.
enum class SaveProblem {
    changedDuringSave = 1, // the name came to hold something that must not be replaced
    inUse,                 // another program holds the file and shares no writing
};

LUMIVAR_EXPORT const std::error_category& saveCategory();

inline std::error_code make_error_code(SaveProblem problem)
{
    return {static_cast<int>(problem), saveCategory()};
}

// A name fit for a one-line message: as it is, or in $'...' with its control characters (C0,
// DEL and C1, U+009B CSI among them) and any byte that is not UTF-8 escaped, so that a name
// cannot break the line or drive the terminal.
LUMIVAR_EXPORT std::string quotedName(const std::string& name);

struct FileError {
    std::error_code code;
    std::string step; // e.g. "cannot create a temporary file in /srv/pictures"; empty for the file
    bool saved = false; // the content is in place all the same, but may not outlive a crash

    // "<step>: <reason>", or the reason alone.
    std::string message() const
    {
        return step.empty() ? code.message() : step + ": " + code.message();
    }
};

} // namespace stavenwick

template <>
struct std::is_error_code_enum<stavenwick::SaveProblem> : std::true_type {
};
