#include "logfiler/modLogFileSetting.h"

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "shell/modMain1.h"

#include <type_traits>

const QString kNoEndTime = QStringLiteral("----/--/-- --:--:--");

LogFileSetting DefaultLogFileSetting()
{
    LogFileSetting s;
    s.strInterval = QStringLiteral("00:00:10");
    s.lngCountMax = 100;
    s.strEndTime = kNoEndTime;
    return s;
}

namespace {
QString lfstPath() { return DataFile(QStringLiteral("lfst.ini")); }

bool readNumber(const QByteArray &item, qint32 &value)
{
    bool ok = false;
    const qint32 v = QString::fromLatin1(item).trimmed().toInt(&ok);
    if (ok)
        value = v;
    return ok;
}
} // namespace

bool LoadLogFileSetting(LogFileSetting &s)
{
    auto fail = [](const FileError &e) {
        MsgBox(ErrTextErrNo(e), vbOKOnly + vbExclamation, QStringLiteral("LoadLogFileSetting"));
        return false;
    };
    QByteArray bytes;
    const FileError e = ReadWholeFile(lfstPath(), bytes);
    if (e.failed())
        return fail(e);
    QuotedItemReader r(bytes);
    QByteArray item;
    auto text = [&](QString &field) {
        if (!r.next(item))
            return false;
        field = SjisDecode(item);
        return true;
    };
    qint32 n = 0;
    auto number = [&](auto &field, FileError &why) {
        if (!r.next(item)) {
            why = MakeError(errInputPastEnd);
            return false;
        }
        if (!readNumber(item, n)) {
            why = MakeError(errTypeMismatch);
            return false;
        }
        field = std::remove_reference_t<decltype(field)>(n);
        return true;
    };
    FileError why = MakeError(errInputPastEnd);
    if (!text(s.strInterval) || !number(s.lngCountMax, why) || !text(s.strEndTime) || !number(s.intEndMode, why) ||
        !number(s.intAutoName, why) || !text(s.strFolder) || !text(s.strFileName))
        return fail(why);
    return true;
}

FileError SaveLogFileSetting(const LogFileSetting &s)
{
    auto quoted = [](const QString &t) { return QLatin1Char('"') + t + QLatin1Char('"'); };
    const QStringList lines{quoted(s.strInterval), QString::number(s.lngCountMax), quoted(s.strEndTime),
                            QString::number(s.intEndMode), QString::number(s.intAutoName), quoted(s.strFolder),
                            quoted(s.strFileName)};
    return WriteWholeFile(lfstPath(), SjisLines(lines));
}

QString MakeLogFileName() { return QStringLiteral("qlv") + Now().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".csv"); }

QDateTime LogEndDateTime(const QString &text)
{
    return QDateTime::fromString(text, QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

bool CheckLogEndTime(const LogFileSetting &s)
{
    if (s.intEndMode != 1)
        return true;
    const QDateTime end = LogEndDateTime(s.strEndTime);
    QDateTime now = Now();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    if (end.isValid() && now < end)
        return true;
    MsgBox(QStringLiteral("設定された現在時刻が終了時刻を超えているか、同じです。") + vbCrLf + QStringLiteral("設定を確認してください。"),
           vbOKOnly + vbExclamation, QStringLiteral("開始"));
    return false;
}
