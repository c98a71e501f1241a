// Signals the calling thread holds back while a save must not be cut short.
#pragma once

#include <csignal>

namespace stavenwick {

class SignalHold {
public:
    enum class Signals {
        // SIGINT, SIGTERM, SIGHUP, SIGQUIT: held while a name of the save's exists or a file is
        // being rewritten, and delivered when the hold ends (they then end the program)
        ending,
        // SIGPIPE: one that the save's own writes raise is discarded; the write reports EPIPE
        brokenPipe,
    };

    explicit SignalHold(Signals which);
    ~SignalHold(); // keeps errno
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

private:
    Signals m_which;
    sigset_t m_before{};           // the thread's mask before the hold
    bool m_pipeWasPending = false; // a SIGPIPE that was not the save's
};

} // namespace stavenwick
