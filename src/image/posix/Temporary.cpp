#include "image/posix/Temporary.h"

#include "image/TemporaryName.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace stavenwick {

namespace {

std::string randomSuffix()
{
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        static thread_local std::uint64_t counter = 0;
        value = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                (++counter + static_cast<std::uint64_t>(::gettid())) * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

Temporary::~Temporary()
{
    if (!m_name.empty()) {
        ::unlinkat(m_where.directory(), m_name.c_str(), 0);
    }
}

bool Temporary::create(mode_t mode)
{
    if (m_kind == Kind::unnamed) {
        m_file.reset(::openat(m_where.directory(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        return m_file.valid();
    }
    m_hold.emplace(SignalHold::Signals::ending);
    return takeName([&](const char* name) {
        m_file.reset(::openat(m_where.directory(), name,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        return m_file.valid();
    });
}

bool Temporary::link(bool newName)
{
    if (m_kind == Kind::named) {
        return true;
    }
    m_hold.emplace(SignalHold::Signals::ending);
    const std::string self = "/proc/self/fd/" + std::to_string(m_file.get());
    const auto linkAs = [&](const char* name) {
        return ::linkat(AT_FDCWD, self.c_str(), m_where.directory(), name, AT_SYMLINK_FOLLOW) == 0;
    };
    // a new name takes the finished file at once; a taken one needs a temporary name
    m_inPlace = newName && linkAs(m_where.name().c_str());
    return m_inPlace || takeName(linkAs);
}

bool Temporary::moveIntoPlace()
{
    if (::renameat(m_where.directory(), m_name.c_str(), m_where.directory(),
                   m_where.name().c_str()) != 0) {
        return false;
    }
    m_name.clear();
    m_inPlace = true;
    return true;
}

template <typename Make>
bool Temporary::takeName(const Make& make)
{
    for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
        const std::string name = temporaryName(m_where.name(), randomSuffix());
        if (make(name.c_str())) {
            m_name = name;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false; // errno is still EEXIST
}

} // namespace stavenwick
