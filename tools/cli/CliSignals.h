#pragma once
// The processes of a parallel command. A child dies with its parent, however the parent
// ends (even by SIGKILL), so no child holds a port or reads on after it; a child hands
// what it made to its parent, which alone writes files; and the parent's SIGINT or SIGTERM
// ends its children and waits for them before the parent itself ends by that signal.
#include <QByteArray>

#include <functional>
#include <memory>

class QProcess;
class QSocketNotifier;

// Makes child (not started yet) get SIGTERM when this process ends. A parent that ended
// between the fork and that request is seen there, and the child ends at once.
void DieWithParent(QProcess &child);

// The child's side: bytes to the parent on stdout; false when they did not all go out.
bool HandToParent(const QByteArray &bytes);

// While it lives, SIGINT and SIGTERM do not end the process: each calls onSignal (with the
// signal's number) from the event loop. A second signal of the same kind ends the process.
class TerminationSignals {
public:
    explicit TerminationSignals(std::function<void(int)> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;
    bool ok() const { return m_notifier != nullptr; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(int)> m_onSignal;
};

// Ends the process by sig, as it would have ended had the signal not been caught (the
// shell sees 128 + sig).
[[noreturn]] void EndBySignal(int sig);
