#include "platform/ProcessSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};

void onTermination(int sig)
{
    const char c = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &c, 1);
    if (sig != SIGHUP)
        std::signal(sig, SIG_DFL);
}
} // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, bool hangUp)
    : m_onSignal(std::move(onSignal)), m_hangUp(hangUp)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
        char c;
        while (::read(g_pipe[0], &c, 1) > 0)
            m_onSignal(int(c));
    });
    std::signal(SIGINT, onTermination);
    std::signal(SIGTERM, onTermination);
    if (m_hangUp) {
        // Kept across calls (sigaction without SA_RESETHAND), so each SIGHUP comes through.
        struct sigaction sa {};
        sa.sa_handler = onTermination;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGHUP, &sa, nullptr);
    }
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (m_hangUp)
        std::signal(SIGHUP, SIG_DFL);
    m_notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void EndBySignal(int sig)
{
    std::fflush(nullptr);
    std::signal(sig, SIG_DFL);
    ::raise(sig);
    ::_exit(128 + sig);
}
