// Signals the calling thread holds back while a save must not be cut short.
#pragma once

#include <csignal>

namespace stavenwick {

class SignalHold {
public:
    enum class Signals {
        // SIGINT, SIGTERM, SIGHUP, SIGQUIT: held while a regular file is written, and delivered
        // when the hold ends (they then end the program)
        ending,
        // SIGPIPE: held for the whole save, so that the save's own write cannot kill the caller
        brokenPipe,
    };

    explicit SignalHold(Signals which);
    ~SignalHold(); // the thread's mask as before, errno kept
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // Takes back the one SIGPIPE that a write which just failed with EPIPE raised, leaving any
    // other for the caller.
    static void consumeOwnBrokenPipe();

private:
    sigset_t m_before{};
};

} // namespace stavenwick
