// qelvo-tour OUTDIR [TREND_MINUTES]: the tool as a user meets it, driven without hands. With
// a controller (normally qelvo-ctrlsim) on COM1 of the data folder, it connects, reads the
// settings, starts the monitor, opens every window, logs for a few seconds, shows the trend
// of the readings (after TREND_MINUTES more of them when given) and the log file, and saves
// a picture of each window in OUTDIR. The boxes are answered from a script and printed; a box nobody
// expected, a picture that shows nothing or a step that does not happen ends it with 1.
#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmGraph1.h"
#include "graph/frmTrend1.h"
#include "link/modComm1.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "logfiler/modLogFileSetting.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "doubles/PictureCheck.h"
#include "doubles/ScriptedDialogs.h"
#include "platform/MappedSerialPort.h"
#include "platform/SerialPort.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMdiSubWindow>
#include <QPixmap>

#include <cstdio>
#include <functional>

namespace {
int g_failures = 0;

void say(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

void fail(const QString &why)
{
    ++g_failures;
    say(QStringLiteral("FAILED: ") + why);
}

class Tour {
public:
    explicit Tour(const QString &dir) : m_dir(dir) {}

    // Saves the widget's picture as name; a child window is taken with its frame.
    void shoot(const QString &name, QWidget *w, const QString &what)
    {
        if (!w) {
            fail(what + QStringLiteral(" is not open"));
            return;
        }
        if (auto *sub = qobject_cast<QMdiSubWindow *>(w->parentWidget())) {
            sub->raise();
            w = sub;
        }
        Sleep(200);
        const QString path = m_dir + QLatin1Char('/') + name;
        const QImage img = w->grab().toImage();
        if (!img.save(path, "PNG"))
            fail(QStringLiteral("cannot write ") + path);
        else if (!PictureShowsSomething(img))
            fail(path + QStringLiteral(" shows nothing"));
        else
            say(QStringLiteral("  %1: %2").arg(what, path));
    }

    // Waits up to ms for cond, handling events meanwhile.
    static bool waitFor(const std::function<bool()> &cond, int ms)
    {
        for (int waited = 0; !cond() && waited < ms; waited += 100)
            Sleep(100);
        return cond();
    }

private:
    QString m_dir;
};

// Places an open child window in the frame's work area; a size of 0 keeps the window's own.
void place(QWidget *form, int x, int y, int w = 0, int h = 0)
{
    QWidget *sub = form ? form->parentWidget() : nullptr;
    if (!sub)
        return;
    sub->move(x, y);
    if (w > 0 && h > 0)
        sub->resize(w, h);
}
} // namespace

// The tour writes as the tool does (qvo.ini, the window places, a log file in the documents
// folder), so it runs only in a demo folder: XDG_CONFIG_HOME set to a folder other than the
// user's ~/.config, with the documents folder named in its user-dirs.dirs (scripts/demo.sh
// makes both). Anywhere else it would write into the user's own files.
static bool inDemoFolder(QString &why)
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString home = qEnvironmentVariable("HOME");
    if (config.isEmpty()) {
        why = QStringLiteral("XDG_CONFIG_HOME is not set");
        return false;
    }
    const QString own = home + QStringLiteral("/.config");
    const QString canonical = QFileInfo(own).canonicalFilePath();
    if (!home.isEmpty() && (QDir::cleanPath(config) == QDir::cleanPath(own) ||
                            (!canonical.isEmpty() && QFileInfo(config).canonicalFilePath() == canonical))) {
        why = QStringLiteral("XDG_CONFIG_HOME is the user's own ") + config;
        return false;
    }
    if (!QFileInfo::exists(config + QStringLiteral("/user-dirs.dirs"))) {
        why = config + QStringLiteral("/user-dirs.dirs does not name the documents folder");
        return false;
    }
    return true;
}

