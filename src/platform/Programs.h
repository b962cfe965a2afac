#pragma once
// Running other programs: a command a service runs for an event (a notification's program).
// Each is started without a shell, with the process's environment and the variables given,
// its input empty and the last bytes of its output kept; it is told to end by killing its
// whole process group, so that the children of a script go with it. Its end is told from
// the event loop. Production runs QProcess; tests install a double that records each start
// and ends it when the test says.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

struct ProgramEnd {
    enum class How { Exited, Crashed, Killed, NotStarted };
    How how = How::Exited;
    int exitCode = 0;   // Exited: its exit status
    QString error;      // Crashed, NotStarted: why, in English
    QByteArray output;  // the last bytes it wrote on standard output and error
    bool ok() const { return how == How::Exited && exitCode == 0; }
};

class ProgramService {
public:
    // The bytes of a program's output kept (the last ones).
    static constexpr int kOutputTail = 512;

    virtual ~ProgramService() = default;
    // Starts program with args; env holds NAME=VALUE lines added to the process's
    // environment. done is called once, from the event loop, when the program has ended or
    // could not start. Returns the run's id (> 0) for kill().
    virtual int start(const QString &program, const QStringList &args, const QStringList &env,
                      std::function<void(const ProgramEnd &)> done) = 0;
    // Ends the run at once (SIGKILL to its process group); its done follows with Killed.
    virtual void kill(int id) = 0;
    // Runs started and not yet ended.
    virtual int running() const = 0;
};

ProgramService &programService();
void installPrograms(ProgramService *p); // not owned; nullptr restores the real one
