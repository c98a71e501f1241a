#include "image/linux/SignalHold.h"

#include <cerrno>
#include <ctime>
#include <initializer_list>

#include <pthread.h>

namespace stavenwick {

namespace {

sigset_t setOf(SignalHold::Signals which)
{
    sigset_t set;
    sigemptyset(&set);
    if (which == SignalHold::Signals::brokenPipe) {
        sigaddset(&set, SIGPIPE);
        return set;
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&set, signal);
    }
    return set;
}

} // namespace

SignalHold::SignalHold(Signals which)
{
    const sigset_t held = setOf(which);
    pthread_sigmask(SIG_BLOCK, &held, &m_before);
}

SignalHold::~SignalHold()
{
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &m_before, nullptr); // a held signal lands now
    errno = saved;
}

void SignalHold::consumeOwnBrokenPipe()
{
    // the write's signal is this thread's own, which the kernel hands out before one sent to the
    // whole process
    const int saved = errno;
    const sigset_t pipe = setOf(Signals::brokenPipe);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
    errno = saved;
}

} // namespace stavenwick
