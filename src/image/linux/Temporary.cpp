#include "image/linux/Temporary.h"

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
    if (!m_own.empty()) {
        ::unlinkat(m_directory, m_own.c_str(), 0);
    }
}

bool Temporary::create()
{
    for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
        std::string own = temporaryName(m_name, randomSuffix());
        m_file.reset(::openat(m_directory, own.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (m_file.valid()) {
            m_own = std::move(own);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false; // errno is still EEXIST
}

bool Temporary::moveIntoPlace()
{
    if (::renameat(m_directory, m_own.c_str(), m_directory, m_name.c_str()) != 0) {
        return false;
    }
    m_own.clear();
    return true;
}

} // namespace stavenwick
