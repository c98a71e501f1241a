#include "image/posix/SignalHold.h"

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

bool pipePending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

SignalHold::SignalHold(Signals which) : m_which(which)
{
    const sigset_t held = setOf(which);
    pthread_sigmask(SIG_BLOCK, &held, &m_before);
    m_pipeWasPending = which == Signals::brokenPipe && pipePending();
}

SignalHold::~SignalHold()
{
    const int saved = errno;
    if (m_which == Signals::brokenPipe && !m_pipeWasPending && pipePending()) {
        const sigset_t pipe = setOf(Signals::brokenPipe);
        const timespec now{0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &m_before, nullptr); // a held signal lands now
    errno = saved;
}

} // namespace stavenwick
