#pragma once
// The signals that end a program that runs a while: SIGINT or SIGTERM is taken from the event
// loop, so the program can stop what runs (and close its ports and files) before it ends.
// A service also takes SIGHUP (read the configuration again) the same way, as often as it comes.
#include <functional>
#include <memory>

class QSocketNotifier;

// While it lives, SIGINT and SIGTERM do not end the process: each calls onSignal (with the
// signal's number) from the event loop. A second signal of the same kind ends the process.
// With hangUp, SIGHUP calls onSignal too, every time. One lives at a time.
class TerminationSignals {
public:
    explicit TerminationSignals(std::function<void(int)> onSignal, bool hangUp = false);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;
    bool ok() const { return m_notifier != nullptr; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(int)> m_onSignal;
    bool m_hangUp = false;
};

// Ends the process by sig, as it would have ended had the signal not been caught (the
// shell sees 128 + sig).
[[noreturn]] void EndBySignal(int sig);
