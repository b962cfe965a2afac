#include "doubles/RecordingPrograms.h"

#include <QCoreApplication>

QString RecordingPrograms::Run::var(const QString &name) const
{
    for (const QString &line : env)
        if (line.startsWith(name + QLatin1Char('=')))
            return line.mid(name.size() + 1);
    return {};
}

int RecordingPrograms::start(const QString &program, const QStringList &args, const QStringList &env,
                             std::function<void(const ProgramEnd &)> done)
{
    Run r;
    r.id = int(runs.size()) + 1;
    r.program = program;
    r.args = args;
    r.env = env;
    r.done = std::move(done);
    runs << r;
    if (!failToStart.isEmpty()) {
        // Told from the event loop, as the real service tells it.
        const int id = r.id;
        const QString why = failToStart;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, id, why] {
                Run &run = runs[id - 1];
                if (!run.running)
                    return;
                run.running = false;
                ProgramEnd end;
                end.how = ProgramEnd::How::NotStarted;
                end.error = why;
                const auto done = run.done;
                if (done)
                    done(end);
            },
            Qt::QueuedConnection);
    }
    return r.id;
}

void RecordingPrograms::kill(int id)
{
    if (id < 1 || id > runs.size() || !runs[id - 1].running)
        return;
    Run &r = runs[id - 1];
    r.running = false;
    r.killed = true;
    ProgramEnd end;
    end.how = ProgramEnd::How::Killed;
    end.exitCode = 9;
    const auto done = r.done;
    if (done)
        done(end);
}

int RecordingPrograms::running() const
{
    return int(runningIds().size());
}

bool RecordingPrograms::exit(int id, int code, const QByteArray &output)
{
    if (id < 1 || id > runs.size() || !runs[id - 1].running)
        return false;
    Run &r = runs[id - 1];
    r.running = false;
    ProgramEnd end;
    end.exitCode = code;
    end.output = output;
    const auto done = r.done;
    if (done)
        done(end);
    return true;
}

QList<int> RecordingPrograms::runningIds() const
{
    QList<int> ids;
    for (const Run &r : runs)
        if (r.running)
            ids << r.id;
    return ids;
}
