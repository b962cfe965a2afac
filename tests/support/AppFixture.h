#pragma once
// What every suite needs: the virtual clock, scripted dialogs, a recorded process end,
// a serial port double (the simulated controller or a recording port), a fresh data
// folder, and starting and stopping the application's windows between test cases.
#include "doubles/RecordingPort.h"
#include "doubles/RecordingProcess.h"
#include "doubles/ScriptedDialogs.h"
#include "doubles/SimulatedPort.h"
#include "doubles/VirtualClock.h"

#include <QByteArray>
#include <QDateTime>
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

    // Empties the per-user data folder (and creates it); only one in the program's own home.
    static void wipeDataFolder();
    // Removes the per-user data folder, as before a first start; only one in the program's
    // own home.
    static void removeDataFolder();
    static QString dataFile(const QString &name);
    // The file's bytes; empty when it cannot be read.
    static QByteArray readFile(const QString &path);
    // Replaces the file's contents; a file that cannot be written fails the test.
    static void writeFile(const QString &path, const QByteArray &bytes);
    // Writes the files a normal start finds: "qvo.ini" (port, lastFile), "def.tmp"
    // (all zero, marker FF) and "frmst.tmp" (all-zero records).
    static void seedDataFolder(int port = 1, const QString &lastFile = QString());

    // Runs the start-up (Main) and stops everything again.
    void startApp();
    void stopApp();
    // A normal start: the data folder seeded with port, then the start-up.
    void startSeeded(int port = 1);
    // Closes the application's windows and stops its timers; no port is touched.
    static void closeWindows();
    // Answers the start-up's messages of a data folder whose files went missing (OK, OK and
    // Cancel).
    void expectFirstStartBoxes();
    // The boxes the script did not expect, for QVERIFY2.
    QByteArray unexpectedText() const;
    // Virtual milliseconds since startUs.
    qint64 msSince(qint64 startUs) const { return (clock.nowUs() - startUs) / 1000; }
    // Resets every global of the application (each one a header of src/ declares, and the
    // state behind the link's, the poll watch's and the monitor store's reset routines) to
    // its value at process start; only the monitor's ring and the colour table hold what the
    // start-up's first steps give them (g_subMonitorIni, the default colours). A window's own
    // state goes with the window (closeWindows); what an exchange sets before it reads it
    // (the transfer's cancel flag and bar) is left.
    static void resetGlobals();
};

// A reading of the controller's reply texts ("N"'s four digits, "Y"'s two) taken now, as
// the program's session makes it with the input type loaded.
struct Reading;
Reading ReadingOf(const QString &valueHex, const QString &outputsHex);
// The monitor store fed as the program's session feeds it: the "N" reply's reading, then
// the completed one (the announcement is heard when the event loop runs).
void StoreReading(const QString &valueHex, const QString &outputsHex);
// A log filer's data line of the reply texts, with the input type loaded.
QString DataLineOf(qint32 count, const QDateTime &scheduled, const QString &valueHex, const QString &outputsHex,
                   bool voltDisp, bool bitsDisp);

class QAction;
// The number of the image-list picture a toolbar button shows (1 to 14), or -1.
int shownIcon(const QAction *button);

// A box's caption and text, for compact asserts.
QString boxText(const ScriptedDialogs::Box &b);
// A box as one comparable line: caption, text, buttons and icon; box() is the line expected.
QString boxOf(const ScriptedDialogs::Box &b);
QString box(const QString &caption, const QString &text, int buttons, int icon);
