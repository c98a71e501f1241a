// A check that stays on in every build: a failure reports the expression and aborts.
#pragma once

namespace stavenwick {

// Writes "lumivar: assertion failed: <expression>" with its place to standard error and aborts.
[[noreturn]] void assertionFailed(const char* expression, const char* file, int line);

} // namespace stavenwick

#define STAVENWICK_ASSERT(expression)                                                              \
    ((expression) ? static_cast<void>(0)                                                           \
                  : ::stavenwick::assertionFailed(#expression, __FILE__, __LINE__))
