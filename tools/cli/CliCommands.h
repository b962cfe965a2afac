#pragma once
// qelvo-cli's commands. Each takes the whole argument list (the program, the command, its
// arguments), prints what it found and returns the exit status.
#include <QString>
#include <QStringList>

// Exit statuses shared by the commands (diff uses 1 for "they differ" and 2 for any error).
enum CliExit : int { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

int CmdPorts(const QStringList &args);
int CmdRead(const QStringList &args);
int CmdWrite(const QStringList &args);
int CmdDiff(const QStringList &args);
int CmdMonitor(const QStringList &args);
int CmdSheet(const QStringList &args);
int CmdAudit(const QStringList &args);

// The tool's own help (without a command) and the list of command names.
QString CliHelpText();
QStringList CliCommandNames();