int main(int argc, char *argv[])
{
    QString why;
    if (!inDemoFolder(why)) {
        std::fprintf(stderr, "qelvo-tour runs only in a demo folder (scripts/demo.sh): %s\n", qPrintable(why));
        return 2;
    }
    QApplication app(argc, argv);
    const int trendMinutes = argc == 3 ? QString::fromLocal8Bit(argv[2]).toInt() : 0;
    if (argc < 2 || argc > 3 || trendMinutes < 0 || (argc == 3 && trendMinutes == 0)) {
        std::fprintf(stderr, "usage: qelvo-tour OUTDIR [TREND_MINUTES]\n");
        return 2;
    }
    const QString dir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "qelvo-tour: cannot make %s\n", argv[1]);
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Qelvo"));
    InstallApplicationFont();

    MappedSerialPort port;
    installSerialPort(&port);
    ScriptedDialogs dlg;
    dlg.onBox = [](const ScriptedDialogs::Box &b) { 
        say(QStringLiteral("  box \"%1\": %2").arg(b.caption, b.text.trimmed().replace(QLatin1Char('\n'), QStringLiteral(" / "))));
    };
    installDialogs(&dlg);

    Tour tour(dir);
    say(QStringLiteral("Tour of Qelvo, pictures in ") + dir);
    Main();
    g_frmMdi1->resize(1240, 860);
    g_frmMdi1->move(10, 10);
    g_frmMdi1->show();
    Sleep(500);

    say(QStringLiteral("Connect (接続)"));
    g_subMenuCommand(21);
    if (g_intConnectStatus != 1)
        fail(QStringLiteral("the controller on COM1 did not answer"));

    say(QStringLiteral("Read the settings (データ読込)"));
    dlg.answers << vbNo; // a changed grid is not saved first
    g_frmMain1->Command1_Click(0);
    tour.shoot(QStringLiteral("editor.png"), g_frmMdi1, QStringLiteral("settings editor"));

    say(QStringLiteral("Start the monitor (ﾓﾆﾀ開始)"));
    g_subMenuCommand(12);
    if (g_frmDirect1) {
        g_frmDirect1->Command2[0]->click();
        if (!Tour::waitFor([] { return g_intMonitorOn == -1; }, 3000))
            fail(QStringLiteral("the monitor did not start"));
    }
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    g_subMenuCommand(11);
    // Side by side in the frame, so that the picture of the whole frame shows each.
    place(g_frmDirect1, 0, 294);
    place(g_frmOutputMonitor1, 0, 586);
    place(g_frmLogView1, 392, 586, 250, 190);
    place(g_frmGraph1, 594, 0, 640, 430);
    Sleep(4000); // a few readings
    tour.shoot(QStringLiteral("analog_monitor.png"), g_frmDirect1, QStringLiteral("analog monitor"));
    tour.shoot(QStringLiteral("present_value_log.png"), g_frmLogView1, QStringLiteral("present-value log"));
    tour.shoot(QStringLiteral("output_monitor.png"), g_frmOutputMonitor1, QStringLiteral("output monitor"));
    tour.shoot(QStringLiteral("graph.png"), g_frmGraph1, QStringLiteral("graph"));

    say(QStringLiteral("Log for a few seconds (ﾛｸﾞﾌｧｲﾗ)"));
    LogFileSetting s = DefaultLogFileSetting();
    s.strInterval = QStringLiteral("00:00:02");
    s.lngCountMax = 100;
    s.intEndMode = 0;
    s.strEndTime = kNoEndTime;
    s.strFolder = g_funcGetSpecialFolder(5) + QStringLiteral("qelvo-logs/");
    s.strFileName = MakeLogFileName();
    QDir().mkpath(s.strFolder);
    if (SaveLogFileSetting(s).failed())
        fail(QStringLiteral("cannot write the log filer's settings"));
    g_subMenuCommand(13);
    place(g_frmLogFiler1, 700, 434);
    if (g_frmLogFiler1) {
        g_frmLogFiler1->Command1[0]->click();
        if (!Tour::waitFor([] { return flgLogFilerOnWork == -1; }, 3000))
            fail(QStringLiteral("logging did not start"));
    }
    Sleep(7000);
    tour.shoot(QStringLiteral("log_filer.png"), g_frmLogFiler1, QStringLiteral("log filer"));
    tour.shoot(QStringLiteral("frame.png"), g_frmMdi1, QStringLiteral("the whole frame"));
    say(QStringLiteral("  log file: ") + s.strFolder + s.strFileName);

    say(QStringLiteral("The trend of the readings (ﾄﾚﾝﾄﾞ表示)"));
    if (trendMinutes > 0) {
        say(QStringLiteral("  %1 more minutes of readings").arg(trendMinutes));
        Sleep(trendMinutes * 60000);
    }
    g_subMenuCommand(16);
    place(g_frmTrend1, 40, 40, 900, 560);
    if (g_frmTrend1 && trendMinutes > 0) {
        g_frmTrend1->SpanCombo->setCurrentIndex(1); // "10分"
        emit g_frmTrend1->SpanCombo->activated(1);
    }
    Sleep(1500);
    tour.shoot(QStringLiteral("trend.png"), g_frmTrend1, QStringLiteral("trend"));

    say(QStringLiteral("Stop logging and the monitor, disconnect"));
    // The monitor stops only after the log filer has.
    if (g_frmLogFiler1)
        g_frmLogFiler1->Command1[1]->click();
    if (!Tour::waitFor([] { return flgLogFilerOnWork == 0; }, 3000))
        fail(QStringLiteral("logging did not stop"));
    if (g_frmDirect1)
        g_frmDirect1->Command2[1]->click();
    if (!Tour::waitFor([] { return g_intMonitorOn == 0; }, 3000))
        fail(QStringLiteral("the monitor did not stop"));
    if (g_frmTrend1) {
        if (!g_frmTrend1->openLog(s.strFolder + s.strFileName))
            fail(QStringLiteral("the trend window did not read the log file"));
        tour.shoot(QStringLiteral("trend_log.png"), g_frmTrend1, QStringLiteral("trend of the log file"));
    }
    g_subMenuCommand(22);
    g_subCommPortClose();

    for (const QString &what : dlg.unexpectedWhat)
        fail(QStringLiteral("unexpected ") + what);
    installDialogs(nullptr);
    installSerialPort(nullptr);
    say(g_failures ? QStringLiteral("Tour failed") : QStringLiteral("Tour done"));
    std::fflush(stdout);
    // The windows stay as they are: the tour ends the process without the exit question.
    std::_Exit(g_failures ? 1 : 0);
}
