#pragma once
// The double of the program service: records every start (program, arguments, the variables
// added) and ends a run only when the test says (exit) or the code kills it. Nothing runs.
#include "platform/Programs.h"

#include <QList>

class RecordingPrograms : public ProgramService {
public:
    struct Run {
        int id = 0;
        QString program;
        QStringList args;
        QStringList env; // NAME=VALUE
        bool running = true;
        bool killed = false;
        std::function<void(const ProgramEnd &)> done;
        // The value of an added variable; empty when it was not added.
        QString var(const QString &name) const;
    };

    int start(const QString &program, const QStringList &args, const QStringList &env,
              std::function<void(const ProgramEnd &)> done) override;
    void kill(int id) override;
    int running() const override;

    // Ends run id (an index of runs is run.id - 1) with the exit status; false when it does
    // not run.
    bool exit(int id, int code, const QByteArray &output = {});
    // Runs started that have not ended.
    QList<int> runningIds() const;

    QList<Run> runs;
    // The next starts fail (NotStarted) with this reason while it is set.
    QString failToStart;
};
