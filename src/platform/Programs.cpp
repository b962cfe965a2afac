#include "platform/Programs.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <map>
#include <unistd.h>

namespace {
class QtPrograms : public ProgramService {
public:
    int start(const QString &program, const QStringList &args, const QStringList &env,
              std::function<void(const ProgramEnd &)> done) override
    {
        const int id = ++m_nextId;
        // The application owns the process, so one still running when the program ends is
        // killed and reaped with it.
        auto *p = new QProcess(QCoreApplication::instance());
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &line : env) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq > 0)
                e.insert(line.left(eq), line.mid(eq + 1));
        }
        p->setProcessEnvironment(e);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardInputFile(QProcess::nullDevice());
        // A group of its own: a kill reaches whatever the program started in turn.
        p->setChildProcessModifier([] { ::setpgid(0, 0); });
        Run &r = m_runs[id];
        r.process = p;
        r.done = std::move(done);
        QObject::connect(p, &QProcess::readyRead, p, [this, id] {
            auto it = m_runs.find(id);
            if (it == m_runs.end() || !it->second.process)
                return;
            QByteArray &tail = it->second.output;
            tail += it->second.process->readAll();
            if (tail.size() > kOutputTail)
                tail = tail.right(kOutputTail);
        });
        QObject::connect(p, &QProcess::errorOccurred, p, [this, id](QProcess::ProcessError err) {
            if (err != QProcess::FailedToStart)
                return;
            auto it = m_runs.find(id);
            if (it == m_runs.end())
                return;
            ProgramEnd end;
            end.how = ProgramEnd::How::NotStarted;
            end.error = it->second.process ? it->second.process->errorString() : QStringLiteral("not started");
            finish(id, end);
        });
        QObject::connect(p, &QProcess::finished, p, [this, id](int code, QProcess::ExitStatus status) {
            auto it = m_runs.find(id);
            if (it == m_runs.end())
                return;
            if (it->second.process)
                it->second.output += it->second.process->readAll();
            ProgramEnd end;
            end.exitCode = code;
            end.how = it->second.killed                   ? ProgramEnd::How::Killed
                      : status == QProcess::CrashExit ? ProgramEnd::How::Crashed
                                                      : ProgramEnd::How::Exited;
            if (end.how == ProgramEnd::How::Crashed)
                end.error = it->second.process ? it->second.process->errorString() : QString();
            finish(id, end);
        });
        p->start(program, args);
        return id;
    }

    void kill(int id) override
    {
        const auto it = m_runs.find(id);
        if (it == m_runs.end() || !it->second.process)
            return;
        it->second.killed = true;
        const qint64 pid = it->second.process->processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
        it->second.process->kill();
    }

    int running() const override { return int(m_runs.size()); }

private:
    struct Run {
        QPointer<QProcess> process;
        std::function<void(const ProgramEnd &)> done;
        QByteArray output;
        bool killed = false;
    };

    void finish(int id, ProgramEnd end)
    {
        const auto it = m_runs.find(id);
        if (it == m_runs.end())
            return;
        Run r = std::move(it->second);
        m_runs.erase(it);
        end.output = r.output.right(kOutputTail);
        if (r.process)
            r.process->deleteLater();
        if (r.done)
            r.done(end);
    }

    int m_nextId = 0;
    std::map<int, Run> m_runs;
};

ProgramService *g_programs = nullptr;
} // namespace

ProgramService &programService()
{
    static QtPrograms real;
    return g_programs ? *g_programs : real;
}

void installPrograms(ProgramService *p) { g_programs = p; }
