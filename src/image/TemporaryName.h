// The temporary a save writes beside the file: its name, and how long the writers try for one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace stavenwick {

constexpr int MAX_NAME_ATTEMPTS = 100; // random names already taken before giving up
constexpr int MAX_OPEN_ATTEMPTS = 8;   // the name swapped by another save while being opened
constexpr std::size_t MAX_BASE_IN_TEMPORARY = 200; // keeps the name within NAME_MAX and MAX_PATH

// ".<name>.<suffix>.tmp": hidden, beside the file, and telling whose it was.
template <typename Char>
std::basic_string<Char> temporaryName(const std::basic_string<Char>& name,
                                      const std::basic_string<Char>& suffix)
{
    std::basic_string<Char> temporary(1, Char('.'));
    temporary += name.substr(0, MAX_BASE_IN_TEMPORARY);
    temporary += Char('.');
    temporary += suffix;
    for (const char c : {'.', 't', 'm', 'p'}) {
        temporary += Char(c);
    }
    return temporary;
}

} // namespace stavenwick
