#pragma once
// The command line. "--help" and "--version" print and end before any window or display
// is needed; the tool takes no other options (Qt's own, such as -platform, are taken by the
// application object).
#include <QString>
#include <QStringList>

struct CommandLineOutcome {
    bool start = true;  // false: print out and err, then end with exitCode
    int exitCode = 0;
    QString out;
    QString err;
};

// Before the application object exists: answers --help and --version; anything else
// starts the tool (it may be an option the application object takes).
CommandLineOutcome CommandLineBeforeApp(const QStringList &args);
// With the arguments the application object left: any option or argument is an error.
CommandLineOutcome CommandLineAfterApp(const QStringList &args);
