#pragma once
// What every suite needs: the virtual clock, scripted dialogs, a recorded process end,
// a serial port double (the simulated controller or a recording port), a fresh data
// folder, and starting and stopping the application's windows between test cases.
#include "platform/Dialogs.h"
#include "platform/Process.h"
#include "platform/SerialPort.h"
#include "platform/SimulatedPort.h"
#include "platform/VirtualClock.h"

#include <QByteArray>
#include <QString>

class AppFixture {
public:
    explicit AppFixture(bool simulatedController = true);
    ~AppFixture();
    AppFixture(const AppFixture &) = delete;
    AppFixture &operator=(const AppFixture &) = delete;

    VirtualClock clock;
    ScriptedDialogs dlg;
    RecordingProcess proc;
    SimulatedPort sim;
    RecordingPort rec;

    // Empties the per-user data folder (and creates it).
    static void wipeDataFolder();
    static QString dataFile(const QString &name);
    static QByteArray readFile(const QString &path);
    static void writeFile(const QString &path, const QByteArray &bytes);
    // Writes the files a normal start finds: "qvo.ini" (port, no last file), "def.tmp"
    // (all zero, marker FF) and "frmst.tmp" (all-zero records).
    static void seedDataFolder(int port = 1);

    // Runs the start-up (Main) and stops everything again.
    void startApp();
    void stopApp();
    // Answers the start-up's messages of an empty data folder (three OK boxes).
    void expectFirstStartBoxes();
    // The boxes the script did not expect, for QVERIFY2.
    QByteArray unexpectedText() const;
    // Resets every global of the application to its value at process start.
    static void resetGlobals();
};

// A box's caption and text, for compact asserts.
QString boxText(const ScriptedDialogs::Box &b);
