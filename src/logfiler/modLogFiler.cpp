#include "logfiler/modLogFiler.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

namespace {
qint16 s_onWork = 0;
LogFileSetting s_setting;
QString s_logFilePath;
QString s_status = QStringLiteral("-1");
} // namespace

const qint16 &flgLogFilerOnWork = s_onWork;
const LogFileSetting &g_typLogFilerSet = s_setting;
const QString &g_strLogFilePath = s_logFilePath;
const QString &g_strLogFilerStatus = s_status;

void g_subLogFilerOnWorkSet(qint16 onWork) { s_onWork = onWork; }
void g_subLogFilerSettingSet(const LogFileSetting &setting) { s_setting = setting; }
void g_subLogFilePathSet(const QString &path) { s_logFilePath = path; }
void g_subLogFilerStatusSet(const QString &status) { s_status = status; }

qint16 AppendLogFilerData(const QString &text, const QString &path)
{
    const qint16 written = AppendLogLine(text, path);
    if (written == 3)
        s_status = QStringLiteral("10");
    return written;
}

qint16 AppendLogLine(const QString &text, const QString &path)
{
    const QByteArray bytes = SjisEncode(text) + "\r\n";
    for (;;) {
        const FileError e = AppendToFile(path, bytes);
        if (!e.failed())
            return 1;
        switch (MsgBox(ErrTextAppend(e) + vbCrLf + path, vbAbortRetryIgnore + vbCritical, QStringLiteral("AppendLogFilerData"))) {
        case vbRetry: continue;
        case vbIgnore: return 5;
        default: return 3;
        }
    }
}

QString LogTimeText(const QDateTime &t) { return t.toString(QStringLiteral("yyyy/MM/dd, HH:mm:ss")); }

QString LogBlock(const QString &marker, const QDateTime &t) { return marker + vbCrLf + QStringLiteral("Time :,") + LogTimeText(t); }

namespace {
QString dataLine(qint32 count, const QDateTime &scheduled, const QString &valueColumn, const QString &outputColumn)
{
    return QStringLiteral("%1").arg(count, 6, 10, QLatin1Char('0')) + QStringLiteral(", ") + LogTimeText(scheduled) +
           QStringLiteral(", ") + valueColumn + QStringLiteral(", ") + outputColumn;
}
} // namespace

QString MakeDataLine(qint32 count, const QDateTime &scheduled, const Reading &reading, bool voltDisp, bool bitsDisp)
{
    return dataLine(count, scheduled, voltDisp ? reading.valueText00() + QLatin1Char(',') + reading.unit : reading.valueHex,
                    bitsDisp ? reading.outputBits() : reading.outputsHex);
}

qint64 IntervalSeconds(const QString &interval)
{
    bool h = false, m = false, s = false;
    const int hours = interval.left(2).toInt(&h);
    const int minutes = interval.mid(3, 2).toInt(&m);
    const int seconds = interval.right(2).toInt(&s);
    if (!h || !m || !s || interval.size() < 5)
        return -1;
    return qint64(hours) * 3600 + qint64(minutes) * 60 + seconds;
}

QDateTime CalcNextTime(const QString &interval, const QDateTime &old)
{
    if (IntervalSeconds(interval) < 0)
        return old;
    return old.addSecs(interval.right(2).toInt()).addSecs(qint64(interval.mid(3, 2).toInt()) * 60)
        .addSecs(qint64(interval.left(2).toInt()) * 3600);
}

LogFilerEvents &logFilerEvents()
{
    static LogFilerEvents *e = new LogFilerEvents(); // lives as long as the process
    return *e;
}
